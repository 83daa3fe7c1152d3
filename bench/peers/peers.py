"""The measurement behind run.sh: every agent in turn on the same work, the table and the CSV.

Run through run.sh, which installs the peers, builds our programs and guarantees that no
daemon outlives the run. "peers.py pcp-client ..." and "peers.py node-client ..." are the
peers' observers, started by this script itself."""

import argparse
import json
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import agents  # noqa: E402
import clients  # noqa: E402
import counters  # noqa: E402
import procstat  # noqa: E402
import report  # noqa: E402

SCRIPT = os.path.abspath(__file__)

# (set, rate in ms, window in s)
WINDOWS = [("small", 1000, 60), ("small", 100, 30), ("large", 1000, 60), ("large", 100, 30)]
QUICK_WINDOWS = [("small", 1000, 10), ("small", 100, 5), ("large", 1000, 10), ("large", 100, 5)]
# As --only names them, in the order they take their turns.
AGENTS = ("zyn", "pcp", "node", "floor")


class Failed(RuntimeError):
    pass


def parse_args(argv):
    p = argparse.ArgumentParser(description="see run.sh --help")
    p.add_argument("--build-dir", required=True)
    p.add_argument("--scratch", required=True)
    p.add_argument("--pidfile", required=True)
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--idle", type=float)
    p.add_argument("--csv")
    p.add_argument("--only", default=",".join(AGENTS))
    p.add_argument("--transport", choices=("tcp", "unix"), default="tcp")
    args = p.parse_args(argv)
    if args.quick:
        args.runs = 1
        if args.idle is None:
            args.idle = 5
    if args.idle is None:
        args.idle = 60
    args.only = [a for a in args.only.split(",") if a]
    unknown = set(args.only) - set(AGENTS)
    if unknown or not args.only:
        p.error("--only takes %s" % ", ".join(AGENTS))
    return args


def warm_up(rate_ms):
    """Time for the first cycles, whose values fill the observer, to pass before counting."""
    return max(1.5, 2.5 * rate_ms / 1000.0)


def run_window(agent, client_argv, set_name, rate_ms, seconds, run, scratch):
    """One agent, started afresh, observed for one window; the Measurement."""
    latencies_file = os.path.join(scratch, "latencies")
    errors_file = os.path.join(scratch, "client-%s.err" % agent.key)
    client = None
    try:
        # Inside the try: an agent that started but failed to get ready is stopped too, rather
        # than left running through the windows of the others.
        agent.start(set_name)
        with open(errors_file, "w") as errors:
            client = subprocess.Popen(client_argv(latencies_file), stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, stderr=errors,
                                      env=agent.client_env, bufsize=0)
        ready = agents.read_line(client, 90)
        if not ready or not ready.startswith("READY "):
            raise Failed("its observer did not start: %s" % _tail(errors_file))
        fields = dict(f.split("=") for f in ready.split()[1:])
        time.sleep(warm_up(rate_ms))
        before = procstat.usage(agent.pid)
        client.stdin.write(b"START\n")
        client.stdin.flush()
        time.sleep(seconds)
        client.stdin.write(b"STOP\n")
        client.stdin.flush()
        after = procstat.usage(agent.pid)
        result = agents.read_line(client, 60)
        if not result or not result.startswith("RESULT "):
            raise Failed("its observer gave no result: %s" % _tail(errors_file))
        counts = dict(f.split("=") for f in result.split()[1:])
        client.wait(30)
        with open(latencies_file) as f:
            latencies = [float(line) for line in f if line.strip()]
    finally:
        if client is not None and client.poll() is None:
            client.kill()
            client.wait()
        agent.stop()
    return report.Measurement(
        run=run, set=set_name, rate_ms=rate_ms, seconds=seconds, agent=agent.key,
        processes=len(after.processes), cpu_ms=after.cpu_ms_since(before),
        values=int(counts["values"]), cycles=int(counts["callbacks"]),
        items=int(fields["items"]), rejected=int(fields["rejected"]),
        peak_rss_kb=after.peak_rss_kb, final_rss_kb=after.rss_kb,
        latency_p50_ms=report.percentile(latencies, 0.5),
        latency_p99_ms=report.percentile(latencies, 0.99))


