#!/usr/bin/env bash
# Builds the C++ benchmarks in Release (build/bench) and runs the ranged B-tree benchmark.
# Arguments are passed to the benchmark (the key count, default 1000000).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVOSTREL_BUILD_BENCH=ON -DVOSTREL_BUILD_MODULE=OFF -DVOSTREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build/bench" --target bench_ranged_b_tree
"$root/build/bench/bench_ranged_b_tree" "$@"
