"""floor_agent serving and observing on this machine; needs a build (ZYN_BUILD_DIR)."""

import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import unittest

import agents
import counters

BUILD = os.environ.get("ZYN_BUILD_DIR", "")
PROGRAM = os.path.join(BUILD, "bench", "peers", "floor_agent")
HEADER = struct.Struct("=Iq")  # value count, the cycle's time in ns since the epoch


@unittest.skipUnless(BUILD and os.access(PROGRAM, os.X_OK), "needs floor_agent in ZYN_BUILD_DIR")
class FloorAgentTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zyn-floor-test-")
        pidfile = os.path.join(self.dir, "daemons")
        open(pidfile, "w").close()
        self.instances = counters.discover()
        self.small = counters.expected_values(counters.rows_of(counters.load(), "small"),
                                              self.instances, "zyn")
        self.agent = agents.FloorAgent(pidfile, BUILD, self.instances,
                                       os.path.join(self.dir, "floor.log"))
        self.agent.start("small")

    def tearDown(self):
        self.agent.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def observe(self, set_name, before, window):
        """READY's item count, RESULT's counts and the latencies of one observer."""
        latencies = os.path.join(self.dir, "latencies")
        with subprocess.Popen(self.agent.client_argv(set_name, 100, latencies),
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) as observer:
            ready = observer.stdout.readline().split()
            time.sleep(before)
            observer.stdin.write("START\n")
            observer.stdin.flush()
            time.sleep(window)
            observer.stdin.write("STOP\n")
            observer.stdin.flush()
            result = observer.stdout.readline().split()
            self.assertEqual(observer.wait(30), 0, observer.stderr.read())
        self.assertEqual(ready[0], "READY")
        self.assertEqual(ready[2], "rejected=0")
        counts = dict(field.split("=") for field in result[1:])
        with open(latencies) as f:
            values = [float(x) for x in f.read().split()]
        return int(ready[1].split("=")[1]), int(counts["values"]), int(counts["callbacks"]), values

    def frame(self, request):
        """The first frame the agent sends for a request, as (cycle ns, values)."""
        with socket.create_connection(("127.0.0.1", self.agent.port), timeout=10) as s:
            s.sendall(request)
            header = self.receive(s, HEADER.size)
            count, cycle_ns = HEADER.unpack(header)
            values = struct.unpack("=%dd" % count, self.receive(s, 8 * count))
        return cycle_ns, values

    @staticmethod
    def receive(s, size):
        data = b""
        while len(data) < size:
            chunk = s.recv(size - len(data))
            if not chunk:
                raise ConnectionError("the agent closed the connection")
            data += chunk
        return data

    def test_small_set_every_cycle_has_every_value_counted_only_inside_the_window(self):
        items, values, cycles, latencies = self.observe("small", 1.0, 2.0)
        self.assertEqual(items, self.small)
        self.assertGreaterEqual(cycles, 12)  # 2 s at 100 ms; the second before is left out
        self.assertLessEqual(cycles, 22)
        self.assertEqual(values, cycles * self.small)
        self.assertEqual(len(latencies), cycles)
        self.assertTrue(all(0 <= v < 100 for v in latencies), latencies)

    def test_large_set_has_ten_values_for_every_process(self):
        items, values, cycles, _ = self.observe("large", 0.3, 1.0)
        processes = len([n for n in os.listdir("/proc") if n.isdigit()])
        self.assertEqual(items % 10, 0)
        self.assertGreater(items, 10 * processes // 2)
        self.assertLess(items, 10 * processes * 2)
        self.assertGreaterEqual(cycles, 7)
        self.assertEqual(values % 10, 0)
        self.assertGreaterEqual(values, cycles * items // 2)

    def test_the_values_are_the_kernels_numbers(self):
        cycle_ns, small = self.frame(b"small 1000\n")
        self.assertLess(abs(cycle_ns / 1e9 - time.time()), 5)
        self.assertEqual(len(small), self.small)
        with open("/proc/meminfo") as f:
            total = int(f.readline().split()[1]) * 1024
        self.assertIn(float(total), small)  # MemTotal, in bytes, does not change
        _, large = self.frame(b"large 1000\n")
        rows = [large[i:i + 10] for i in range(0, len(large), 10)]
        # This process's row: pid last, its parent eighth, its threads sixth.
        [mine] = [row for row in rows if row[9] == os.getpid()]
        self.assertEqual(mine[7], os.getppid())
        self.assertGreaterEqual(mine[5], 1)
        self.assertGreater(mine[2], 0)  # resident bytes
        self.assertGreater(mine[3], mine[2])  # virtual bytes

    def test_processes_come_and_go_between_cycles(self):
        def pids(s):
            count, _ = HEADER.unpack(self.receive(s, HEADER.size))
            values = struct.unpack("=%dd" % count, self.receive(s, 8 * count))
            s.sendall(b"\x01")
            return {int(values[i + 9]) for i in range(0, count, 10)}

        with socket.create_connection(("127.0.0.1", self.agent.port), timeout=10) as s:
            s.sendall(b"large 100\n")
            first = subprocess.Popen(["sleep", "30"])
            try:
                pids(s)  # the frame may have been under way before the child began
                self.assertIn(first.pid, pids(s))
            finally:
                first.kill()
                first.wait()
            second = subprocess.Popen(["sleep", "30"])
            try:
                seen = pids(s)
                seen = pids(s)  # one whole cycle after the first child ended
                self.assertNotIn(first.pid, seen)
                self.assertIn(second.pid, seen)
                self.assertIn(os.getpid(), seen)
            finally:
                second.kill()
                second.wait()

    def test_a_bad_request_or_a_lost_observer_leaves_it_serving_the_next(self):
        for request in (b"medium 100\n", b"small 0\n", b"small -5\n", b"x" * 100):
            with socket.create_connection(("127.0.0.1", self.agent.port), timeout=10) as s:
                s.sendall(request)
                try:
                    answer = s.recv(1)
                except ConnectionResetError:  # closed with part of the request unread
                    answer = b""
                self.assertEqual(answer, b"", request)  # closed without a frame
        with socket.create_connection(("127.0.0.1", self.agent.port), timeout=10) as s:
            s.sendall(b"small 100\n")
            self.receive(s, HEADER.size)  # then it goes away without acknowledging
        self.assertEqual(len(self.frame(b"small 100\n")[1]), self.small)
        with open(os.path.join(self.dir, "floor.log")) as f:
            self.assertIn("request", f.read())

    def test_an_observer_whose_agent_goes_away_fails(self):
        latencies = os.path.join(self.dir, "latencies")
        with subprocess.Popen(self.agent.client_argv("small", 100, latencies),
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) as observer:
            self.assertTrue(observer.stdout.readline().startswith("READY "))
            observer.stdin.write("START\n")
            observer.stdin.flush()
            self.agent.stop()
            self.assertNotEqual(observer.wait(30), 0)
            self.assertEqual(observer.stdout.read(), "")  # no RESULT
            self.assertIn("closed", observer.stderr.read())


if __name__ == "__main__":
    unittest.main()
