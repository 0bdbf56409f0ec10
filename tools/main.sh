#!/usr/bin/env bash
# Sets everything up and shapes a built-in default: a mixed Latin and Arabic
# text in DejaVu Sans, through the bundled backend. Prints the JSON result.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd /
exec "$VENV/bin/python" "$ROOT/tools/demo.py" "$@"
