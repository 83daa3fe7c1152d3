import os
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))

# An observer whose fetch gives 3 values in 0.5 ms and fails once, at its second call.
FAKE_OBSERVER = """
import sys
sys.path.insert(0, %r)
import clients
calls = [0]
def fetch():
    calls[0] += 1
    if calls[0] == 2:
        raise OSError("connection reset")
    return 0.5, 3
clients.run_loop(fetch, 50, sys.argv[1], 3, 3)
""" % HERE


class RunLoopTest(unittest.TestCase):
    def test_counts_only_inside_the_window_and_survives_a_failed_fetch(self):
        with tempfile.TemporaryDirectory() as d:
            latencies = os.path.join(d, "latencies")
            with subprocess.Popen([sys.executable, "-c", FAKE_OBSERVER, latencies],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True) as observer:
                self.assertEqual(observer.stdout.readline().strip(), "READY items=3 rejected=0")
                time.sleep(0.5)  # about ten fetches before the window, none of them counted
                observer.stdin.write("START\n")
                observer.stdin.flush()
                time.sleep(0.5)
                observer.stdin.write("STOP\n")
                observer.stdin.flush()
                result = observer.stdout.readline().split()
                observer.wait(10)
            with open(latencies) as f:
                lines = f.read().split()
        self.assertEqual(result[0], "RESULT")
        counts = dict(field.split("=") for field in result[1:])
        callbacks = int(counts["callbacks"])
        self.assertGreaterEqual(callbacks, 2)
        self.assertLessEqual(callbacks, 14)  # 0.5 s at 50 ms, with room for a slow machine
        self.assertEqual(int(counts["values"]), 3 * callbacks)
        self.assertEqual(counts["errors"], "1")
        self.assertEqual(len(lines), callbacks)
        self.assertTrue(all(float(x) == 0.5 for x in lines))

    def test_the_end_of_its_input_ends_it_too(self):
        with tempfile.TemporaryDirectory() as d:
            observer = subprocess.run([sys.executable, "-c", FAKE_OBSERVER,
                                       os.path.join(d, "latencies")], input="", timeout=10,
                                      capture_output=True, text=True)
        self.assertIn("RESULT values=0 callbacks=0", observer.stdout)


if __name__ == "__main__":
    unittest.main()
