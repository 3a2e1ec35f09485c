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

if [ ! -x "$VENV/bin/python" ]; then
  python3 -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
"$VENV/bin/python" -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" cmake ninja "pytest>=7" "hypothesis>=6" "mypy>=1.18"

export PATH="$VENV/bin:$PATH"
PY="$VENV/bin/python"
