#!/usr/bin/env bash
# Sets everything up, builds Zynwatch and watches this computer's processor, memory, disk and
# network counters until Ctrl+C.
#   scripts/run.sh                 watch the default counters
#   scripts/run.sh ARGS...         run zynwatch with ARGS instead (e.g. list, read, watch --help)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh >&2

build=${BUILD_DIR:-build-run}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZYN_BUILD_TESTS=OFF \
  -DZYN_BUILD_BENCH=OFF >&2
cmake --build "$build" -j "$(nproc)" --target zynwatch zynserver >&2

if (($# == 0)); then set -- watch; fi
exec "$build/tools/zynwatch/zynwatch" "$@"
