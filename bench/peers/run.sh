#!/usr/bin/env bash
# Side-by-side cost of ZYNServer and the collectors users would run instead, on this machine.
# See --help; the measuring itself is peers.py in this folder.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/../.." && pwd)"

usage() {
  cat <<'EOF'
usage: bench/peers/run.sh [options]

Measures four agents on this machine, one at a time, doing the same work: ZYNServer with one
observer subscribed over platform/remote, pmcd with its Linux agent (Performance Co-Pilot),
Prometheus' node_exporter scraped over HTTP, and the floor: floor_agent, a minimal C++ program
that only reads the same kernel files, parses the numbers and sends them as doubles over
loopback TCP to its observer, which acknowledges each cycle. The floor is no peer: it is the
least this work costs on this machine, so a target below it cannot be met by any agent. Each
agent is started by this script bound to 127.0.0.1 only and stopped by its process id when its
window ends; none is left running.

Work: a set of about 70 processor, memory, disk and network values that all four expose,
read at 1 s for 60 s and at 100 ms for 30 s; then about 1000 per-process values (all but
node_exporter, which has no per-process data) at the same rates; three runs, medians
reported; then each agent idle for 60 s with nobody observing.

Printed: CPU milliseconds per 1000 values delivered, ZYNServer's ratio against each peer and
against the floor, peak and final resident memory of all the agent's processes, latency p50
and p99; the verdict says when the target (the better peer's CPU figure / 5) lies below the
floor. The raw figures of every run go to a CSV file.

Options:
  --runs N            runs of every window (default 3)
  --quick             one short run (10 s and 5 s windows, 5 s idle) to check that all works
  --idle SECONDS      length of the idle window (default 60; 0 skips it)
  --csv FILE          where the raw figures go (default: peers-YYYYmmdd-HHMMSS.csv in the
                      current folder)
  --build-dir DIR     the CMake build to use and build (default <repo>/build-peers, Release)
  --no-build          use the build directory as it is
  --only LIST         agents to measure, comma-separated from zyn,pcp,node,floor (default
                      all)
  --transport T       how the observer reaches ZYNServer: tcp (TLS over 127.0.0.1, the
                      default, as the peers are reached) or unix (its owner-only socket)
  --no-install        do not install missing packages
  -h, --help          this text

It needs root (it installs packages, rebuilds PCP's namespace once and starts pmcd, which
drops to the pcp user); as another user it runs itself again through sudo. With the defaults
it takes about 40 minutes; --runs 2 about 28, --quick about 4. Run it on a quiet machine:
anything else using the processors shows in the figures.
EOF
}

given=("$@")
runs=3 quick=0 idle="" csv="" build_dir="$repo/build-peers" build=1 only="zyn,pcp,node,floor"
transport=tcp install=1
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift ;;
    --quick) quick=1 ;;
    --idle) idle="$2"; shift ;;
    --csv) csv="$2"; shift ;;
    --build-dir) build_dir="$2"; shift ;;
    --no-build) build=0 ;;
    --only) only="$2"; shift ;;
    --transport) transport="$2"; shift ;;
    --no-install) install=0 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
if [ "$(id -u)" -ne 0 ]; then
  exec sudo -- "$0" "${given[@]}"
fi

# The PCP Python bindings belong to the system's interpreter, not to one a user put first.
python=/usr/bin/python3
export PYTHONDONTWRITEBYTECODE=1

# ---- packages ---------------------------------------------------------------------------------
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }

scratch="$(mktemp -d /tmp/zyn-peers-XXXXXX)"
chmod 755 "$scratch"
# peers.py lists every daemon it starts in this file ("pid starttime" a line) and takes it off
# when it has stopped it, so whatever way this script ends, nothing it started is left behind.
pidfile="$scratch/daemons"
: >"$pidfile"

