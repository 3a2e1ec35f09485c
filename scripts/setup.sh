#!/usr/bin/env bash
# Prepares a fresh Debian machine for building Vostrel: system packages and a virtual environment.
# Sourced by the other scripts with what they need: `source setup.sh build` (the compiler, CRoaring,
# Boost, the venv with scikit-build-core, CMake and ninja) or `source setup.sh test` (also
# GoogleTest, pytest, Hypothesis and mypy). Safe to run again: it installs only what is missing.
# Installing Debian packages needs root or sudo. Defines ROOT, VENV, PY and the helpers below.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
SETUP_PROFILE="${1:-test}"
case "$SETUP_PROFILE" in build | test) ;; *) echo "setup.sh: unknown profile $SETUP_PROFILE" >&2; return 2 ;; esac

say() { printf '%s\n' "$*"; }

# Runs a long command with its output in LOG, printing a line every 20 s (with the log's last line)
# so that a long step never looks stuck; prints the log's tail when the command fails (unless
# RUN_LONG_TAIL=0). Returns the command's status.
HEARTBEAT_SECONDS=20
run_long() {  # LOG command...
  local log="$1"; shift
  mkdir -p "$(dirname "$log")"
  "$@" >"$log" 2>&1 </dev/null &
  local pid=$! start=$SECONDS next=$((SECONDS + HEARTBEAT_SECONDS)) rc=0 last
  while kill -0 "$pid" 2>/dev/null; do
    sleep 1
    if [ "$SECONDS" -ge "$next" ] && kill -0 "$pid" 2>/dev/null; then
      last="$(tail -n 1 "$log" 2>/dev/null | tr -d '\r' | cut -c1-100)"
      printf '   ... %3d s  %s\n' "$((SECONDS - start))" "$last"
      next=$((SECONDS + HEARTBEAT_SECONDS))
    fi
  done
  wait "$pid" || rc=$?
  if [ "$rc" -ne 0 ] && [ "${RUN_LONG_TAIL:-1}" != 0 ]; then
    say "   failed (exit status $rc) after $((SECONDS - start)) s; the end of $log:"
    tail -n 40 "$log" | sed 's/^/   | /'
  fi
  return "$rc"
}

# Runs a CTest suite with its output in LOG and prints its summary line ("N% tests passed, F tests
# failed out of T") and the names of the failed tests. Returns ctest's status.
run_ctest() {  # build dir, LOG
  local rc=0
  RUN_LONG_TAIL=0 run_long "$2" ctest --test-dir "$1" --output-on-failure -j 2 || rc=$?
  grep -E '^[0-9]+% tests passed|^No tests were found' "$2" || say "   ctest printed no summary"
  sed -n '/^The following tests FAILED:/,$p' "$2" | head -n 40
  [ "$rc" -eq 0 ] || say "   full output: $2"
  return "$rc"
}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

APT_UPDATED=0
apt_update_once() {
  [ "$APT_UPDATED" -eq 1 ] && return 0
  say "setup: apt-get update (reading Debian's package lists)"
  run_long "$ROOT/build/logs/apt-update.log" as_root apt-get update
  APT_UPDATED=1
}
apt_install() {  # packages...
  say "setup: installing Debian packages: $*"
  run_long "$ROOT/build/logs/apt-install.log" \
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -o Dpkg::Use-Pty=0 "$@"
}
# A Debian package that the archive can install (a name that is only mentioned, or only provided by
# another package, does not count).
apt_has() { apt-cache show "$1" 2>/dev/null | grep -c '^Package:' >/dev/null; }

missing=()
wanted=(g++ libroaring-dev python3-venv)
if [ "$SETUP_PROFILE" = test ]; then wanted+=(libgtest-dev); fi
for pkg in "${wanted[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
# The interpreter's headers (Debian's own python3 keeps them in python3-dev).
if [ ! -f "$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h" ]; then
  missing+=(python3-dev)
fi
have_boost() {  # Boost >= 1.81 headers from Debian's packages
  dpkg -s libboost1.81-dev >/dev/null 2>&1 && return 0
  dpkg -s libboost-dev >/dev/null 2>&1 &&
    dpkg --compare-versions "$(dpkg-query -W -f='${Version}' libboost-dev)" ge 1.81
}
if [ ${#missing[@]} -gt 0 ] || ! have_boost; then
  apt_update_once
  if ! have_boost; then
    # Debian 12 ships Boost 1.81 as libboost1.81-dev; later releases as libboost-dev.
    if apt_has libboost1.81-dev; then missing+=(libboost1.81-dev)
    else missing+=(libboost-dev); fi
  fi
  pkgs=()
  for p in "${missing[@]}"; do
    # A Python that is not Debian's brings venv itself.
    if [ "$p" = python3-venv ] && python3 -m venv --help >/dev/null 2>&1; then continue; fi
    pkgs+=("$p")
  done
  if [ ${#pkgs[@]} -gt 0 ]; then apt_install "${pkgs[@]}"; fi
fi

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
  apt_update_once
  for v in "${FUZZ_CLANG_VERSIONS[@]}"; do
    if apt_has "clang-$v" && apt_has "libclang-rt-$v-dev"; then
      say "setup: the fuzzers need clang with libFuzzer (about 20 packages with LLVM, 1-3 minutes)"
      apt_install "clang-$v" "libclang-rt-$v-dev"
      FUZZ_CC="clang-$v" FUZZ_CXX="clang++-$v"
      return 0
    fi
  done
  echo "setup: no clang ${FUZZ_CLANG_VERSIONS[*]} with its fuzzer runtime among the Debian packages" >&2
  return 1
}

venv_pkgs=("scikit-build-core>=0.10" cmake ninja)
if [ "$SETUP_PROFILE" = test ]; then venv_pkgs+=("pytest>=7" "hypothesis>=6" "mypy>=1.18"); fi
if [ ! -x "$VENV/bin/python" ]; then
  say "setup: creating the virtual environment .venv"
  python3 -m venv "$VENV"
fi
# Only what is missing: a second run asks no registry.
if ! "$VENV/bin/python" - "${venv_pkgs[@]}" <<'EOF' 2>/dev/null
import sys
from importlib.metadata import distribution
from packaging.requirements import Requirement  # scikit-build-core brings packaging
for wanted in sys.argv[1:]:
    req = Requirement(wanted)
    if not req.specifier.contains(distribution(req.name).version, prereleases=True):
        sys.exit(1)
EOF
then
  say "setup: installing into .venv: ${venv_pkgs[*]}"
  run_long "$ROOT/build/logs/venv.log" "$VENV/bin/python" -m pip install --disable-pip-version-check \
    --upgrade pip "${venv_pkgs[@]}"
fi

export PATH="$VENV/bin:$PATH"
PY="$VENV/bin/python"
