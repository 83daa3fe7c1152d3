import os
import tempfile
import unittest

import procstat
from procstat import TICK_MS, Process, Snapshot


def stat_line(pid, comm, ppid, utime, stime, cutime=0, cstime=0, start=1000):
    # Fields 1-22 of /proc/PID/stat; the rest do not matter here.
    fields = [str(pid), "(%s)" % comm, "S", str(ppid)] + ["0"] * 9 + [
        str(utime), str(stime), str(cutime), str(cstime), "20", "0", "1", "0", str(start)]
    return " ".join(fields) + " 0 0\n"


def add_process(proc, pid, comm, ppid, utime, stime, cutime=0, hwm=None, rss=None,
                threads=None):
    folder = os.path.join(proc, str(pid))
    os.makedirs(os.path.join(folder, "task"))
    with open(os.path.join(folder, "stat"), "w") as f:
        f.write(stat_line(pid, comm, ppid, utime, stime, cutime, 0))
    with open(os.path.join(folder, "status"), "w") as f:
        f.write("Name:\t%s\n" % comm)
        if hwm is not None:
            f.write("VmHWM:\t%8d kB\nVmRSS:\t%8d kB\n" % (hwm, rss))
    for tid, ns in (threads or {pid: 0}).items():
        os.makedirs(os.path.join(folder, "task", str(tid)))
        with open(os.path.join(folder, "task", str(tid), "schedstat"), "w") as f:
            f.write("%d 0 0\n" % ns)


class ParseTest(unittest.TestCase):
    def test_a_command_name_with_spaces_and_parentheses(self):
        line = stat_line(42, "a) (b c", 7, 11, 22, 33, 44, start=555)
        self.assertEqual(procstat.parse_stat(line), (7, 33, 77, 555))

    def test_status_without_memory_lines_is_zero(self):
        self.assertEqual(procstat.parse_status("Name:\tkthreadd\nState:\tS\n"), (0, 0))
        self.assertEqual(procstat.parse_status("VmHWM:\t  2048 kB\nVmRSS:\t  1024 kB\n"),
                         (2048, 1024))


class TreeTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.proc = self.dir.name
        add_process(self.proc, 1, "init", 0, 1, 1, hwm=10, rss=10)
        add_process(self.proc, 100, "pmcd", 1, 5, 3, cutime=4, hwm=1000, rss=800,
                    threads={100: 70_000_000, 110: 10_000_000})
        add_process(self.proc, 101, "pmdalinux", 100, 20, 10, hwm=3000, rss=2500)
        add_process(self.proc, 102, "pmdaproc", 100, 7, 0, hwm=2000, rss=1500)
        add_process(self.proc, 103, "helper", 102, 1, 1, hwm=100, rss=100)
        add_process(self.proc, 200, "client", 1, 500, 500, hwm=9999, rss=9999)
        os.makedirs(os.path.join(self.proc, "self"))  # not a process folder

    def tearDown(self):
        self.dir.cleanup()

    def test_the_root_and_every_process_below_it_and_nothing_else(self):
        self.assertEqual(sorted(procstat.tree(100, self.proc)), [100, 101, 102, 103])
        self.assertEqual(procstat.tree(103, self.proc), [103])

    def test_a_snapshot_reads_ticks_threads_and_memory_of_the_tree(self):
        snapshot = procstat.usage(100, self.proc)
        self.assertEqual(snapshot.pids, [100, 101, 102, 103])
        self.assertEqual(snapshot.peak_rss_kb, 1000 + 3000 + 2000 + 100)
        self.assertEqual(snapshot.rss_kb, 800 + 2500 + 1500 + 100)
        pmcd = snapshot.processes[100]
        self.assertEqual((pmcd.own_ticks, pmcd.reaped_ticks, pmcd.start), (8, 4, 1000))
        self.assertEqual(pmcd.run_ns, 80_000_000)
        self.assertEqual(pmcd.tids, frozenset({100, 110}))

    def test_a_process_that_ended_between_listing_and_reading_is_left_out(self):
        os.remove(os.path.join(self.proc, "103", "status"))
        self.assertEqual(procstat.usage(100, self.proc).pids, [100, 101, 102])

    def test_start_time_names_one_process(self):
        self.assertEqual(procstat.start_time(101, self.proc), 1000)
        self.assertIsNone(procstat.start_time(999, self.proc))


def snap(**processes):
    return Snapshot({int(pid[1:]): p for pid, p in processes.items()})


class CpuTimeTest(unittest.TestCase):
    def test_nanoseconds_where_the_threads_stayed(self):
        before = snap(p1=Process(5, 100, 0, 1_000_000_000, frozenset({1, 2})))
        # 3.5 ms of run time; the ticks moved by none, which would read as 0 ms.
        after = snap(p1=Process(5, 100, 0, 1_003_500_000, frozenset({1, 2, 3})))
        self.assertAlmostEqual(after.cpu_ms_since(before), 3.5)

    def test_ticks_where_a_thread_ended_within_the_window(self):
        before = snap(p1=Process(5, 100, 0, 1_000_000_000, frozenset({1, 2})))
        after = snap(p1=Process(5, 103, 0, 600_000_000, frozenset({1})))
        self.assertAlmostEqual(after.cpu_ms_since(before), 3 * TICK_MS)

    def test_ticks_where_a_thread_came_and_went_within_the_window(self):
        before = snap(p1=Process(5, 100, 0, 1_000_000_000, frozenset({1})))
        after = snap(p1=Process(5, 110, 0, 1_001_000_000, frozenset({1})))
        self.assertAlmostEqual(after.cpu_ms_since(before), 10 * TICK_MS)

    def test_ticks_where_the_threads_could_not_be_read(self):
        before = snap(p1=Process(5, 100, 0, None))
        after = snap(p1=Process(5, 104, 0, None))
        self.assertAlmostEqual(after.cpu_ms_since(before), 4 * TICK_MS)

    def test_a_process_that_began_within_the_window_counts_whole(self):
        before = snap(p1=Process(5, 100, 0, 1_000_000_000, frozenset({1})))
        after = snap(p1=Process(5, 100, 0, 1_000_000_000, frozenset({1})),
                     p2=Process(9, 0, 0, 2_500_000, frozenset({2})))
        self.assertAlmostEqual(after.cpu_ms_since(before), 2.5)

    def test_a_child_that_ended_and_was_waited_for_counts_its_window_share(self):
        before = snap(p1=Process(5, 100, 0, 1_000_000_000, frozenset({1})),
                      p2=Process(9, 30, 0, 300_000_000, frozenset({2})))
        # The child spent 5 more ticks, ended, and its 35 ticks moved into the parent's.
        after = snap(p1=Process(5, 100, 35, 1_000_000_000, frozenset({1})))
        self.assertAlmostEqual(after.cpu_ms_since(before), 5 * TICK_MS)

    def test_a_pid_given_to_another_process_is_two_processes(self):
        before = snap(p1=Process(5, 100, 0, 1_000_000_000, frozenset({1})),
                      p2=Process(9, 30, 0, 300_000_000, frozenset({2})))
        after = snap(p1=Process(5, 100, 30, 1_000_000_000, frozenset({1})),
                     p2=Process(77, 0, 0, 4_000_000, frozenset({2})))
        # The old p2 ended within the window having spent nothing more (its 30 ticks moved
        # into p1's); the new one spent 4 ms.
        self.assertAlmostEqual(after.cpu_ms_since(before), 4.0)


if __name__ == "__main__":
    unittest.main()
