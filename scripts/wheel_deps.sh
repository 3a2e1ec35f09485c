#!/usr/bin/env bash
# Prepares a wheel build machine for cibuildwheel (scripts/wheel.sh is the local equivalent):
# CRoaring's amalgamated source, compiled statically into the module, and Boost >= 1.81 headers.
# Usage: wheel_deps.sh DEST   (DEST/croaring gets roaring.c/roaring.h, DEST/boost the headers)
set -euo pipefail
dest="${1:?destination directory}"
bash "$(dirname "${BASH_SOURCE[0]}")/roaring_amalgamation.sh" "$dest/croaring" 1.1.0
# Boost headers: from the platform when new enough, else from an archive named by BOOST_ARCHIVE_URL.
if command -v apk >/dev/null; then apk add --no-cache boost-dev
elif command -v brew >/dev/null; then brew install boost
elif [ -n "${BOOST_ARCHIVE_URL:-}" ]; then
  mkdir -p "$dest/boost" && curl -fsSL "$BOOST_ARCHIVE_URL" | tar xz -C "$dest/boost" --strip-components=1
else
  echo "wheel_deps.sh: set BOOST_ARCHIVE_URL to a Boost >= 1.81 source archive" >&2; exit 1
fi
