#!/usr/bin/env bash
# Builds the OPC server object's and group engine's tests with ThreadSanitizer in a build directory of their own and
# runs them; any reported race fails the run.
#   scripts/tsan.sh                       build-grp-tsan, 2 jobs
#   BUILD_DIR=dir JOBS=n scripts/tsan.sh  elsewhere, with more jobs
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build-grp-tsan}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZYN_TSAN=ON \
  -DZYN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target server_group_test server_object_test -j "${JOBS:-2}"

export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
"$build/server/server_group_test" "$@"
"$build/server/server_object_test" "$@"
