#!/usr/bin/env bash
# Sets everything up, builds Zynwatch with AddressSanitizer and UndefinedBehaviorSanitizer, and
# runs every test through CTest.
#   scripts/test.sh            full run
#   BUILD_DIR=dir scripts/test.sh   build somewhere else (default: build-test)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

build=${BUILD_DIR:-build-test}
jobs=$(nproc)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZYN_SANITIZE=ON -DZYN_BUILD_BENCH=OFF
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j "$jobs"
