#!/usr/bin/env bash
# Runs the C++ core suite against a current CRoaring release as well as the system one.
# The release's amalgamated roaring.c/roaring.h are taken from the source distribution of a PyPI
# package that bundles them (pyroaring, see roaring_amalgamation.sh), kept under build/ and never
# committed.
# Usage: check_roaring.sh [pyroaring-version]   (1.1.0 bundles CRoaring 4.6.1)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" test
cd "$ROOT"
version="${1:-1.1.0}"
src="$ROOT/build/croaring-$version"
PYTHON="$PY" bash scripts/roaring_amalgamation.sh "$src" "$version"
dir="build/cpp-roaring-$version"
release="$(sed -n 's/^#define ROARING_VERSION *"\(.*\)".*/\1/p' "$src/roaring.h" | head -n 1)"
say "check_roaring: building the C++ suites against CRoaring $release in $dir"
build_suite() {
  cmake -S . -B "$dir" -G Ninja -DVOSTREL_BUILD_MODULE=OFF -DVOSTREL_BUILD_TESTS=ON \
    -DVOSTREL_WERROR="${VOSTREL_WERROR:-OFF}" -DVOSTREL_ROARING_AMALGAMATION="$src"
  cmake --build "$dir" -j 2
}
run_long "$dir/build.log" build_suite
say "check_roaring: running them"
run_ctest "$dir" "$dir/ctest.log"
