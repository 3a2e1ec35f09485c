#!/usr/bin/env bash
# Runs the C++ core suite against a current CRoaring release as well as the system one.
# The release's amalgamated roaring.c/roaring.h are taken from the source distribution of a PyPI
# package that bundles them (pyroaring), unpacked under build/ and never committed.
# Usage: check_roaring.sh [pyroaring-version]   (1.1.0 bundles CRoaring 4.6.1)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$ROOT"
version="${1:-1.1.0}"
src="build/roaring-src/pyroaring-$version"
if [ ! -f "$src/pyroaring/roaring.c" ]; then
  mkdir -p build/roaring-src
  for attempt in 1 2 3; do
    "$PY" -m pip download -q --disable-pip-version-check --no-deps --no-binary :all: \
      "pyroaring==$version" -d build/roaring-src && break
    sleep 5
  done
  tar xzf "build/roaring-src/pyroaring-$version.tar.gz" -C build/roaring-src
fi
grep -m1 'define ROARING_VERSION ' "$src/pyroaring/roaring.h"
dir="build/cpp-roaring-$version"
cmake -S . -B "$dir" -G Ninja -DVOSTREL_BUILD_MODULE=OFF -DVOSTREL_BUILD_TESTS=ON \
  -DVOSTREL_ROARING_AMALGAMATION="$ROOT/$src/pyroaring" >/dev/null
cmake --build "$dir" -j "$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
