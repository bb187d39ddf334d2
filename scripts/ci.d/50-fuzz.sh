#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on the library and the targets), replays every
# kept crash input in fuzz/regressions/<target>/, then fuzzes each target for
# a fixed time on a copy of its committed corpus (fuzz/corpus-work/ is
# ignored by git, so the tree stays clean). A crash, a sanitizer report, a
# leak or a unit slower than 10 s fails the stage; the input that did it is
# left in fuzz/corpus-work/ as <target>-crash-*, -leak-* or -timeout-*.
#   FUZZ_SECONDS     time per target (default 45)
#   FUZZ_BUILD_DIR   build directory (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${FUZZ_SECONDS:-45}"
build="${FUZZ_BUILD_DIR:-build-fuzz}"
work=fuzz/corpus-work

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DRTSPPULL_BUILD_FUZZ=ON -DRTSPPULL_BUILD_TESTS=OFF -DRTSPPULL_BUILD_TOOLS=OFF \
  -DRTSPPULL_BUILD_BENCH=OFF -DRTSPPULL_INSTALL=OFF
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
mkdir -p "$work"
mapfile -t targets < "$build/fuzz/fuzzers.txt"
for target in "${targets[@]}"; do
  [ -n "$target" ] || continue
  binary="$build/fuzz/$target"
  if compgen -G "fuzz/regressions/$target/*" > /dev/null; then
    echo "=== $target: replaying fuzz/regressions/$target"
    "$binary" -timeout=10 fuzz/regressions/"$target"/*
  fi
  rm -rf "${work:?}/$target"
  mkdir -p "$work/$target"
  cp fuzz/corpus/"$target"/* "$work/$target/"
  echo "=== $target: fuzzing for $seconds s"
  "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 -print_final_stats=1 \
    -artifact_prefix="$work/$target-" "$work/$target" > "$work/$target.log" 2>&1 || {
    tail -60 "$work/$target.log"
    echo "=== $target: FAILED (input kept under $work/$target-*)"
    exit 1
  }
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/$target.log" || true
done
echo "=== fuzz: ${#targets[@]} targets clean"
