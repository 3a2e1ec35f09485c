#!/usr/bin/env bash
# Prepares a fresh Debian machine for building Vostrel: system packages and a virtual environment.
# Sourced by demo.sh and test.sh; safe to run again (it installs only what is missing).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for pkg in libroaring-dev libgtest-dev g++ python3-venv; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
have_boost() {  # Boost >= 1.81 headers from Debian's packages
  dpkg -s libboost1.81-dev >/dev/null 2>&1 && return 0
  dpkg -s libboost-dev >/dev/null 2>&1 &&
    dpkg --compare-versions "$(dpkg-query -W -f='${Version}' libboost-dev)" ge 1.81
}
if [ ${#missing[@]} -gt 0 ] || ! have_boost; then
  as_root apt-get update -qq
  if ! have_boost; then
    # Debian 12 ships Boost 1.81 as libboost1.81-dev; later releases as libboost-dev.
    if apt-cache show libboost1.81-dev >/dev/null 2>&1; then missing+=(libboost1.81-dev)
    else missing+=(libboost-dev); fi
  fi
  pkgs=()
  for p in "${missing[@]}"; do
    # A Python that is not Debian's brings venv itself.
    if [ "$p" = python3-venv ] && python3 -m venv --help >/dev/null 2>&1; then continue; fi
    pkgs+=("$p")
  done
  if [ ${#pkgs[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${pkgs[@]}" >/dev/null
  fi
fi

# A Debian package that the archive can install (a name that is only mentioned, or only provided by
# another package, does not count).
apt_has() { apt-cache show "$1" 2>/dev/null | grep -c '^Package:' >/dev/null; }

# The fuzzing toolchain, installed only when fuzzing asks for it: clang with its libFuzzer and
# sanitizer runtimes. The core needs clang 15 or later (std::source_location with libstdc++);
# Debian 12 and 13 both ship clang-19. Sets FUZZ_CC and FUZZ_CXX.
FUZZ_CLANG_VERSIONS=(19 18 17 16 15)
setup_fuzz_toolchain() {
  local v
  for v in "${FUZZ_CLANG_VERSIONS[@]}"; do
    if command -v "clang++-$v" >/dev/null && dpkg -s "libclang-rt-$v-dev" >/dev/null 2>&1; then
      FUZZ_CC="clang-$v" FUZZ_CXX="clang++-$v"
      return 0
    fi
  done
  as_root apt-get update -qq
  for v in "${FUZZ_CLANG_VERSIONS[@]}"; do
    if apt_has "clang-$v" && apt_has "libclang-rt-$v-dev"; then
      DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "clang-$v" "libclang-rt-$v-dev" >/dev/null
      FUZZ_CC="clang-$v" FUZZ_CXX="clang++-$v"
      return 0
    fi
  done
  echo "setup: no clang ${FUZZ_CLANG_VERSIONS[*]} with its fuzzer runtime among the Debian packages" >&2
  return 1
}

if [ ! -x "$VENV/bin/python" ]; then
  python3 -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
"$VENV/bin/python" -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" cmake ninja "pytest>=7" "hypothesis>=6" "mypy>=1.18"

export PATH="$VENV/bin:$PATH"
PY="$VENV/bin/python"
