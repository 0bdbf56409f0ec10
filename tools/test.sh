#!/usr/bin/env bash
# Sets everything up and runs every test: the C++ unit tests (built with
# AddressSanitizer and UndefinedBehaviorSanitizer) and the Python tests.
set -euo pipefail
# The report test drives a real browser; mypy checks the type stub; the
# backend tests use a font collection, a font without GDEF and a variable font; the report test a
# colour bitmap font without outlines; the glyph-name tests a CFF font that is not CID-keyed;
# the serve tests drive Chromium through Selenium and Debian's chromium-driver (never a download),
# with the server's Starlette and uvicorn and HarfRust's pyharfrust2; the break tests compare with
# ICU's own break iterators through PyICU (built from source against the system ICU, about 90 s).
EXTRA_APT_PACKAGES=(chromium chromium-driver fonts-noto-cjk fonts-dejavu-extra fonts-noto-color-emoji
  fonts-inter-variable fonts-cantarell)
EXTRA_PIP_PACKAGES=(mypy uharfbuzz starlette uvicorn pyharfrust2 selenium pyicu)
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$ROOT"
export PATH="$VENV/bin:$PATH"
JOBS="$(nproc)"

echo "== C++ unit tests (sanitizers)"
cmake -S . -B build/tests-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DTESVO_BUILD_TESTS=ON -DTESVO_SANITIZE=ON -DTESVO_BUILD_MODULE=OFF >/dev/null
cmake --build build/tests-asan -j "$JOBS"
(cd build/tests-asan && ctest --output-on-failure -j "$JOBS")

echo "== test backends for the Python tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESVO_BUILD_TESTS=ON -DTESVO_BUILD_MODULE=OFF >/dev/null
cmake --build build/tests -j "$JOBS"

echo "== Python tests"
export TESVO_TEST_BACKENDS_DIR="$ROOT/build/tests/tests/backends"
"$VENV/bin/python" -m pytest tests/python -q -p no:cacheprovider