cleanup() {
  local pid start now
  while read -r pid start; do
    [ -n "$pid" ] || continue
    # A pid the kernel gave to another process since is left alone.
    now="$(awk '{sub(/.*\) /, ""); print $20}' "/proc/$pid/stat" 2>/dev/null || true)"
    if [ "$now" = "$start" ]; then
      kill -TERM "$pid" 2>/dev/null || true
      for _ in 1 2 3 4 5 6 7 8 9 10; do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.3
      done
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done <"$pidfile"
  if [ -n "${policy_added:-}" ]; then rm -f /usr/sbin/policy-rc.d; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

missing=()
for pkg in pcp python3-pcp prometheus-node-exporter; do
  installed "$pkg" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$install" -eq 0 ]; then
    echo "missing packages: ${missing[*]} (run without --no-install)" >&2
    exit 1
  fi
  echo "installing ${missing[*]} ..."
  # The packages' own services must not start: this script runs each daemon itself, bound to
  # loopback, and a service left running would both listen on every interface and disturb the
  # figures. policy-rc.d is how Debian tells maintainer scripts not to start services.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    policy_added=1
  fi
  fake_path="$PATH"
  if [ ! -d /run/systemd/system ]; then
    # Without systemd as PID 1, pcp's configuration step calls systemctl, which fails ("Failed
    # to connect to bus"), and leaves the package half-configured. A systemctl that does
    # nothing lets it finish; the daemons are started by hand here anyway.
    mkdir -p "$scratch/fakebin"
    printf '#!/bin/sh\nexit 0\n' >"$scratch/fakebin/systemctl"
    chmod 755 "$scratch/fakebin/systemctl"
    fake_path="$scratch/fakebin:$PATH"
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || echo "apt-get update failed; trying with the package lists there are"
  # apt hands dpkg a PATH of its own (DPkg::Path), so the stand-in goes there too.
  PATH="$fake_path" apt-get install -y -qq --no-install-recommends -o DPkg::Path="$fake_path" \
    "${missing[@]}" || {
    echo "finishing the packages' configuration ..."
    PATH="$fake_path" dpkg --configure -a
  }
  for pkg in "${missing[@]}"; do
    installed "$pkg" || { echo "could not install $pkg" >&2; exit 1; }
  done
fi

# PCP's namespace (the metric names pmcd serves) is built by the package's configuration step;
# a machine where that step failed, or never ran, has none.
pmns=/var/lib/pcp/pmns
if [ ! -f "$pmns/root" ] || [ -f "$pmns/.NeedRebuild" ]; then
  echo "rebuilding PCP's namespace ..."
  # As the package's own start script does it; "root" is touched since Rebuild leaves it alone
  # when nothing changed.
  (cd "$pmns" && ./Rebuild -u) || { echo "PCP's namespace could not be built" >&2; exit 1; }
  rm -f "$pmns/.NeedRebuild"
  touch "$pmns/root"
fi

# ---- our programs -----------------------------------------------------------------------------
if [ "$build" -eq 1 ]; then
  echo "building zyn_driver, floor_agent and the server in $build_dir ..."
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DZYN_BUILD_TESTS=OFF -DZYN_BUILD_BENCH=ON >/dev/null
  fi
  targets=(zyn_driver floor_agent)
  if cmake --build "$build_dir" --target help | grep -q '^zynserver:'; then
    targets+=(zynserver)
  else
    targets+=(remote_e2e_server)
  fi
  cmake --build "$build_dir" --target "${targets[@]}" -j"$(nproc)" >/dev/null
fi

args=(--build-dir "$build_dir" --scratch "$scratch" --pidfile "$pidfile" --runs "$runs"
  --only "$only" --transport "$transport")
[ "$quick" -eq 1 ] && args+=(--quick)
[ -n "$idle" ] && args+=(--idle "$idle")
[ -n "$csv" ] && args+=(--csv "$csv")
"$python" "$here/peers.py" "${args[@]}"
