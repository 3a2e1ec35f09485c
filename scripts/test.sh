#!/usr/bin/env bash
# Builds and runs every test: the C++ core suite and the Python suite, each also under
# AddressSanitizer and UndefinedBehaviorSanitizer, and a short fuzzing run of the B-tree and the
# id set. Exits non-zero when any test fails.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$ROOT"
JOBS="$(nproc)"

step() { printf '\n== %s ==\n' "$*"; }

cpp_suite() {  # build dir, extra cmake flags...
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja -DVOSTREL_BUILD_MODULE=OFF -DVOSTREL_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  ctest --test-dir "$dir" --output-on-failure -j "$JOBS"
}

step "C++ core tests"
cpp_suite build/cpp -DCMAKE_BUILD_TYPE=RelWithDebInfo

step "C++ core tests under ASan+UBSan"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  cpp_suite build/cpp-asan -DCMAKE_BUILD_TYPE=Debug -DVOSTREL_SANITIZE=ON

step "C++ core tests against CRoaring 4.x"
bash scripts/check_roaring.sh 1.1.0

step "Fuzzing the B-tree and the id set"
bash scripts/fuzz.sh 30

step "Python package build and tests"
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps .
(cd tests && "$PY" -m pytest python -q -p no:cacheprovider)

step "Type stubs against the built module, and a typed example"
(cd tests && "$PY" -m mypy.stubtest Vostrel --allowlist stubtest_allowlist.txt)
"$PY" -m mypy --strict --no-incremental examples/typed_usage.py

step "Python tests against the ASan+UBSan module, with leak detection"
cmake -S . -B build/py-asan -G Ninja -DVOSTREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
  -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build build/py-asan -j "$JOBS"
# The interpreter itself is not instrumented, so the runtime is preloaded (with libstdc++, so that
# the runtime can intercept C++ throws). PYTHONMALLOC=malloc puts the interpreter's objects on the
# checked heap: in its own arenas, which the leak checker does not scan, everything our objects
# own would look leaked at exit, and overruns of host objects would go unseen. The leak check
# runs at the exit of the suite and of the stress test's child; the suppressions name only the
# interpreter's own functions, never a module, since every stack through our code also passes
# through the interpreter's frames. The stress test runs for a shorter time here.
(cd tests && LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libstdc++.so)" \
  PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=1 \
  LSAN_OPTIONS="suppressions=$ROOT/tests/lsan_python.supp" \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 VOSTREL_STRESS_SECONDS=6 \
  PYTHONPATH="$ROOT/build/py-asan" VOSTREL_EXPECT_BUILD="$ROOT/build/py-asan" \
  "$PY" -m pytest python -q -p no:cacheprovider -x)

step "Benchmark checks and smoke run (N=2000; peers that are not installed are reported as such)"
"$PY" -m pytest bench/test_bench.py -q -p no:cacheprovider
"$PY" -m bench.run --smoke --out build/bench-smoke
