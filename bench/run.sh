#!/usr/bin/env bash
# Sets up and runs the benchmark suite of _tesvo (bench/suite.py), printing every
# figure against its target. On Debian 12 as root; takes about 7 minutes.
#
#   bash bench/run.sh            # the whole suite
#   bash bench/run.sh --quick    # fewer rounds
#   bash bench/run.sh --only short long    # some sections (see suite.py --help)
#   bash bench/run.sh --api [--quick] [--only words cjk batch memory] [--batch-before CMD...]
#   bash bench/run.sh --binding [--quick] [--only cost memory json long many] [--before SITE]
#                                # the package against uharfbuzz (bench/binding.py)
#                                # the tesvo package's benchmarks instead (bench/api.py)
#
# It installs what it needs with apt-get, makes its own virtual environment at
# build/bench/venv with uharfbuzz and fontTools from PyPI, builds and installs the
# module there with `pip install .` in Release (symbols kept, for bench/profile.sh),
# and builds bench/hb_floor.cpp against the system HarfBuzz the backend uses (and
# bench/bidi_floor.cpp against its ICU).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="$ROOT/build/bench"
VENV="$OUT/venv"

APT_PACKAGES=(g++ cmake ninja-build pkg-config python3-venv libharfbuzz-dev libicu-dev
  fonts-noto-core fonts-noto-cjk libharfbuzz-bin)
source "$ROOT/tools/apt_need.sh"
apt_need "${APT_PACKAGES[@]}"

mkdir -p "$OUT"
if [ ! -x "$VENV/bin/python" ]; then
  echo "== creating $VENV"
  python3 -m venv "$VENV"
fi
echo "== installing uharfbuzz and fontTools, building the module (Release)"
pip_install() {  # quietly, without the notes about package index locations this machine has
  "$VENV/bin/pip" install -q --disable-pip-version-check "$@" 2> >(grep -v '^WARNING: Location' >&2)
}
pip_install scikit-build-core cmake ninja uharfbuzz fonttools
pip_install --no-build-isolation \
  --config-settings=build-dir="$OUT/wheel" \
  --config-settings=cmake.build-type=Release \
  --config-settings=install.strip=false \
  "$ROOT"

echo "== building hb_floor"
g++ -O2 -std=c++20 -o "$OUT/hb_floor" "$ROOT/bench/hb_floor.cpp" $(pkg-config --cflags --libs harfbuzz)
g++ -O2 -std=c++20 -o "$OUT/bidi_floor" "$ROOT/bench/bidi_floor.cpp" $(pkg-config --cflags --libs icu-uc)

cd "$OUT"  # not the source tree: the installed module is the one imported
if [ "${1:-}" = "--binding" ]; then
  shift
  PYTHONPATH="$ROOT/bench" exec "$VENV/bin/python" "$ROOT/bench/binding.py" --floor "$OUT/hb_floor" "$@"
fi
if [ "${1:-}" = "--api" ]; then
  shift
  PYTHONPATH="$ROOT/bench" exec "$VENV/bin/python" "$ROOT/bench/api.py" "$@"
fi
exec "$VENV/bin/python" "$ROOT/bench/suite.py" --floor "$OUT/hb_floor" "$@"
