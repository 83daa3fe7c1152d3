"""Starting and stopping the agents by hand, bound to 127.0.0.1 only.

Every agent started is listed in the pid file run.sh watches ("pid starttime" a line) until
it has been stopped, so that no way of ending leaves one running."""

import os
import pwd
import select
import shutil
import signal
import socket
import subprocess
import threading
import time

import procstat


class AgentError(RuntimeError):
    pass


def find_program(build_dir, name, usual):
    """The program `name` of a build: in its usual folder, else wherever the build put it;
    None when it is not built."""
    path = os.path.join(build_dir, *usual, name)
    if os.access(path, os.X_OK):
        return path
    for root, dirs, files in os.walk(build_dir):
        dirs[:] = [d for d in dirs if not d.startswith(".") and not d.endswith(".dir")]
        if name in files and os.access(os.path.join(root, name), os.X_OK):
            return os.path.join(root, name)
    return None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise AgentError("it ended with status %d" % process.returncode)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise AgentError("nothing listens on port %d after %d s" % (port, seconds))


def read_line(process, seconds):
    """The next line of the process's output, waiting at most `seconds`. The output must be
    unbuffered (bufsize=0): select cannot see lines a buffer has already taken in."""
    ready, _, _ = select.select([process.stdout], [], [], seconds)
    if not ready:
        return None
    return process.stdout.readline().decode("utf-8", "replace").rstrip("\n")


class Agent:
    """One running agent: its root process, and how an observer reaches it."""

    name = ""
    key = ""  # as --only names it
    # The observer's environment (None: this script's).
    client_env = None

    def __init__(self, pidfile):
        self.pidfile = pidfile
        self.process = None
        self._drain = None

    def _spawn(self, argv, **kwargs):
        # A session of its own: a Ctrl+C at the terminal reaches this script, which then stops
        # the agent in order, instead of reaching the agent half-way through a window.
        self.process = subprocess.Popen(argv, start_new_session=True, **kwargs)
        started = procstat.start_time(self.process.pid)
        with open(self.pidfile, "a") as f:
            f.write("%d %s\n" % (self.process.pid, started))

    @property
    def pid(self):
        return self.process.pid

    def stop(self):
        """SIGTERM, then SIGKILL after 10 s; the agent's own children go with it."""
        if self.process is None:
            return
        children = [(pid, procstat.start_time(pid)) for pid in procstat.tree(self.process.pid)[1:]]
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        # Children that outlive their parent (they should end on their own) are stopped too.
        # A pid is only signalled while it still names the same process.
        deadline = time.monotonic() + 5
        for pid, started in children:
            while procstat.start_time(pid) == started and time.monotonic() < deadline:
                time.sleep(0.05)
            if started is not None and procstat.start_time(pid) == started:
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
        if self._drain is not None:
            self._drain.join(5)  # the pipe reached its end with the process
            self._drain = None
        for stream in (self.process.stdin, self.process.stdout):
            if stream:
                stream.close()
        self._unlist(self.process.pid)
        self.process = None

    def _unlist(self, pid):
        with open(self.pidfile) as f:
            lines = [line for line in f if line.split()[:1] != [str(pid)]]
        with open(self.pidfile, "w") as f:
            f.writelines(lines)


