import os
import shutil
import tempfile
import time
import unittest

import agents
import counters
import peers
import procstat

# A server program that says where it listens in one write, both lines at once, as a program
# that buffers its output does, and then stays up until it is stopped.
FAKE_SERVER = """#!/bin/sh
printf 'listening on unix:/tmp/x.sock\\nlistening on tcp:127.0.0.1:4321\\n'
exec sleep 60
"""


class ZynAgentTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zyn-agents-test-")
        self.build = os.path.join(self.dir, "build")
        os.makedirs(os.path.join(self.build, "server", "process"))
        server = os.path.join(self.build, "server", "process", "zynserver")
        with open(server, "w") as f:
            f.write(FAKE_SERVER)
        os.chmod(server, 0o755)
        self.pidfile = os.path.join(self.dir, "daemons")
        open(self.pidfile, "w").close()

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_reads_the_port_stays_listed_while_up_and_is_stopped_by_its_pid(self):
        agent = agents.ZynAgent(self.pidfile, self.build, os.path.join(self.dir, "home"), "tcp")
        self.assertFalse(agent.stand_in)
        began = time.monotonic()
        agent.start("small")
        self.assertLess(time.monotonic() - began, 10)  # the second line was not waited for
        self.assertEqual(agent.machine, "127.0.0.1:4321")
        pid = agent.pid
        with open(self.pidfile) as f:
            self.assertEqual(f.read().split(), [str(pid), str(procstat.start_time(pid))])
        argv = agent.client_argv("paths", 100, "latencies")
        self.assertEqual(argv[argv.index("--machine") + 1], "127.0.0.1:4321")
        self.assertTrue(argv[argv.index("--key") + 1].startswith(agent.home))
        agent.stop()
        self.assertIsNone(procstat.start_time(pid))
        with open(self.pidfile) as f:
            self.assertEqual(f.read(), "")

    def test_over_the_unix_socket_no_key_is_handed_over(self):
        agent = agents.ZynAgent(self.pidfile, self.build, os.path.join(self.dir, "home"),
                                "unix")
        agent.start("small")
        try:
            self.assertEqual(agent.machine, "My Computer")
            self.assertNotIn("--key", agent.client_argv("paths", 100, "latencies"))
        finally:
            agent.stop()

    def test_a_server_that_never_says_where_it_listens_is_an_error(self):
        with open(os.path.join(self.build, "server", "process", "zynserver"), "w") as f:
            f.write("#!/bin/sh\necho starting\nexit 3\n")
        agent = agents.ZynAgent(self.pidfile, self.build, os.path.join(self.dir, "home"), "tcp")
        with self.assertRaises(agents.AgentError):
            agent.start("small")
        agent.stop()

    def test_the_test_server_stands_in_until_the_program_is_built(self):
        os.remove(os.path.join(self.build, "server", "process", "zynserver"))
        agent = agents.ZynAgent(self.pidfile, self.build, os.path.join(self.dir, "home"), "tcp")
        self.assertTrue(agent.stand_in)
        self.assertTrue(agent.server.endswith("remote_e2e_server"))


class FloorAgentTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zyn-agents-test-")
        self.build = os.path.join(self.dir, "build")
        os.makedirs(os.path.join(self.build, "bench", "peers"))
        self.pidfile = os.path.join(self.dir, "daemons")
        open(self.pidfile, "w").close()
        self.instances = counters.Instances(["0", "1"], ["cciss/c0d0"], ["lo", "eth 0"])

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def fake(self, script):
        path = os.path.join(self.build, "bench", "peers", "floor_agent")
        with open(path, "w") as f:
            f.write(script)
        os.chmod(path, 0o755)
        return agents.FloorAgent(self.pidfile, self.build, self.instances,
                                 os.path.join(self.dir, "floor.log"))

    def test_every_instance_is_one_argument_and_the_observer_names_the_set(self):
        agent = self.fake("#!/bin/sh\necho 'listening on tcp:5678'\nexec sleep 60\n")
        self.assertEqual(agent.serve_argv()[1:], [
            "serve", "--cpu", "0", "--cpu", "1", "--disk", "cciss/c0d0", "--net", "lo",
            "--net", "eth 0"])
        agent.start("large")
        pid = agent.pid
        try:
            argv = agent.client_argv("large", 100, "lat")
            self.assertEqual(argv[1:], ["observe", "--port", "5678", "--rate", "100", "--set",
                                        "large", "--latencies", "lat"])
        finally:
            agent.stop()
        self.assertIsNone(procstat.start_time(pid))

    def test_an_agent_that_fails_to_start_is_stopped_by_the_window(self):
        # It says something else and stays up: the window must not leave it running.
        agent = self.fake("#!/bin/sh\necho 'no port for you' >&2\necho starting\n"
                          "exec sleep 60\n")
        with self.assertRaises(agents.AgentError):
            peers.run_window(agent, lambda latencies: ["true"], "small", 100, 1, 1, self.dir)
        with open(self.pidfile) as f:
            self.assertEqual(f.read(), "")
        self.assertIsNone(agent.process)
        with open(os.path.join(self.dir, "floor.log")) as f:
            self.assertIn("no port for you", f.read())


class PmcdConfigTest(unittest.TestCase):
    SYSTEM = ("# Name  Id  IPC  IPC Params  File/Cmd\n"
              "root\t1\tpipe\tbinary\t\t/x/root/pmdaroot\n"
              "pmcd\t2\tdso\tpmcd_init\t/x/pmcd/pmda_pmcd.so\n"
              "proc\t3\tpipe\tbinary\t\t/x/proc/pmdaproc -d 3\n"
              "linux\t60\tpipe\tbinary\t\t/x/linux/pmdalinux\n"
              "kvm\t95\tpipe\tbinary\t\t/x/kvm/pmdakvm -d 95\n"
              "\n[access]\nallow \".*\" : all;\nlinux 1 2 3\n")

    def agents_of(self, config):
        body = config.split("[access]")[0]
        return [line.split()[0] for line in body.splitlines() if line.strip()]

    def test_only_the_agents_a_set_needs_from_the_installed_lines(self):
        small = agents.pmcd_config("small", self.SYSTEM, "/y")
        self.assertEqual(self.agents_of(small), ["pmcd", "linux"])
        self.assertIn("/x/linux/pmdalinux", small)
        large = agents.pmcd_config("large", self.SYSTEM, "/y")
        self.assertEqual(self.agents_of(large), ["pmcd", "linux", "proc"])
        self.assertIn("/x/proc/pmdaproc -d 3 -A", large)
        # The access rules are ours: nobody may store, and the installed ones are not copied.
        self.assertNotIn('allow ".*" : all', large)
        self.assertIn('disallow ".*" : store;', large)

    def test_defaults_when_nothing_is_installed_and_minus_a_only_once(self):
        config = agents.pmcd_config("large", "proc 3 pipe binary /z/pmdaproc -A\n", "/y")
        self.assertIn("/y/linux/pmdalinux", config)
        self.assertEqual(config.count("-A"), 1)


if __name__ == "__main__":
    unittest.main()
