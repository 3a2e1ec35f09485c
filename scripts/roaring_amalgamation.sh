#!/usr/bin/env bash
# Fetches CRoaring's amalgamated roaring.c and roaring.h, as the source distribution of the PyPI
# package pyroaring bundles them, into DEST (for -DVOSTREL_ROARING_AMALGAMATION=DEST). Nothing is
# built: pip downloads and unpacks the sdist and is then stopped before it would build anything.
# Usage: roaring_amalgamation.sh DEST [pyroaring-version]   (1.1.0 bundles CRoaring 4.6.1)
# The Python whose pip is used: $PYTHON, else python3.
set -euo pipefail
dest="${1:?usage: roaring_amalgamation.sh DEST [pyroaring-version]}"
version="${2:-1.1.0}"
python="${PYTHON:-python3}"

# The files of the default version, pinned: another download is refused.
pinned_sha256() {  # version/file
  case "$1" in
    1.1.0/roaring.c) echo fe746a687145d0d5dba9c5355dc63dd8a7beeda991982d3d6c215f8ae9512940 ;;
    1.1.0/roaring.h) echo be61bab1ed933988e2f9ccdf2a08ee90993266fc187d980f69c90a6bc3842b3a ;;
  esac
}
sha256() { if command -v sha256sum >/dev/null; then sha256sum "$1"; else shasum -a 256 "$1"; fi | cut -d' ' -f1; }

matches_pin() {  # folder, file: the file is there and, for a pinned version, has the pinned hash
  local want
  [ -f "$1/$2" ] || return 1
  want="$(pinned_sha256 "$version/$2")"
  [ -z "$want" ] || [ "$(sha256 "$1/$2")" = "$want" ]
}
if [ -f "$dest/.pyroaring-$version" ] && matches_pin "$dest" roaring.c && matches_pin "$dest" roaring.h; then
  exit 0
fi

mkdir -p "$dest"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/tmp" "$scratch/dl"
echo "roaring_amalgamation: fetching the pyroaring $version source distribution (CRoaring's amalgamation)"
# pip unpacks the sdist into a temporary folder of its own, then asks pyroaring's build backend for
# its metadata. Without build isolation it asks the backend in this interpreter instead of setting up
# a build environment (which would build Cython from source): where the interpreter's setuptools
# cannot answer (a plain venv has none, or one without bdist_wheel), pip stops at once, and
# --no-clean keeps the unpacked folder, found through TMPDIR; where it can, pip saves the sdist.
for attempt in 1 2 3; do
  if TMPDIR="$scratch/tmp" "$python" -m pip download -q --no-deps --no-clean \
    --no-binary :all: --no-build-isolation "pyroaring==$version" -d "$scratch/dl" \
    >"$scratch/log" 2>&1; then
    :  # the backend was content with what it found: the sdist itself is in dl/
  fi
  found="$(find "$scratch" -path '*/pyroaring/roaring.c' -print -quit)"
  if [ -z "$found" ]; then
    sdist="$(find "$scratch/dl" -name "pyroaring-$version.tar.gz" -print -quit)"
    if [ -n "$sdist" ]; then
      tar xzf "$sdist" -C "$scratch/dl"
      found="$(find "$scratch/dl" -path '*/pyroaring/roaring.c' -print -quit)"
    fi
  fi
  [ -n "$found" ] && break
  echo "roaring_amalgamation: attempt $attempt found no roaring.c; pip said:" >&2
  tail -n 5 "$scratch/log" >&2
  sleep 5
done
if [ -z "${found:-}" ]; then
  echo "roaring_amalgamation: could not fetch pyroaring $version's source distribution" >&2
  exit 1
fi
src="$(dirname "$found")"
for f in roaring.c roaring.h; do
  if ! matches_pin "$src" "$f"; then
    echo "roaring_amalgamation: $f of pyroaring $version has sha256 $(sha256 "$src/$f")," \
      "expected $(pinned_sha256 "$version/$f")" >&2
    exit 1
  fi
  cp "$src/$f" "$dest/$f"
done
touch "$dest/.pyroaring-$version"
echo "roaring_amalgamation: CRoaring $(sed -n 's/^#define ROARING_VERSION *"\(.*\)".*/\1/p' "$dest/roaring.h" | head -n 1) in $dest"
