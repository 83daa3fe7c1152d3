"""What an agent costs: the CPU time and resident memory of its process and every process
below it (pmcd runs its agents as children), read from /proc.

CPU time comes from utime + stime of /proc/PID/stat, which the kernel hands out in clock ticks
(10 ms): over a window in which an agent spends 30 ms that is an error of a third. So where
it can, a process's share is taken from its threads' run time in nanoseconds
(/proc/PID/task/TID/schedstat), which sums to the same total. The ticks stand in where the
nanoseconds cannot see all of it: a thread that ended within the window takes its
nanoseconds with it, while its ticks stay in the process's stat."""

import os
from dataclasses import dataclass, field

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
TICK_MS = 1000.0 / CLOCK_TICKS


@dataclass
class Process:
    start: int  # start time in ticks since boot: with the pid it names one process
    own_ticks: int  # utime + stime, every thread, live or ended
    reaped_ticks: int  # cutime + cstime: children that ended and were waited for
    run_ns: int = None  # the live threads' run time; None when it could not be read
    tids: frozenset = frozenset()
    peak_rss_kb: int = 0  # VmHWM
    rss_kb: int = 0  # VmRSS


def own_delta_ms(before, after):
    """CPU milliseconds one process spent between two readings of it."""
    ticks_ms = (after.own_ticks - before.own_ticks) * TICK_MS
    if before.run_ns is None or after.run_ns is None or not before.tids <= after.tids:
        return ticks_ms
    ns_ms = (after.run_ns - before.run_ns) / 1e6
    # utime and stime are each cut down to whole ticks, so the two readings may differ by up
    # to two ticks each way; more than that is time of threads that came and went between them.
    if ticks_ms - ns_ms > 2 * TICK_MS:
        return ticks_ms
    return ns_ms


def own_total_ms(process):
    """CPU milliseconds a process spent since it began."""
    return own_delta_ms(Process(process.start, 0, 0, 0), process)


@dataclass
class Snapshot:
    processes: dict = field(default_factory=dict)  # pid -> Process

    @property
    def pids(self):
        return sorted(self.processes)

    @property
    def peak_rss_kb(self):
        return sum(p.peak_rss_kb for p in self.processes.values())

    @property
    def rss_kb(self):
        return sum(p.rss_kb for p in self.processes.values())

    def cpu_ms_since(self, earlier):
        """CPU milliseconds the processes spent between the earlier snapshot and this one.

        A process that appeared counts whole. One that ended and was waited for by another of
        the tree moved its time into that one's cutime/cstime, which count; what it had spent
        before the window is taken off again."""
        total = 0.0
        for pid, now in self.processes.items():
            then = earlier.processes.get(pid)
            if then is None or then.start != now.start:
                total += own_total_ms(now) + now.reaped_ticks * TICK_MS
            else:
                total += own_delta_ms(then, now) + (now.reaped_ticks - then.reaped_ticks) * TICK_MS
        for pid, then in earlier.processes.items():
            now = self.processes.get(pid)
            if now is None or now.start != then.start:
                total -= (then.own_ticks + then.reaped_ticks) * TICK_MS
        return total


def parse_stat(text):
    """(ppid, utime + stime, cutime + cstime, starttime) of one /proc/PID/stat line.

    The command name sits in parentheses and may itself hold spaces and parentheses, so the
    fields are counted from the last ')'."""
    rest = text[text.rindex(")") + 2 :].split()
    # rest[0] is field 3 (state); field n is rest[n - 3].
    return (int(rest[1]), int(rest[11]) + int(rest[12]), int(rest[13]) + int(rest[14]),
            int(rest[19]))


def parse_status(text):
    """(VmHWM kB, VmRSS kB); kernel threads have neither and count 0."""
    hwm = rss = 0
    for line in text.splitlines():
        if line.startswith("VmHWM:"):
            hwm = int(line.split()[1])
        elif line.startswith("VmRSS:"):
            rss = int(line.split()[1])
    return hwm, rss


def _read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:  # the process or thread has just ended
        return None


def tree(root, proc="/proc"):
    """root and the pids of every process below it."""
    children = {}
    for name in os.listdir(proc):
        if not name.isdigit():
            continue
        text = _read(os.path.join(proc, name, "stat"))
        if text:
            children.setdefault(parse_stat(text)[0], []).append(int(name))
    pids, todo = [], [root]
    while todo:
        pid = todo.pop()
        pids.append(pid)
        todo.extend(children.get(pid, []))
    return pids


def _threads(proc, pid):
    """(summed run ns, thread ids) of a process's live threads; (None, ...) when unreadable."""
    folder = os.path.join(proc, str(pid), "task")
    try:
        tids = [t for t in os.listdir(folder) if t.isdigit()]
    except OSError:
        return None, frozenset()
    total, seen = 0, []
    for tid in tids:
        text = _read(os.path.join(folder, tid, "schedstat"))
        if text is None:
            continue  # it ended while we looked: left out of the set, so ticks decide
        total += int(text.split()[0])
        seen.append(int(tid))
    return total, frozenset(seen)


def usage(root, proc="/proc"):
    """A snapshot of root's process tree now."""
    snapshot = Snapshot()
    for pid in tree(root, proc):
        stat = _read(os.path.join(proc, str(pid), "stat"))
        status = _read(os.path.join(proc, str(pid), "status"))
        if stat is None or status is None:
            continue
        _, own, reaped, start = parse_stat(stat)
        run_ns, tids = _threads(proc, pid)
        hwm, rss = parse_status(status)
        snapshot.processes[pid] = Process(start, own, reaped, run_ns, tids, hwm, rss)
    return snapshot


def start_time(pid, proc="/proc"):
    """The process's start time in ticks since boot (None when it is gone)."""
    text = _read(os.path.join(proc, str(pid), "stat"))
    return parse_stat(text)[3] if text else None
