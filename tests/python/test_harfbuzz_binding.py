"""The bundled backend shapes and traces with the HarfBuzz it was built against, even in a
process that loaded another HarfBuzz globally first (uharfbuzz carries its own), and refuses
to trace, saying why, when it was opened in a way that bound it to that other copy."""

import subprocess
import sys

import pytest

uharfbuzz = pytest.importorskip("uharfbuzz")

PROBE = r"""
import ctypes, json, sys, uharfbuzz
ctypes.CDLL(uharfbuzz._harfbuzz.__file__, mode=ctypes.RTLD_GLOBAL)
if sys.argv[1] == "plain-dlopen":  # the library opened before tesvo could open it its own way
    import os, tesvo
    ctypes.CDLL(os.path.join(os.path.dirname(os.path.dirname(tesvo.__file__)), "libvantor.so"))
import tesvo
font = tesvo.Font("/usr/share/fonts/truetype/noto/NotoSansDevanagari-Regular.ttf")
try:
    stages = [s.name for s in font.shape("\u0915\u094d\u0937\u093f", trace=True).stages]
except tesvo.ShapeError as e:
    stages = str(e)
print(json.dumps([font.backend_version, uharfbuzz.__harfbuzz_version__ if hasattr(uharfbuzz, "__harfbuzz_version__")
                  else uharfbuzz.version_string(), stages]))
"""


def probe(mode):
    out = subprocess.run([sys.executable, "-c", PROBE, mode], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    import json
    return json.loads(out.stdout)


def test_another_harfbuzz_loaded_globally_changes_nothing():
    import tesvo
    font = tesvo.Font("/usr/share/fonts/truetype/noto/NotoSansDevanagari-Regular.ttf")
    alone = [s.name for s in font.shape("\u0915\u094d\u0937\u093f", trace=True).stages]
    version, theirs, stages = probe("tesvo-opens")
    if theirs in version:
        pytest.skip(f"uharfbuzz carries the same HarfBuzz ({theirs}) as the backend")
    assert version == font.backend_version and stages == alone and len(stages) > 2
    # bound to the other copy by a plain dlopen: the trace is refused, not collapsed
    version, _, refused = probe("plain-dlopen")
    assert isinstance(refused, str) and "libvantor was built against HarfBuzz" in refused
    assert theirs in version
