#!/usr/bin/env bash
# Builds and runs every test suite, with compiler warnings as errors: the C++ core suite (also under
# AddressSanitizer and UndefinedBehaviorSanitizer, and against CRoaring 4.x), a short fuzzing run of
# the B-tree and the id set, the Python suite against the wheel that wheel.sh builds (and against a
# sanitized build, with leak detection), the type stubs, the benchmark's own checks, and the wheel
# installed into a clean virtual environment.
# Every suite runs even when an earlier one failed. The run ends with a line per suite and one line
# "N passed, M failed" over all of them, and exits non-zero when anything failed. Full logs are in
# build/test-logs/.
# Usage: test.sh [SUITE ...]   runs only the named suites (cpp cpp_asan cpp_roaring4 fuzz pytest types
#                              pytest_asan bench wheel; types and wheel use what pytest installs)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" test
cd "$ROOT"
export VOSTREL_WERROR=ON
LOGS=build/test-logs
rm -rf "$LOGS"
mkdir -p "$LOGS"
RUN_START=$SECONDS

# ---- the suites; each runs in a subshell with -e, and prints what the summary counts:
# CTest's and pytest's summary lines, libFuzzer verdicts and "check: NAME: ok|FAILED" lines.

cpp_suite() {  # build dir, extra cmake flags...
  local dir="$1"; shift
  say "building the C++ suites in $dir"
  build() {
    cmake -S . -B "$dir" -G Ninja -DVOSTREL_BUILD_MODULE=OFF -DVOSTREL_BUILD_TESTS=ON \
      -DVOSTREL_WERROR=ON -DPython_EXECUTABLE="$PY" "$@"
    cmake --build "$dir" -j 2
  }
  run_long "$dir/build.log" build "$@"
  say "running them"
  run_ctest "$dir" "$dir/ctest.log"
}

# Runs pytest with its output in LOG and prints its summary line and any failures. PYTEST_ENV
# (VAR=value ...) is pytest's environment, and only pytest's.
PYTEST_ENV=()
run_pytest() {  # log, pytest arguments...
  local log="$1" rc=0; shift
  RUN_LONG_TAIL=0 run_long "$log" env "${PYTEST_ENV[@]}" "$PY" -m pytest -q -p no:cacheprovider "$@" || rc=$?
  if [ "$rc" -ne 0 ]; then
    # The failed tests, or else (a crash, a leak report at exit) the end of the output.
    if grep -q 'short test summary info' "$log"; then sed -n '/short test summary info/,$p' "$log" | head -n 40
    else tail -n 25 "$log"; fi
    say "   full output: $log"
  fi
  tail -n 1 "$log"
  return "$rc"
}

suite_cpp() { cpp_suite build/cpp -DCMAKE_BUILD_TYPE=RelWithDebInfo; }

suite_cpp_asan() {
  export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  cpp_suite build/cpp-asan -DCMAKE_BUILD_TYPE=Debug -DVOSTREL_SANITIZE=ON
}

suite_cpp_roaring4() { bash scripts/check_roaring.sh 1.1.0; }

suite_fuzz() { bash scripts/fuzz.sh 30; }

# The Python suite runs against the wheel that users install (CRoaring 4.6.1 compiled in); the
# sanitized run below uses the system CRoaring.
suite_pytest() {
  bash scripts/wheel.sh dist
  say "installing the wheel into .venv"
  "$PY" -m pip install -q --disable-pip-version-check --no-index --no-deps --force-reinstall dist/[Vv]ostrel-*.whl
  say "running tests/python"
  cd tests && run_pytest "$ROOT/$LOGS/pytest-run.log" python
}

suite_types() {
  local rc=0
  say "stubtest: Vostrel.pyi against the installed module"
  if (cd tests && "$PY" -m mypy.stubtest Vostrel --allowlist stubtest_allowlist.txt) >"$LOGS/stubtest.log" 2>&1
  then say "check: stubtest: ok"; else cat "$LOGS/stubtest.log"; say "check: stubtest: FAILED"; rc=1; fi
  say "mypy --strict: examples/typed_usage.py passes, each misuse in tests/typing/misuses.py is rejected"
  if "$PY" tests/typing/check_misuses.py >"$LOGS/mypy.log" 2>&1
  then say "check: mypy --strict: ok ($(tail -1 "$LOGS/mypy.log"))"; else cat "$LOGS/mypy.log"; say "check: mypy --strict: FAILED"; rc=1; fi
  return "$rc"
}

suite_pytest_asan() {
  say "building the module with ASan+UBSan in build/py-asan"
  build() {
    cmake -S . -B build/py-asan -G Ninja -DVOSTREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
      -DVOSTREL_WERROR=ON -DPython_EXECUTABLE="$PY"
    cmake --build build/py-asan -j 2
  }
  run_long build/py-asan/build.log build
  say "running tests/python against it"
  # The interpreter itself is not instrumented, so the runtime is preloaded (with libstdc++, so that
  # the runtime can intercept C++ throws). PYTHONMALLOC=malloc puts the interpreter's objects on the
  # checked heap: in its own arenas, which the leak checker does not scan, everything our objects
  # own would look leaked at exit, and overruns of host objects would go unseen. The leak check
  # runs at the exit of the suite and of the stress test's child; the suppressions name only the
  # interpreter's own functions, never a module, since every stack through our code also passes
  # through the interpreter's frames. The stress test runs for a shorter time here.
  cd tests
  PYTEST_ENV=(
    LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libstdc++.so)"
    PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=1
    LSAN_OPTIONS="suppressions=$ROOT/tests/lsan_python.supp"
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 VOSTREL_STRESS_SECONDS=6
    PYTHONPATH="$ROOT/build/py-asan" VOSTREL_EXPECT_BUILD="$ROOT/build/py-asan"
  )
  run_pytest "$ROOT/$LOGS/pytest-asan-run.log" python -x
}