def run_idle(agent, seconds, run):
    try:
        agent.start("small")
        time.sleep(2)  # its start-up is not idling
        before = procstat.usage(agent.pid)
        time.sleep(seconds)
        after = procstat.usage(agent.pid)
    finally:
        agent.stop()
    return report.Measurement(
        run=run, set="idle", rate_ms=0, seconds=seconds, agent=agent.key,
        processes=len(after.processes), cpu_ms=after.cpu_ms_since(before), values=0, cycles=0,
        items=0, rejected=0, peak_rss_kb=after.peak_rss_kb, final_rss_kb=after.rss_kb)


def _tail(path, lines=5):
    try:
        with open(path) as f:
            return " | ".join(f.read().strip().splitlines()[-lines:]) or "(nothing on stderr)"
    except OSError:
        return "(no output)"


def others_running():
    """Collectors or servers running besides ours: they add to the machine's load."""
    names = {"pmcd", "pmlogger", "pmie", "pmproxy", "prometheus-node", "zynserver", "floor_agent"}
    found = []
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open("/proc/%s/comm" % pid) as f:
                    comm = f.read().strip()
            except OSError:
                continue
            if comm in names:
                found.append("%s (%s)" % (comm, pid))
    return found


def main(argv):
    args = parse_args(argv)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    windows = QUICK_WINDOWS if args.quick else WINDOWS
    rows = counters.load()
    instances = counters.discover()
    scratch = args.scratch

    # What each observer asks for, per set.
    files = {}
    for set_name in ("small", "large"):
        set_rows = counters.rows_of(rows, set_name)
        zyn_file = os.path.join(scratch, "zyn-%s.paths" % set_name)
        with open(zyn_file, "w") as f:
            f.write("\n".join(counters.zyn_paths(set_rows, instances)) + "\n")
        pcp_file = os.path.join(scratch, "pcp-%s.json" % set_name)
        with open(pcp_file, "w") as f:
            json.dump(counters.pcp_request(set_rows, instances), f)
        node_file = None
        if any(r.node for r in set_rows):
            node_file = os.path.join(scratch, "node-%s.json" % set_name)
            with open(node_file, "w") as f:
                json.dump(counters.node_matchers(set_rows, instances), f)
        # The floor's observer names the set; its agent knows the set's files itself.
        files[set_name] = {"zyn": zyn_file, "pcp": pcp_file, "node": node_file,
                           "floor": set_name}

    small = counters.rows_of(rows, "small")
    zyn = agents.ZynAgent(args.pidfile, args.build_dir, os.path.join(scratch, "zyn-home"),
                          args.transport)
    made = {
        "zyn": zyn,
        "pcp": agents.PcpAgent(args.pidfile, scratch, SCRIPT),
        "node": agents.NodeAgent(args.pidfile, SCRIPT,
                                 counters.node_collectors(small, instances)),
        "floor": agents.FloorAgent(args.pidfile, args.build_dir, instances,
                                   os.path.join(scratch, "floor.log")),
    }
    chosen = [made[key] for key in AGENTS if key in args.only]
    names = dict(report.AGENT_NAMES)
    names["zyn"] = zyn.name
    width = max(len(names[a.key]) for a in chosen)  # of the progress lines' agent column

    print("instances: processors %s; disks %s; interfaces %s" % (
        " ".join(instances.cpus), " ".join(instances.disks) or "(none)",
        " ".join(instances.interfaces)))
    print("small set: %d values a cycle; large set: the per-process counters of every process "
          "(all but node_exporter, which has no per-process data)" %
          counters.expected_values(small, instances, "zyn"))
    print("node_exporter collectors: %s" % " ".join(
        a[len("--collector."):] for a in made["node"].collector_args
        if a.startswith("--collector.") and "=" not in a and a != "--collector.disable-defaults"))
    if zyn.stand_in:
        print("zynserver*: the server program is not built yet; its stand-in, the test server "
              "(same server object, same endpoint), is measured instead")
    load = os.getloadavg()[0]
    if load > 0.25 * (os.cpu_count() or 1):
        print("note: the machine is busy (load average %.1f on %d processors): the figures will "
              "be noisy" % (load, os.cpu_count() or 1))
    for other in others_running():
        print("note: %s is running on this machine; its load shows in the figures" % other)
    # The agents take turns in a different order each run, so that a slow drift of the
    # machine's load does not fall on one of them.
    plan = []
    for run in range(1, args.runs + 1):
        shift = (run - 1) % len(chosen)
        ordered = chosen[shift:] + chosen[:shift]
        plan += [(run, w, a) for w in windows for a in ordered if files[w[0]][a.key]]
    total = sum(w[2] + warm_up(w[1]) + 2.5 for _, w, _ in plan) + len(chosen) * (args.idle + 4)
    print("%d windows and %d idle windows, about %.0f minutes\n" % (
        len(plan), len(chosen) if args.idle else 0, total / 60), flush=True)

    measurements = []
    failures = 0
    for run, (set_name, rate_ms, seconds), agent in plan:
        source = files[set_name][agent.key]

        def argv(latencies, agent=agent, source=source, rate_ms=rate_ms):
            return agent.client_argv(source, rate_ms, latencies)

        label = "run %d/%d  %-5s %6s  %-*s" % (run, args.runs, set_name,
                                                report.rate_text(rate_ms), width, names[agent.key])
        print(label, end=" ", flush=True)
        try:
            m = run_window(agent, argv, set_name, rate_ms, seconds, run, scratch)
        except (Failed, agents.AgentError, OSError) as error:
            failures += 1
            print("FAILED: %s" % error, flush=True)
            continue
        measurements.append(m)
        print("%6d values  %7.1f CPU ms  %6.3f ms/1000  %5.1f MB  p50 %s ms%s" % (
            m.values, m.cpu_ms, m.cpu_ms_per_1000 or 0, m.final_rss_kb / 1024,
            "%.2f" % m.latency_p50_ms if m.latency_p50_ms is not None else "-",
            "  (%d rejected)" % m.rejected if m.rejected else ""), flush=True)

    if args.idle > 0:
        for agent in chosen:
            print("idle %3.0f s  %-*s" % (args.idle, width, names[agent.key]), end=" ",
                  flush=True)
            try:
                m = run_idle(agent, args.idle, 1)
            except (agents.AgentError, OSError) as error:
                failures += 1
                print("FAILED: %s" % error, flush=True)
                continue
            measurements.append(m)
            print("%7.1f CPU ms  %5.1f MB" % (m.cpu_ms, m.final_rss_kb / 1024), flush=True)

    if not measurements:
        print("nothing was measured", file=sys.stderr)
        return 1
    csv_path = args.csv or os.path.abspath("peers-%s.csv" % time.strftime("%Y%m%d-%H%M%S"))
    report.write_csv(csv_path, measurements)
    summaries = report.summarize(measurements)
    print("\nMedians of %d run(s). values/s: delivered to the observer; ms/1000 val: the agent's "
          "CPU time (all its processes and threads) per 1000 values delivered; peer/zyn: the "
          "peer's figure over ZYNServer's; zyn/floor: ZYNServer's figure over the floor's, the "
          "least that reading the same kernel files and handing the values over loopback "
          "costs; memory: resident, summed over the agent's processes; latency: request to "
          "reply (peers), cycle to callback (ZYNServer), cycle to arrival (floor)\n" % args.runs)
    print(report.table(summaries, names))
    for line in report.verdict(summaries):
        print(line)
    print("\nZYNServer started on demand (no --listen) ends about 1 s after its last observer "
          "leaves: idle, it costs nothing. The idle row is the server started with --listen.")
    print("raw figures: %s" % csv_path)
    return 1 if failures else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["pcp-client"]:
        clients.pcp_client(int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), sys.argv[5])
    elif sys.argv[1:2] == ["node-client"]:
        clients.node_client(int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), sys.argv[5])
    else:
        try:
            sys.exit(main(sys.argv[1:]))
        except KeyboardInterrupt:
            # The agent of the window under way was stopped on the way out.
            print("\ninterrupted", file=sys.stderr)
            sys.exit(130)
