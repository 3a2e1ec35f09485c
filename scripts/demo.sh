#!/usr/bin/env bash
# Builds Vostrel and runs the demo.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$ROOT"
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation .
"$PY" examples/demo.py "$@"
