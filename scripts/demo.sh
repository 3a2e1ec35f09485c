#!/usr/bin/env bash
# Builds Vostrel into .venv and runs the demo (examples/demo.py; arguments go to it: --n N, --help).
# On a fresh Debian machine it first installs what the build needs (see setup.sh).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" build
cd "$ROOT"
say "demo: building Vostrel and installing it into .venv (pip install .)"
run_long build/logs/demo-install.log "$PY" -m pip install -v --disable-pip-version-check \
  --no-build-isolation .
say "demo: running examples/demo.py $*"
exec "$PY" examples/demo.py "$@"
