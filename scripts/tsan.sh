#!/usr/bin/env bash
# The process tests under ThreadSanitizer (part of `make soak`): the agent, kfs-devserver
# and varno-ctl built with gcc -fsanitize=thread in BUILD (default build-tsan), and every
# process test run against them. A race reported in any of the programs fails its test:
# the program then exits with TSan's status instead of its own.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-tsan}
jobs=${JOBS:-$(nproc)}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNO_TSAN=ON \
  -DVARNO_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target process_tests varno-backup varno-backup-testjobs \
  varno-ctl kfs-devserver

# Every suite of the process tests, by the names CTest knows them by.
suites=$("$build/tests/process/process_tests" --gtest_list_tests | awk '/^[^ ]/ {print $1}' |
  tr -d . | paste -sd'|')
# Address-space randomisation off: TSan's fixed shadow layout does not fit the high
# entropy mappings of newer kernels.
cd "$build"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  setarch "$(uname -m)" -R ctest --output-on-failure -j "$jobs" -R "^($suites)\\."
