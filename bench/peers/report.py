"""Figures of the comparison: one measurement per window, their medians over the runs, the
printed table and the CSV file of the raw figures."""

import csv
import math
import statistics
from dataclasses import asdict, dataclass, fields

OURS = "zyn"
# Not a peer: the least that reading the same kernel files and handing the values over loopback
# costs. No target can sensibly ask for less than it.
FLOOR = "floor"


@dataclass
class Measurement:
    run: int
    set: str  # "small", "large" or "idle"
    rate_ms: int  # 0 for an idle window
    seconds: float  # the window's length
    agent: str  # "zyn", "pcp", "node" or "floor"
    processes: int  # the agent's processes at the window's end
    cpu_ms: float
    values: int  # delivered to the observer within the window
    cycles: int  # callbacks (ours) or fetches (peers) within the window
    items: int  # values the observer was set up for
    rejected: int
    peak_rss_kb: int
    final_rss_kb: int
    latency_p50_ms: float = None
    latency_p99_ms: float = None

    @property
    def cpu_ms_per_1000(self):
        return self.cpu_ms * 1000.0 / self.values if self.values else None


def percentile(samples, p):
    """The nearest-rank percentile (p in 0..1); None without samples."""
    if not samples:
        return None
    ordered = sorted(samples)
    rank = max(1, math.ceil(p * len(ordered)))
    return ordered[min(rank, len(ordered)) - 1]


def median(values):
    present = [v for v in values if v is not None]
    return statistics.median(present) if present else None


@dataclass
class Summary:
    set: str
    rate_ms: int
    agent: str
    runs: int
    seconds: float
    values_per_s: float
    cpu_ms: float
    cpu_ms_per_1000: float
    peak_rss_kb: float
    final_rss_kb: float
    latency_p50_ms: float
    latency_p99_ms: float
    # The peer's CPU per 1000 values and final memory over ours (None on our own row and the
    # floor's).
    cpu_ratio: float = None
    memory_ratio: float = None
    # On the floor's row: our CPU per 1000 values over the floor's.
    floor_ratio: float = None


def summarize(measurements):
    """Medians over the runs, per set, rate and agent, in the order first measured; each peer
    row carries its ratios against ours of the same set and rate, the floor's row ours over
    its own."""
    groups = {}
    for m in measurements:
        groups.setdefault((m.set, m.rate_ms, m.agent), []).append(m)
    summaries = []
    for (set_name, rate_ms, agent), ms in groups.items():
        summaries.append(Summary(
            set_name, rate_ms, agent, len(ms), median([m.seconds for m in ms]),
            median([m.values / m.seconds for m in ms]),
            median([m.cpu_ms for m in ms]),
            median([m.cpu_ms_per_1000 for m in ms]),
            median([m.peak_rss_kb for m in ms]),
            median([m.final_rss_kb for m in ms]),
            median([m.latency_p50_ms for m in ms]),
            median([m.latency_p99_ms for m in ms])))
    ours = {(s.set, s.rate_ms): s for s in summaries if s.agent == OURS}
    for s in summaries:
        mine = ours.get((s.set, s.rate_ms))
        if s.agent == OURS or mine is None:
            continue
        if s.agent == FLOOR:
            if mine.cpu_ms_per_1000 is not None and s.cpu_ms_per_1000:
                s.floor_ratio = mine.cpu_ms_per_1000 / s.cpu_ms_per_1000
            continue
        if s.cpu_ms_per_1000 is not None and mine.cpu_ms_per_1000:
            s.cpu_ratio = s.cpu_ms_per_1000 / mine.cpu_ms_per_1000
        if mine.final_rss_kb:
            s.memory_ratio = s.final_rss_kb / mine.final_rss_kb
    return summaries


