#!/usr/bin/env bash
# `make fuzz`: builds the libFuzzer targets with clang in BUILD (default build-fuzz) and runs
# each for SECONDS (default 60) over a copy of its seeds, tests/fuzz/corpus/NAME for
# fuzz_NAME. Inputs it finds stay in BUILD/corpus/NAME; crashes go to BUILD/findings/.
# Exits non-zero when any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-fuzz}
seconds=${2:-60}
jobs=${JOBS:-$(nproc)}

# clang and its libFuzzer runtime, on top of what every build needs.
bash scripts/install-deps.sh clang-14 libclang-rt-14-dev

# The libraries get coverage and the sanitizers too; the targets link libFuzzer itself.
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DVARNO_FUZZ=ON -DVARNO_BENCH=OFF >/dev/null

targets=()
for source in tests/fuzz/fuzz_*.cpp; do
  targets+=("$(basename "$source" .cpp)")
done
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

mkdir -p "$build/findings"
failed=()
for target in "${targets[@]}"; do
  name=${target#fuzz_}
  work="$build/corpus/$name"
  mkdir -p "$work"
  cp -r "tests/fuzz/corpus/$name/." "$work/"
  extra=()
  # The schedule parser logs every line on stderr.
  [ "$target" = fuzz_schedule ] && extra+=(-close_fd_mask=2)
  echo "== $target for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/findings/$target-" "${extra[@]}" "$work" \
    > "$build/findings/$target.log" 2>&1; then
    failed+=("$target")
    tail -40 "$build/findings/$target.log"
  else
    grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "$build/findings/$target.log" || true
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]} (inputs in $build/findings/)"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds}s each without findings"
