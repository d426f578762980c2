#!/usr/bin/env bash
# Installs what the build needs, builds Deskwave and runs every test: once
# plainly, then again with AddressSanitizer and UndefinedBehaviorSanitizer.
# Pass --quick to skip the sanitizer run.
set -euo pipefail
cd "$(dirname "$0")/.."

"./scripts/install-deps.sh"

jobs=$(nproc 2>/dev/null || echo 2)
run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo

if [ "${1:-}" != "--quick" ]; then
  # Any sanitizer report fails the run.
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_suite build-sanitize -DCMAKE_BUILD_TYPE=Debug -DDESKWAVE_SANITIZE=ON -DDESKWAVE_BUILD_BENCHMARKS=OFF
fi