class ZynAgent(Agent):
    """ZYNServer serving on 127.0.0.1 (any free port) and its Unix socket, with its files in a
    scratch home."""

    name = "zynserver"
    key = "zyn"

    def __init__(self, pidfile, build_dir, home, transport):
        super().__init__(pidfile)
        self.transport = transport
        self.home = home
        self.env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
                        XDG_RUNTIME_DIR=os.path.join(home, "run"))
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        # The observer shares the scratch home: it finds the Unix socket there, and keeps the
        # access key and the pinned certificate there instead of in the user's own files.
        self.client_env = self.env
        server = find_program(build_dir, "zynserver", ("server", "process"))
        self.stand_in = server is None
        if self.stand_in:
            # Until the server program exists: the test server, the same server object behind
            # the same endpoint.
            server = os.path.join(build_dir, "tests", "remote", "remote_e2e_server")
            self.name = "zynserver*"
        self.server = server
        self.driver = os.path.join(build_dir, "bench", "peers", "zyn_driver")
        self.machine = None

    def start(self, set_name):
        argv = [self.server] if self.stand_in else [self.server, "--listen", "127.0.0.1:0"]
        with open(os.path.join(self.home, "server.log"), "ab") as log:
            self._spawn(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log,
                        env=self.env, bufsize=0)
        port = None
        deadline = time.monotonic() + 30
        while port is None and time.monotonic() < deadline:
            line = read_line(self.process, deadline - time.monotonic())
            if not line:
                break
            if self.stand_in and line.startswith("READY "):
                port = int(line.split()[1])
            elif line.startswith("listening on tcp:"):
                port = int(line.rsplit(":", 1)[1])
        if port is None:
            raise AgentError("%s did not say where it listens" % self.server)
        # Whatever else it prints must not fill the pipe and stall it.
        self._drain = threading.Thread(target=self.process.stdout.readall, daemon=True)
        self._drain.start()
        self.machine = "127.0.0.1:%d" % port if self.transport == "tcp" else "My Computer"

    def client_argv(self, paths_file, rate_ms, latencies_file):
        argv = [self.driver, "--machine", self.machine, "--rate", str(rate_ms), "--paths",
                paths_file, "--latencies", latencies_file]
        if self.transport == "tcp":
            argv += ["--key", os.path.join(self.env["XDG_CONFIG_HOME"], "zynwatch", "endpoint",
                                           "access.key")]
        return argv


def _pcp_conf():
    conf = {}
    try:
        with open("/etc/pcp.conf") as f:
            for line in f:
                if "=" in line and not line.startswith("#"):
                    key, value = line.strip().split("=", 1)
                    conf[key] = value
    except OSError:
        pass
    return conf


def pmcd_config(set_name, system_config, pmdas_dir):
    """pmcd.conf with only the agents the set needs: pmcd's own (in-process), the Linux agent,
    and for the per-process set the proc agent.

    The lines come from the installed configuration when it has them. The proc agent gets -A:
    it otherwise answers only clients whose credentials it can check (so no TCP client), and
    switches to the caller's user for every request; running it without that is the cheapest
    way for it to serve, which is the fair side to err on."""
    wanted = ["pmcd", "linux"] + (["proc"] if set_name == "large" else [])
    defaults = {
        "pmcd": "pmcd\t2\tdso\tpmcd_init\t%s/pmcd/pmda_pmcd.so" % pmdas_dir,
        "linux": "linux\t60\tpipe\tbinary\t\t%s/linux/pmdalinux" % pmdas_dir,
        "proc": "proc\t3\tpipe\tbinary\t\t%s/proc/pmdaproc -d 3" % pmdas_dir,
    }
    found = {}
    for line in (system_config or "").splitlines():
        if line.startswith("["):
            break
        fields = line.split()
        if fields and fields[0] in wanted:
            found[fields[0]] = line
    lines = []
    for name in wanted:
        line = found.get(name, defaults[name])
        if name == "proc" and " -A" not in line:
            line += " -A"
        lines.append(line)
    return "\n".join(lines) + (
        "\n\n[access]\ndisallow \".*\" : store;\ndisallow \":*\" : store;\n"
        "allow \"local:*\" : all;\n")


