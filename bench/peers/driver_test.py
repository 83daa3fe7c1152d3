"""zyn_driver against a real server process over TCP; needs a build (ZYN_BUILD_DIR)."""

import os
import shutil
import subprocess
import tempfile
import time
import unittest

import agents

BUILD = os.environ.get("ZYN_BUILD_DIR", "")


def built(*parts):
    path = os.path.join(BUILD, *parts)
    return path if BUILD and os.path.exists(path) else None


DRIVER = built("bench", "peers", "zyn_driver")
SERVER = built("server", "process", "zynserver") or built("tests", "remote", "remote_e2e_server")


@unittest.skipUnless(DRIVER and SERVER, "needs zyn_driver and a server program in ZYN_BUILD_DIR")
class DriverTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="zyn-driver-test-")
        with open(os.path.join(self.home, "daemons"), "w"):
            pass
        self.server = agents.ZynAgent(os.path.join(self.home, "daemons"), BUILD, self.home, "tcp")
        self.server.start("small")

    def tearDown(self):
        self.server.stop()
        shutil.rmtree(self.home, ignore_errors=True)

    def test_subscribes_expands_and_counts_only_inside_the_window(self):
        paths = os.path.join(self.home, "paths")
        with open(paths, "w") as f:
            f.write("\\Processor(*)\\% User Time\n\\Memory\\Available Bytes\n\\No Such\\Thing\n")
        latencies = os.path.join(self.home, "latencies")
        with subprocess.Popen(self.server.client_argv(paths, 200, latencies),
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True,
                              env=self.server.client_env) as driver:
            ready = driver.stdout.readline().split()
            cpus = len([n for n in os.listdir("/sys/devices/system/cpu")
                        if n.startswith("cpu") and n[3:].isdigit()])
            # Every processor but _Total, the memory counter; the unknown path is refused.
            self.assertEqual(ready, ["READY", "items=%d" % (cpus + 1), "rejected=1"])
            time.sleep(1.0)  # callbacks before the window are not counted
            driver.stdin.write("START\n")
            driver.stdin.flush()
            time.sleep(1.5)
            driver.stdin.write("STOP\n")
            driver.stdin.flush()
            result = driver.stdout.readline().split()
            self.assertEqual(driver.wait(30), 0)
            self.assertIn("\\No Such\\Thing", driver.stderr.read())
        counts = dict(field.split("=") for field in result[1:])
        callbacks = int(counts["callbacks"])
        self.assertGreaterEqual(callbacks, 3)
        self.assertLessEqual(callbacks, 9)  # 1.5 s at 200 ms; the second before is left out
        self.assertGreaterEqual(int(counts["values"]), callbacks)
        self.assertLessEqual(int(counts["values"]), callbacks * (cpus + 1))
        with open(latencies) as f:
            values = [float(x) for x in f.read().split()]
        self.assertEqual(len(values), callbacks)
        self.assertTrue(all(0 <= v < 1000 for v in values))
        # The access key and the pinned certificate went to the scratch home, not the user's.
        machines = os.path.join(self.home, "config", "zynwatch", "machines")
        self.assertEqual(os.listdir(machines), [self.server.machine])


if __name__ == "__main__":
    unittest.main()