def verdict(summaries):
    """Per set and rate: whether ours takes at least 5 times less CPU per 1000 values than the
    better peer, and less memory than each; whether that target lies below the floor, which no
    agent can go under; and ours against the floor."""
    lines = []
    keys = []
    for s in summaries:
        if s.set != "idle" and (s.set, s.rate_ms) not in keys:
            keys.append((s.set, s.rate_ms))
    for key in keys:
        here = [s for s in summaries if (s.set, s.rate_ms) == key]
        peers = [s for s in here if s.agent not in (OURS, FLOOR)]
        floor = next((s for s in here if s.agent == FLOOR and s.floor_ratio is not None), None)
        parts = []
        if peers and all(s.cpu_ratio is not None for s in peers):
            best = min(s.cpu_ratio for s in peers)
            target = min(s.cpu_ms_per_1000 for s in peers) / 5
            if best >= 5:
                outcome = "met"
            elif floor is not None and target < floor.cpu_ms_per_1000:
                outcome = ("NOT met; the target, %.2f ms/1000, is below the floor of %.2f "
                           "ms/1000" % (target, floor.cpu_ms_per_1000))
            else:
                outcome = "NOT met"
            memory = all(s.memory_ratio is not None and s.memory_ratio > 1 for s in peers)
            parts.append("%.1fx less CPU per 1000 values than the better peer (target 5x: %s)"
                         % (best, outcome))
            parts.append("memory " + ("below every peer" if memory else "NOT below every peer"))
        if floor is not None:
            parts.append("%.1fx the floor's CPU per 1000 values" % floor.floor_ratio)
        if parts:
            lines.append("%s at %s: %s" % (key[0], rate_text(key[1]), "; ".join(parts)))
    return lines


AGENT_NAMES = {"zyn": "zynserver", "pcp": "pmcd+agents", "node": "node_exporter",
               "floor": "floor (minimal C++ reader)"}


def rate_text(rate_ms):
    return "%g s" % (rate_ms / 1000.0) if rate_ms >= 1000 else "%d ms" % rate_ms


def _num(value, pattern, missing="-"):
    return missing if value is None else format(value, pattern)


def _ratio(value):
    return "-" if value is None else format(value, ".1f") + "x"


def table(summaries, agent_names=AGENT_NAMES):
    # The zyn/floor column only when the floor was measured.
    with_floor = any(s.agent == FLOOR for s in summaries)
    header = ("set", "rate", "agent", "values/s", "CPU ms", "ms/1000 val", "peer/zyn") + (
        ("zyn/floor",) if with_floor else ()) + (
        "peak MB", "final MB", "mem peer/zyn", "p50 ms", "p99 ms")
    rows = []
    previous = None
    for s in summaries:
        if s.set == "idle":
            continue
        first = (s.set, s.rate_ms) != previous
        previous = (s.set, s.rate_ms)
        rows.append((
            s.set if first else "", rate_text(s.rate_ms) if first else "",
            agent_names.get(s.agent, s.agent), _num(s.values_per_s, ".1f"), _num(s.cpu_ms, ".0f"),
            _num(s.cpu_ms_per_1000, ".3f"), _ratio(s.cpu_ratio)) + (
            (_ratio(s.floor_ratio),) if with_floor else ()) + (
            _num(s.peak_rss_kb and s.peak_rss_kb / 1024, ".1f"),
            _num(s.final_rss_kb and s.final_rss_kb / 1024, ".1f"),
            _ratio(s.memory_ratio),
            _num(s.latency_p50_ms, ".2f"), _num(s.latency_p99_ms, ".2f")))
    idle = [s for s in summaries if s.set == "idle"]
    text = _columns(header, rows)
    if idle:
        text += "\n\nidle, nobody observing:\n" + _columns(
            ("agent", "CPU ms", "CPU % of a core", "peak MB", "final MB"),
            [(agent_names.get(s.agent, s.agent), _num(s.cpu_ms, ".1f"),
              _num(s.cpu_ms / s.seconds / 10 if s.cpu_ms is not None else None, ".2f"),
              _num(s.peak_rss_kb / 1024, ".1f"), _num(s.final_rss_kb / 1024, ".1f"))
             for s in idle])
    return text


def _columns(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    lines = []
    for r in [header] + rows:
        cells = [str(c).ljust(w) if i < 3 else str(c).rjust(w)
                 for i, (c, w) in enumerate(zip(r, widths))]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


def write_csv(path, measurements):
    names = [f.name for f in fields(Measurement)] + ["cpu_ms_per_1000_values"]
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(names)
        for m in measurements:
            row = asdict(m)
            row["cpu_ms_per_1000_values"] = m.cpu_ms_per_1000
            writer.writerow(["" if row[n] is None else
                             ("%.4f" % row[n] if isinstance(row[n], float) else row[n])
                             for n in names])
