import os
import re
import tempfile
import unittest

import counters


def fake_machine(root):
    """A /proc and /sys/block of two processors, one disk with a partition, a loop device, a
    device whose name holds a slash, and three interfaces."""
    proc = os.path.join(root, "proc")
    block = os.path.join(root, "block")
    os.makedirs(os.path.join(proc, "net"))
    for disk in ("vda", "loop0", "cciss!c0d0"):
        os.makedirs(os.path.join(block, disk))
    with open(os.path.join(proc, "stat"), "w") as f:
        f.write("cpu  10 0 5 100 0 0 0 0 0 0\ncpu0 5 0 2 50 0 0 0 0 0 0\n"
                "cpu1 5 0 3 50 0 0 0 0 0 0\nintr 123\nctxt 456\n")
    with open(os.path.join(proc, "diskstats"), "w") as f:
        zeros = " 0" * 17
        for major, minor, name in ((7, 0, "loop0"), (254, 0, "vda"), (254, 1, "vda1"),
                                   (104, 0, "cciss/c0d0")):
            f.write("%4d %7d %s%s\n" % (major, minor, name, zeros))
    with open(os.path.join(proc, "net", "dev"), "w") as f:
        f.write("Inter-|   Receive |  Transmit\n face |bytes packets|bytes packets\n")
        for name in ("lo", "eth0", "br-1a2b"):
            f.write("%6s: 1 2 0 0 0 0 0 0 3 4 0 0 0 0 0 0\n" % name)
    return proc, block


class DiscoverTest(unittest.TestCase):
    def test_finds_processors_whole_disks_and_interfaces(self):
        with tempfile.TemporaryDirectory() as root:
            proc, block = fake_machine(root)
            found = counters.discover(proc, block)
        self.assertEqual(found.cpus, ["0", "1"])  # the all-processor line is no instance
        # A partition has no /sys/block folder; a loop device is never a disk of its own.
        self.assertEqual(found.disks, ["vda", "cciss/c0d0"])
        self.assertEqual(found.interfaces, ["lo", "eth0", "br-1a2b"])


class TableTest(unittest.TestCase):
    rows = counters.load()
    machine = counters.Instances(["0", "1"], ["vda"], ["lo", "eth0"])

    def test_every_small_counter_has_all_three_and_a_placeholder_where_it_needs_one(self):
        small = counters.rows_of(self.rows, "small")
        self.assertGreater(len(small), 30)
        for row in small:
            self.assertTrue(row.zyn.startswith("\\") and row.pcp and row.node, row)
            self.assertEqual("{}" in row.zyn, row.kind != "mem", row)
        for row in counters.rows_of(self.rows, "large"):
            self.assertIn("(*)", row.zyn)
            self.assertEqual(row.node, "")

    def test_no_counter_is_asked_twice(self):
        for set_name in ("small", "large"):
            rows = counters.rows_of(self.rows, set_name)
            for column in ("zyn", "pcp", "node"):
                values = [getattr(r, column) for r in rows if getattr(r, column)]
                self.assertEqual(len(values), len(set(values)), (set_name, column))

    def test_the_three_agents_are_asked_for_the_same_number_of_values(self):
        small = counters.rows_of(self.rows, "small")
        paths = counters.zyn_paths(small, self.machine)
        request = counters.pcp_request(small, self.machine)
        matchers = counters.node_matchers(small, self.machine)
        pcp_values = sum(1 if names is None else len(names) for _, names in request)
        self.assertEqual(len(paths), pcp_values)
        self.assertEqual(len(paths), len(matchers))
        self.assertEqual(len(paths), counters.expected_values(small, self.machine, "zyn"))
        self.assertEqual(len(paths), counters.expected_values(small, self.machine, "node"))
        self.assertIn("\\Processor(1)\\% User Time", paths)
        self.assertIn(("kernel.percpu.cpu.user", ["cpu0", "cpu1"]), request)
        self.assertIn(("node_cpu_seconds_total", {"mode": "user", "cpu": "1"}), matchers)
        self.assertIn(("node_network_receive_bytes_total", {"device": "lo"}), matchers)
        self.assertIn(("mem.physmem", None), request)

    def test_the_per_process_set_depends_on_the_processes(self):
        large = counters.rows_of(self.rows, "large")
        self.assertIsNone(counters.expected_values(large, self.machine, "zyn"))
        self.assertEqual(counters.node_matchers(large, self.machine), [])
        self.assertTrue(all(names is None for _, names in counters.pcp_request(large,
                                                                               self.machine)))

    def test_a_malformed_table_is_refused(self):
        with tempfile.NamedTemporaryFile("w", suffix=".tsv", delete=False) as f:
            f.write("set\tkind\tzyn\tpcp\tnode\nsmall\tmem\t\\Memory\\X\tmem.x\n")
        try:
            with self.assertRaises(ValueError):
                counters.load(f.name)
        finally:
            os.unlink(f.name)


class SeriesTest(unittest.TestCase):
    def test_parse_series(self):
        self.assertEqual(counters.parse_series("node_vmstat_pgfault"), ("node_vmstat_pgfault", {}))
        self.assertEqual(counters.parse_series('a_b{mode="user",x="q\\"r"}'),
                         ("a_b", {"mode": "user", "x": 'q\\"r'}))
        with self.assertRaises(ValueError):
            counters.parse_series("not a series")


class CollectorsTest(unittest.TestCase):
    def test_only_the_needed_collectors_limited_to_the_instances(self):
        rows = counters.rows_of(counters.load(), "small")
        machine = counters.Instances(["0"], ["sd.a"], ["lo", "eth0"])
        args = counters.node_collectors(rows, machine)
        self.assertIn("--collector.disable-defaults", args)
        self.assertIn("--web.disable-exporter-metrics", args)
        enabled = sorted(a[len("--collector."):] for a in args
                         if re.fullmatch(r"--collector\.[a-z]+", a) and "disable" not in a)
        self.assertEqual(enabled, ["cpu", "diskstats", "meminfo", "netdev", "vmstat"])
        # node_exporter refuses an include filter next to its default exclude filter.
        self.assertIn("--collector.netdev.device-exclude=", args)
        disks = [a for a in args if a.startswith("--collector.diskstats.device-include=")][0]
        pattern = disks.split("=", 1)[1]
        self.assertTrue(re.match(pattern, "sd.a"))
        self.assertFalse(re.match(pattern, "sdxa"))  # the dot is no wildcard
        fields = [a for a in args if a.startswith("--collector.vmstat.fields=")][0]
        self.assertTrue(re.match(fields.split("=", 1)[1], "pgfault"))
        self.assertFalse(re.match(fields.split("=", 1)[1], "pgfault_extra"))

    def test_a_machine_without_disks_asks_for_none(self):
        rows = counters.rows_of(counters.load(), "small")
        args = counters.node_collectors(rows, counters.Instances(["0"], [], ["lo"]))
        pattern = [a for a in args if a.startswith("--collector.diskstats.device-include=")][0]
        self.assertFalse(re.match(pattern.split("=", 1)[1], "vda"))

    def test_a_series_of_an_unknown_collector_is_refused(self):
        row = counters.Row("small", "mem", "\\Memory\\X", "mem.x", "node_filesystem_free_bytes")
        with self.assertRaises(ValueError):
            counters.node_collectors([row], counters.Instances([], [], []))


if __name__ == "__main__":
    unittest.main()
