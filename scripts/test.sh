#!/usr/bin/env bash
# Installs what the build needs, builds Deskwave and runs every test: once
# plainly, then again with AddressSanitizer and UndefinedBehaviorSanitizer, and
# the tests of the components that poll on several threads once more with
# ThreadSanitizer. Pass --quick to skip the sanitizer runs.
set -euo pipefail
cd "$(dirname "$0")/.."

stage_start=$SECONDS
stage() {
  echo "== $1 ($((SECONDS - stage_start)) s so far)"
}

stage "installing dependencies"
"./scripts/install-deps.sh"

jobs=$(nproc 2>/dev/null || echo 2)
run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  local started=$SECONDS
  cmake --build "$dir" -j "$jobs"
  echo "== built $dir in $((SECONDS - started)) s"
  started=$SECONDS
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
  echo "== tested $dir in $((SECONDS - started)) s"
}

stage "plain build and tests"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo

if [ "${1:-}" != "--quick" ]; then
  # Any sanitizer report fails the run.
  stage "AddressSanitizer and UndefinedBehaviorSanitizer build and tests"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_suite build-sanitize -DCMAKE_BUILD_TYPE=Debug -DDESKWAVE_SANITIZE=ON -DDESKWAVE_BUILD_BENCHMARKS=OFF

  # ThreadSanitizer cannot be combined with AddressSanitizer: a third build, of
  # the test programs whose components poll and time on several threads.
  stage "ThreadSanitizer build and tests"
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDESKWAVE_TSAN=ON -DDESKWAVE_BUILD_BENCHMARKS=OFF \
    >/dev/null
  cmake --build build-tsan -j "$jobs" --target capture_tests inject_tests
  for program in capture_tests inject_tests; do
    DESKWAVE_TEST=1 "./build-tsan/tests/$program" --gtest_brief=1
  done
fi
stage "done"
