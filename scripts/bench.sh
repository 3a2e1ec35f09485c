#!/usr/bin/env bash
# Runs the benchmark: builds Vostrel, installs the peers of the `bench` extra into .venv and runs
# bench/ (results in bench/results/). Arguments go to the suite: --n N ..., --smoke, --no-memory,
# --systems NAME ... (only those systems, results in build/bench-quick/), --memory-10m (also memory
# at 10M records for the hand index and Vostrel, about 20 GiB; skipped with a note when it does not fit).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" build
cd "$ROOT"
pip_install() { run_long build/logs/bench-pip.log "$PY" -m pip install -v --disable-pip-version-check "$@"; }
say "bench: building Vostrel and installing it into .venv (pip install .)"
pip_install --no-build-isolation .
mkdir -p build/bench
# BTrees 4 (for ducks) is built from source with a setuptools that still has pkg_resources.
echo 'setuptools<80' > build/bench/build-constraints.txt
say "bench: installing the peers of the bench extra into .venv (the first time: a few minutes)"
mapfile -t peers < <("$PY" -c 'import tomllib; print("\n".join(
    tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["bench"]))')
if ! pip_install --build-constraint build/bench/build-constraints.txt "${peers[@]}"; then
  # one peer that cannot be installed here leaves the others; the suite reports the missing ones
  for p in "${peers[@]}"; do
    pip_install --build-constraint build/bench/build-constraints.txt "$p" || echo "bench: could not install $p" >&2
  done
fi
say "bench: running bench.run $*"
"$PY" -m bench.run "$@"
