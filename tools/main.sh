#!/usr/bin/env bash
# Sets everything up and shapes a built-in default: a mixed Latin and Arabic
# text in DejaVu Sans, through the bundled backend, with the tesvo-shape command.
# Prints the JSON result and writes the trace report (build/demo-report.html, or
# the path given as the first argument), saying where it is.
set -euo pipefail
# Setup talks on standard error, so that standard output is the JSON result alone.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" >&2
cd /
exec "$VENV/bin/python" "$ROOT/tools/demo.py" "$@"
