#!/bin/sh
# Builds the path fuzzer with clang and runs it for SECONDS (default 120) on 2 jobs' worth of
# time in one process. Usage: platform/perf/fuzz/run.sh [SECONDS]
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
build="$root/build-perf-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DZYN_BUILD_TESTS=OFF \
  -DZYN_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target perf_path_fuzz
corpus="$build/path_corpus"
mkdir -p "$corpus"
printf '%s' '\Processor(_Total)\% Processor Time' >"$corpus/seed1"
printf '%s' '\\testhost\Process(parent/child#3)\ID Process' >"$corpus/seed2"
printf '%s' '\Paging File(/swap file)\% Usage' >"$corpus/seed3"
"$build/platform/perf/perf_path_fuzz" -max_total_time="${1:-120}" -max_len=4096 "$corpus"