suite_bench() {
  local rc=0
  say "the benchmark's own checks (tests of bench/)"
  run_pytest "$LOGS/bench-checks-run.log" bench/test_bench.py || rc=1
  say "smoke run of the benchmark (N=2000; peers that are not installed are reported as such)"
  if run_long "$LOGS/bench-smoke-run.log" "$PY" -m bench.run --smoke --out build/bench-smoke; then
    say "check: benchmark smoke run (results in build/bench-smoke): ok"
  else
    say "check: benchmark smoke run: FAILED"
    rc=1
  fi
  return "$rc"
}

suite_wheel() {
  local wheels=(dist/[Vv]ostrel-*.whl)
  if [ ! -f "${wheels[0]}" ]; then say "check: a wheel was built: FAILED"; return 1; fi
  bash scripts/check_wheel.sh "${wheels[0]}"
}

# ---- running and counting

SUITE_NAMES=() SUITE_LINES=()
TOTAL_PASSED=0 TOTAL_FAILED=0 TOTAL_SKIPPED=0

# Counts what a suite's output reports: "passed failed skipped".
count_results() {  # log
  awk '
    /^[0-9]+% tests? passed(, [0-9]+ tests? failed)? out of [0-9]+/ {
      f = ($3 == "passed,") ? $4 : 0; t = $NF; passed += t - f; failed += f }
    /^(=+ )?[0-9]+ (passed|failed|errors?|skipped|deselected|xfailed|xpassed)/ &&
    / in [0-9.]+s( \([0-9:]+\))?( =+)?$/ {
      line = $0
      while (match(line, /[0-9]+ (passed|failed|errors?|skipped|deselected|xfailed|xpassed)/)) {
        n = substr(line, RSTART, RLENGTH); split(n, w, " ")
        if (w[2] == "passed" || w[2] == "xfailed" || w[2] == "xpassed") passed += w[1]
        else if (w[2] == "skipped" || w[2] == "deselected") skipped += w[1]
        else failed += w[1]
        line = substr(line, RSTART + RLENGTH)
      } }
    /^fuzz_[A-Za-z0-9_]+: .*, no finding$/ { passed++ }
    /^fuzz_[A-Za-z0-9_]+: .*, FINDING$/ { failed++ }
    /^check: .*: ok$/ { passed++ }
    /^check: .*: FAILED$/ { failed++ }
    END { printf "%d %d %d\n", passed, failed, skipped }' "$1"
}

duration() { printf '%dm %02ds' $(($1 / 60)) $(($1 % 60)); }

ONLY=("$@")
for s in "${ONLY[@]}"; do
  if ! declare -F "suite_$s" >/dev/null; then echo "test.sh: no suite named $s" >&2; exit 2; fi
done
suite() {  # name, function
  local name="$1" fn="$2" log="$LOGS/$2.log" start=$SECONDS rc passed failed skipped note=""
  if [ ${#ONLY[@]} -gt 0 ] && [[ " ${ONLY[*]} " != *" ${fn#suite_} "* ]]; then return 0; fi
  printf '\n== %s ==\n' "$name"
  ( set -euo pipefail; "$fn" ) 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  read -r passed failed skipped < <(count_results "$log")
  if [ "$rc" -ne 0 ] && [ "$failed" -eq 0 ]; then
    failed=1 note=" (stopped with exit status $rc before its tests reported)"
  elif [ "$rc" -eq 0 ] && [ $((passed + failed)) -eq 0 ]; then
    failed=1 note=" (ran no test)"
  fi
  TOTAL_PASSED=$((TOTAL_PASSED + passed)) TOTAL_FAILED=$((TOTAL_FAILED + failed))
  TOTAL_SKIPPED=$((TOTAL_SKIPPED + skipped))
  local line
  line="$(printf '%-38s %5d passed, %d failed' "$name" "$passed" "$failed")"
  [ "$skipped" -gt 0 ] && line+=", $skipped skipped"
  line+="  ($(duration $((SECONDS - start))))$note"
  say "-- $line"
  SUITE_NAMES+=("$name") SUITE_LINES+=("$line")
}

set +e
suite "C++ core" suite_cpp
suite "C++ core under ASan+UBSan" suite_cpp_asan
suite "C++ core against CRoaring 4.x" suite_cpp_roaring4
suite "fuzzing (B-tree, id set)" suite_fuzz
suite "pytest (the wheel's module)" suite_pytest
suite "stubtest and mypy" suite_types
suite "pytest under ASan+UBSan and LSan" suite_pytest_asan
suite "benchmark checks" suite_bench
suite "the wheel in a clean venv" suite_wheel

printf '\n== Summary (%s; logs in %s) ==\n' "$(duration $((SECONDS - RUN_START)))" "$LOGS"
printf '%s\n' "${SUITE_LINES[@]}"
final="$TOTAL_PASSED passed, $TOTAL_FAILED failed"
[ "$TOTAL_SKIPPED" -gt 0 ] && final+=", $TOTAL_SKIPPED skipped"
say "$final"
[ "$TOTAL_FAILED" -eq 0 ]
