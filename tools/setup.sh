#!/usr/bin/env bash
# Installs what the project needs on a Debian 12 or 13 machine (as root) and builds
# the module into a virtual environment at .venv. Sourced by main.sh and test.sh.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

APT_PACKAGES=(g++ make cmake ninja-build pkg-config binutils python3-dev python3-venv
  libharfbuzz-dev libicu-dev libharfbuzz-bin
  googletest libgtest-dev unicode-data fonts-noto-core fonts-dejavu-core)
# Callers may add packages; an unset or empty list adds nothing (not one empty name).
APT_PACKAGES+=(${EXTRA_APT_PACKAGES[@]+"${EXTRA_APT_PACKAGES[@]}"})

source "$ROOT/tools/apt_need.sh"
apt_need "${APT_PACKAGES[@]}"

if [ ! -x "$VENV/bin/python" ]; then
  echo "== creating $VENV"
  python3 -m venv "$VENV"
fi
PIP_PACKAGES=(scikit-build-core cmake ninja numpy pytest hypothesis jinja2)
PIP_PACKAGES+=(${EXTRA_PIP_PACKAGES[@]+"${EXTRA_PIP_PACKAGES[@]}"})
"$VENV/bin/pip" install -q --disable-pip-version-check "${PIP_PACKAGES[@]}"

echo "== building and installing the module"
"$VENV/bin/pip" install -q --disable-pip-version-check --no-build-isolation "$ROOT"
