#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 60)
# from its seed corpus in fuzz/corpus/<target>. Any crash or sanitizer report fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

"./scripts/install-deps.sh"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDESKWAVE_FUZZ=ON \
  -DDESKWAVE_BUILD_TESTS=OFF -DDESKWAVE_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc 2>/dev/null || echo 2)"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for seeds in fuzz/corpus/*/; do
  target=$(basename "$seeds")_fuzzer
  work=$(mktemp -d)
  cp -r "$seeds". "$work"/
  echo "fuzzing $target for ${seconds}s"
  "./build-fuzz/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 "$work" 2>&1 | tail -n 12
  rm -rf "$work"
done
