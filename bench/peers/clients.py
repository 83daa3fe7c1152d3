"""The observers of the two peers, each a process of its own so that its CPU time stays out of
the agent's: a PCP client fetching from pmcd, and a scraper of node_exporter.

Both speak the protocol of zyn_driver on their standard streams (READY, START, STOP,
RESULT) and give one latency per fetch: from sending the request to having the whole reply,
in milliseconds."""

import http.client
import json
import sys
import threading
import time

from promtext import SampleCounter


class Window:
    """START and STOP from standard input, read on a thread of their own."""

    def __init__(self):
        self.open = threading.Event()
        self.stop = threading.Event()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in sys.stdin:
            if line.strip() == "START":
                self.open.set()
            elif line.strip() == "STOP":
                break
        self.stop.set()  # STOP, or the script went away


def run_loop(fetch, rate_ms, latencies_path, items, expected):
    """Fetches every rate_ms on a fixed schedule (a fetch that overruns skips the ticks it
    missed), counting values and latencies while the window is open. fetch() returns
    (milliseconds from request to reply, values in the reply); counting the values is the
    client's own work and stays out of the time."""
    print("READY items=%d rejected=%d" % (items, max(0, (expected or items) - items)), flush=True)
    window = Window()
    period = rate_ms / 1000.0
    values, latencies, errors = 0, [], 0
    next_tick = time.monotonic()
    while not window.stop.is_set():
        try:
            elapsed_ms, got = fetch()
        except Exception as error:  # a failed fetch is reported, not fatal
            errors += 1
            print("fetch failed: %s" % error, file=sys.stderr, flush=True)
            got = None
        if got is not None and window.open.is_set() and not window.stop.is_set():
            values += got
            latencies.append(elapsed_ms)
        next_tick += period
        now = time.monotonic()
        if next_tick < now:
            next_tick += period * int((now - next_tick) / period + 1)
        window.stop.wait(next_tick - now)
    with open(latencies_path, "w") as out:
        out.writelines("%.4f\n" % latency for latency in latencies)
    print("RESULT values=%d callbacks=%d errors=%d" % (values, len(latencies), errors), flush=True)


def pcp_client(port, request_path, rate_ms, latencies_path):
    from pcp import pmapi
    import cpmapi as c_api

    with open(request_path) as f:
        request = json.load(f)  # [[metric, [instance names] or null], ...]
    context = pmapi.pmContext(c_api.PM_CONTEXT_HOST, "127.0.0.1:%d" % port)
    names = [metric for metric, _ in request]
    pmids = context.pmLookupName(names)
    descs = context.pmLookupDescs(pmids)
    # Each instance domain gets the instances asked for; the others stay whole.
    profiles = {}
    for (metric, instances), desc in zip(request, descs):
        if instances is None or desc.indom == c_api.PM_INDOM_NULL:
            continue
        wanted = profiles.setdefault(desc.indom, (desc, set()))[1]
        for name in instances:
            try:
                wanted.add(context.pmLookupInDom(desc, name))
            except pmapi.pmErr:
                print("%s has no instance %s" % (metric, name), file=sys.stderr)
    for desc, wanted in profiles.values():
        context.pmDelProfile(desc, None)
        context.pmAddProfile(desc, sorted(wanted))
    expected = None
    if all(instances is not None or desc.indom == c_api.PM_INDOM_NULL
           for (_, instances), desc in zip(request, descs)):
        expected = sum(1 if instances is None else len(instances) for _, instances in request)

    def fetch():
        start = time.perf_counter()
        result = context.pmFetch(pmids)
        elapsed_ms = (time.perf_counter() - start) * 1000.0
        try:
            # A negative count is the metric's error; it delivered nothing.
            return elapsed_ms, sum(max(0, result.contents.get_numval(i))
                                   for i in range(result.contents.numpmid))
        finally:
            context.pmFreeResult(result)

    run_loop(fetch, rate_ms, latencies_path, fetch()[1], expected)


def node_client(port, matchers_path, rate_ms, latencies_path):
    with open(matchers_path) as f:
        matchers = [(name, labels) for name, labels in json.load(f)]
    counter = SampleCounter(matchers)
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)

    def fetch():
        # One kept-alive connection, as a scraper holds it; plain text, no compression.
        start = time.perf_counter()
        connection.request("GET", "/metrics", headers={"Accept": "text/plain"})
        response = connection.getresponse()
        body = response.read()
        elapsed_ms = (time.perf_counter() - start) * 1000.0
        if response.status != 200:
            raise RuntimeError("HTTP %d" % response.status)
        return elapsed_ms, counter.count(body.decode("utf-8", "replace"))

    run_loop(fetch, rate_ms, latencies_path, fetch()[1], len(matchers))
