"""The counter sets of the comparison: counters.tsv, and what each agent is asked for.

The instances (processors, disks, interfaces) are this machine's, read from the kernel, so
that each agent is asked for the same ones whatever names it gives them.
"""

import os
import re
from dataclasses import dataclass

HERE = os.path.dirname(os.path.abspath(__file__))
TABLE = os.path.join(HERE, "counters.tsv")

# The node_exporter label that carries the instance, by kind.
NODE_INSTANCE_LABEL = {"cpu": "cpu", "disk": "device", "net": "device"}
# Block devices none of the agents reports as a disk of its own (or not unless busy).
VIRTUAL_DISK = re.compile(r"^(loop|ram|zram|fd)\d*$")


@dataclass(frozen=True)
class Row:
    set: str
    kind: str
    zyn: str
    pcp: str
    node: str  # "" where node_exporter has no such series


@dataclass
class Instances:
    cpus: list  # "0", "1", ...
    disks: list
    interfaces: list

    def of(self, kind):
        return {"cpu": self.cpus, "disk": self.disks, "net": self.interfaces}.get(kind)


def load(path=TABLE):
    rows = []
    with open(path, encoding="utf-8") as table:
        header_seen = False
        for line in table:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            fields = line.split("\t")
            if len(fields) != 5:
                raise ValueError("counters.tsv: five tab-separated columns expected: %r" % line)
            if not header_seen:
                header_seen = True
                continue
            node = "" if fields[4] == "-" else fields[4]
            rows.append(Row(fields[0], fields[1], fields[2], fields[3], node))
    return rows


def rows_of(rows, set_name):
    return [row for row in rows if row.set == set_name]


def discover(proc="/proc", sys_block="/sys/block"):
    """This machine's processors, whole disks and network interfaces."""
    cpus = []
    with open(os.path.join(proc, "stat")) as stat:
        for line in stat:
            match = re.match(r"cpu(\d+)\s", line)
            if match:
                cpus.append(match.group(1))
    disks = []
    with open(os.path.join(proc, "diskstats")) as diskstats:
        for line in diskstats:
            fields = line.split()
            if len(fields) < 14:
                continue
            name = fields[2]
            if VIRTUAL_DISK.match(name):
                continue
            # Whole disks have a folder in /sys/block; partitions do not.
            if os.path.isdir(os.path.join(sys_block, name.replace("/", "!"))):
                disks.append(name)
    interfaces = []
    with open(os.path.join(proc, "net", "dev")) as dev:
        for line in dev:
            if ":" in line:
                interfaces.append(line.split(":", 1)[0].strip())
    return Instances(cpus, disks, interfaces)


def zyn_paths(rows, instances):
    """ZYNServer's counter paths; "(*)" paths are expanded by the driver."""
    paths = []
    for row in rows:
        names = instances.of(row.kind)
        if names is None:
            paths.append(row.zyn)
        else:
            paths.extend(row.zyn.replace("{}", name) for name in names)
    return paths


def pcp_request(rows, instances):
    """[(metric, instance names or None for every instance)] for the PCP client."""
    request = []
    for row in rows:
        names = instances.of(row.kind)
        if names is not None and row.kind == "cpu":
            names = ["cpu" + n for n in names]
        request.append((row.pcp, names))
    return request


def node_matchers(rows, instances):
    """[(series name, {label: value})]: a sample counts when its name is the series name and
    its labels include the given ones. Rows without a node_exporter series are left out."""
    matchers = []
    for row in rows:
        if not row.node:
            continue
        name, labels = parse_series(row.node)
        names = instances.of(row.kind)
        if names is None:
            matchers.append((name, labels))
            continue
        for instance in names:
            matchers.append((name, dict(labels, **{NODE_INSTANCE_LABEL[row.kind]: instance})))
    return matchers


def parse_series(text):
    """'name{a="x",b="y"}' -> ('name', {'a': 'x', 'b': 'y'})."""
    match = re.fullmatch(r'([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})?', text)
    if not match:
        raise ValueError("not a series: %r" % text)
    labels = {}
    for part in re.finditer(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"', match.group(2) or ""):
        labels[part.group(1)] = part.group(2)
    return match.group(1), labels


def expected_values(rows, instances, agent):
    """Values per cycle an agent should deliver for the rows; None where that depends on the
    processes running (the per-process set)."""
    count = 0
    for row in rows:
        if agent == "node" and not row.node:
            continue
        if row.kind == "proc":
            return None
        names = instances.of(row.kind)
        count += 1 if names is None else len(names)
    return count


def node_collectors(rows, instances):
    """node_exporter's switches: only the collectors the rows need, each limited to the
    instances asked for, and no series about the exporter itself."""
    prefixes = {
        "node_cpu_": "cpu",
        "node_memory_": "meminfo",
        "node_vmstat_": "vmstat",
        "node_disk_": "diskstats",
        "node_network_": "netdev",
    }
    needed = []
    vmstat_fields = []
    for row in rows:
        if not row.node:
            continue
        name, _ = parse_series(row.node)
        for prefix, collector in prefixes.items():
            if name.startswith(prefix):
                if collector not in needed:
                    needed.append(collector)
                if collector == "vmstat":
                    vmstat_fields.append(name[len(prefix) :])
                break
        else:
            raise ValueError("no collector known for %s" % name)
    args = ["--collector.disable-defaults", "--web.disable-exporter-metrics"]
    args += ["--collector." + c for c in needed]

    def only(names):
        return "^(" + "|".join(re.escape(n) for n in names) + ")$" if names else "^$"

    # Each device filter replaces the default exclusion (the two may not be given together).
    if "diskstats" in needed:
        args += ["--collector.diskstats.device-exclude=",
                 "--collector.diskstats.device-include=" + only(instances.disks)]
    if "netdev" in needed:
        args += ["--collector.netdev.device-exclude=",
                 "--collector.netdev.device-include=" + only(instances.interfaces)]
    if "vmstat" in needed:
        args += ["--collector.vmstat.fields=" + only(vmstat_fields)]
    return args