class PcpAgent(Agent):
    name = "pmcd"
    key = "pcp"

    def __init__(self, pidfile, scratch, script):
        super().__init__(pidfile)
        conf = _pcp_conf()
        self.pmcd = os.path.join(conf.get("PCP_BINADM_DIR", "/usr/lib/pcp/bin"), "pmcd")
        self.pmdas_dir = conf.get("PCP_PMDAS_DIR", "/var/lib/pcp/pmdas")
        self.system_config = conf.get("PCP_PMCDCONF_PATH", "/etc/pcp/pmcd/pmcd.conf")
        self.dir = os.path.join(scratch, "pcp")
        self.script = script
        self.port = None

    def start(self, set_name):
        shutil.rmtree(self.dir, ignore_errors=True)
        for sub in ("run", "log/pmcd"):
            os.makedirs(os.path.join(self.dir, sub))
        try:
            system = open(self.system_config).read()
        except OSError:
            system = ""
        config = os.path.join(self.dir, "pmcd.conf")
        with open(config, "w") as f:
            f.write(pmcd_config(set_name, system, self.pmdas_dir))
        # pmcd drops to the pcp user: its folders must be that user's. It also runs in its
        # folder, where its agents write their logs (linux.log, proc.log), so that none lands in
        # the folder the script was started from.
        try:
            user = pwd.getpwnam("pcp")
            for root, dirs, files in os.walk(self.dir):
                for entry in [root] + [os.path.join(root, n) for n in dirs + files]:
                    os.chown(entry, user.pw_uid, user.pw_gid)
        except KeyError:
            pass
        self.port = free_port()
        env = dict(os.environ, PCP_RUN_DIR=os.path.join(self.dir, "run"),
                   PCP_LOG_DIR=os.path.join(self.dir, "log"), PCP_PMCDCONF_PATH=config)
        self._spawn([self.pmcd, "-f", "-A", "-i", "127.0.0.1", "-p", str(self.port),
                     "-s", os.path.join(self.dir, "run", "pmcd.socket"), "-c", config,
                     "-l", os.path.join(self.dir, "pmcd.log")],
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL, env=env, cwd=self.dir)
        wait_for_port(self.port, self.process)

    def client_argv(self, request_file, rate_ms, latencies_file):
        return ["/usr/bin/python3", self.script, "pcp-client", str(self.port), request_file,
                str(rate_ms), latencies_file]


class NodeAgent(Agent):
    name = "node_exporter"
    key = "node"

    def __init__(self, pidfile, script, collector_args):
        super().__init__(pidfile)
        self.script = script
        self.collector_args = collector_args
        self.port = None

    def start(self, set_name):
        self.port = free_port()
        argv = ["prometheus-node-exporter", "--web.listen-address=127.0.0.1:%d" % self.port]
        argv += self.collector_args
        try:
            # As its package runs it: as the prometheus user (setpriv execs, the pid stays).
            pwd.getpwnam("prometheus")
            argv = ["setpriv", "--reuid", "prometheus", "--regid", "prometheus",
                    "--init-groups"] + argv
        except KeyError:
            pass
        self._spawn(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL)
        wait_for_port(self.port, self.process)

    def client_argv(self, matchers_file, rate_ms, latencies_file):
        return ["/usr/bin/python3", self.script, "node-client", str(self.port), matchers_file,
                str(rate_ms), latencies_file]


class FloorAgent(Agent):
    """The least an agent can spend on the work: floor_agent reads the same kernel files,
    parses the numbers and hands them over loopback, nothing more. Its observer asks for the
    set by name; the small set's instances are the ones every agent is asked for."""

    name = "floor (minimal C++ reader)"
    key = "floor"

    def __init__(self, pidfile, build_dir, instances, log):
        super().__init__(pidfile)
        self.program = os.path.join(build_dir, "bench", "peers", "floor_agent")
        self.instances = instances
        self.log = log  # its complaints, if any
        self.port = None

    def serve_argv(self):
        argv = [self.program, "serve"]
        for option, names in (("--cpu", self.instances.cpus), ("--disk", self.instances.disks),
                              ("--net", self.instances.interfaces)):
            for name in names:
                argv += [option, name]
        return argv

    def start(self, set_name):
        # The set is the observer's choice; the agent serves either.
        with open(self.log, "ab") as log:
            self._spawn(self.serve_argv(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                        stderr=log, bufsize=0)
        line = read_line(self.process, 30)
        if not line or not line.startswith("listening on tcp:"):
            raise AgentError("%s did not say where it listens (see %s)" % (self.program,
                                                                          self.log))
        self.port = int(line.rsplit(":", 1)[1])
        self._drain = threading.Thread(target=self.process.stdout.readall, daemon=True)
        self._drain.start()

    def client_argv(self, set_name, rate_ms, latencies_file):
        return [self.program, "observe", "--port", str(self.port), "--rate", str(rate_ms),
                "--set", set_name, "--latencies", latencies_file]
