#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (in build/fuzz) and runs each for a bounded
# time, starting from its committed seed corpus copied to a scratch folder so that the repo stays
# untouched. Exits non-zero when any target finds a crash, a leak, a hang or a model mismatch.
# Usage: fuzz.sh [seconds per target, default 60]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" build
setup_fuzz_toolchain
cd "$ROOT"

seconds="${1:-60}"
case "$seconds" in '' | *[!0-9]*) echo "usage: fuzz.sh [seconds per target]" >&2; exit 2 ;; esac
build=build/fuzz
# Inputs up to this size: a few thousand operations, enough to grow trees three levels deep.
max_len=4096
# An input that runs this long is a hang. The slowest take a second or two of CPU, but the limit
# is wall-clock time, which a loaded machine stretches many times over.
timeout_s=300

say "fuzz: building the fuzz targets with $FUZZ_CXX in $build"
build_targets() {
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOSTREL_BUILD_MODULE=OFF \
    -DVOSTREL_BUILD_TESTS=OFF -DVOSTREL_BUILD_FUZZ=ON -DVOSTREL_WERROR="${VOSTREL_WERROR:-OFF}" \
    -DCMAKE_C_COMPILER="$FUZZ_CC" -DCMAKE_CXX_COMPILER="$FUZZ_CXX"
  cmake --build "$build" --target vostrel_fuzz -j 2
}
run_long "$build/build.log" build_targets

status=0
for src in tests/fuzz/fuzz_*.cpp; do
  target="$(basename "$src" .cpp)"
  scratch="$build/run/$target"
  rm -rf "$scratch"
  mkdir -p "$scratch/corpus" "$scratch/artifacts"
  if [ -d "tests/fuzz/corpus/$target" ]; then cp -R "tests/fuzz/corpus/$target/." "$scratch/corpus/"; fi
  log="$scratch/log"
  say "fuzz: running $target for $seconds s"
  if RUN_LONG_TAIL=0 run_long "$log" env ASAN_OPTIONS=detect_leaks=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/$target" "$scratch/corpus" -max_total_time="$seconds" -max_len="$max_len" \
    -timeout="$timeout_s" -print_final_stats=1 -artifact_prefix="$scratch/artifacts/"; then
    verdict="no finding"
  else
    verdict="FINDING"
    status=1
  fi
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  printf '%s: %s executions (limit %s s), %s\n' "$target" "${execs:-?}" "$seconds" "$verdict"
  if [ "$verdict" = FINDING ]; then
    grep -E 'fuzz finding|ERROR|SUMMARY|Test unit written' "$log" | sed 's/^/  /' || tail -n 40 "$log"
    for artifact in "$scratch"/artifacts/*; do
      [ -e "$artifact" ] && echo "  reproduce: $build/$target $artifact"
    done
    echo "  full log: $log"
  fi
done
exit "$status"
