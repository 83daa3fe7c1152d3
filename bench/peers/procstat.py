"""What an agent costs: the CPU time and resident memory of its process and every process
below it (pmcd runs its agents as children), read from /proc."""

import os
from dataclasses import dataclass

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


@dataclass
class Usage:
    cpu_ticks: int  # utime + stime + cutime + cstime, summed over the processes
    peak_rss_kb: int  # VmHWM, summed
    rss_kb: int  # VmRSS, summed
    pids: list

    def cpu_ms_since(self, earlier):
        return (self.cpu_ticks - earlier.cpu_ticks) * 1000.0 / CLOCK_TICKS


def parse_stat(text):
    """(ppid, utime + stime + cutime + cstime, starttime) of one /proc/PID/stat line.

    The command name sits in parentheses and may itself hold spaces and parentheses, so the
    fields are counted from the last ')'."""
    rest = text[text.rindex(")") + 2 :].split()
    # rest[0] is field 3 (state); field n is rest[n - 3].
    ppid = int(rest[1])
    ticks = sum(int(rest[i]) for i in (11, 12, 13, 14))
    return ppid, ticks, int(rest[19])


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
    except OSError:  # the process has just ended
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


def usage(root, proc="/proc"):
    """The summed figures of root's process tree now.

    cutime and cstime count too: a child that ends within a window moves its time into its
    parent's, and would otherwise drop out of the sum."""
    total = Usage(0, 0, 0, [])
    for pid in tree(root, proc):
        stat = _read(os.path.join(proc, str(pid), "stat"))
        status = _read(os.path.join(proc, str(pid), "status"))
        if stat is None or status is None:
            continue
        total.cpu_ticks += parse_stat(stat)[1]
        hwm, rss = parse_status(status)
        total.peak_rss_kb += hwm
        total.rss_kb += rss
        total.pids.append(pid)
    return total


def start_time(pid, proc="/proc"):
    """The process's start time in ticks since boot (None when it is gone): with the pid it
    names one process, even after the pid is given to another."""
    text = _read(os.path.join(proc, str(pid), "stat"))
    return parse_stat(text)[2] if text else None
