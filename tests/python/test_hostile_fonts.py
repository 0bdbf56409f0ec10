"""Fonts built to hurt, with the bundled backend: lookups that keep growing the glyph run,
a substitution too long for HarfBuzz's tracing, and the corpus of HarfBuzz's fuzzing
regressions. Every call runs in a child process with a deadline and a memory cap, so that a
regression fails the test instead of hanging or killing the suite."""

import json
import os
import resource
import runpy
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CORPUS = Path(os.environ.get("TESVO_HOSTILE_FONTS", ROOT.parent / "shared" / "fonts" / "hostile"))

CHILD = r"""
import json, resource, sys, time
import _tesvo
data = open(sys.argv[1], "rb").read()
cpu = time.process_time()
try:
    doc = json.loads(_tesvo.shape_json(data, sys.argv[2], trace=sys.argv[3] == "1"))
    out = {"glyphs": [g["g"] for g in doc["final"]], "stages": len(doc["stages"])}
except RuntimeError as e:
    out = {"error": str(e)}
out["cpu"] = time.process_time() - cpu
out["rss"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps(out))
"""


def shape_in_child(tmp_path, font, text, trace):
    """One call in a child with 10 s and 1.5 GiB of address space; its outcome."""
    def cap():
        resource.setrlimit(resource.RLIMIT_AS, (1536 << 20, 1536 << 20))
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))

    tmp = tmp_path / f"tmp-{trace}"
    tmp.mkdir()
    proc = subprocess.run([sys.executable, "-c", CHILD, str(font), text, "1" if trace else "0"],
                          env=dict(os.environ, TMPDIR=str(tmp)), capture_output=True,
                          timeout=10, preexec_fn=cap)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")[-500:]
    assert list(tmp.iterdir()) == []
    return json.loads(proc.stdout)


def hb_shape_ids(font, text):
    """HarfBuzz's own glyph ids for the text, from hb-shape."""
    if shutil.which("hb-shape") is None:
        pytest.skip("hb-shape is missing (Debian's libharfbuzz-bin)")
    out = subprocess.run(["hb-shape", "--no-glyph-names", "--no-positions", "--no-clusters", str(font), text],
                         capture_output=True, text=True, check=True).stdout
    return [int(g) for g in out.strip().strip("[]").split("|")]


def build_font(path, fea, extra_glyphs=()):
    """A TrueType font with glyphs for l, o and x, and the GSUB of the feature file."""
    fontBuilder = pytest.importorskip("fontTools.fontBuilder")
    from fontTools.feaLib.builder import addOpenTypeFeaturesFromString
    from fontTools.pens.ttGlyphPen import TTGlyphPen

    names = [".notdef", "l", "o", "x", *extra_glyphs]
    fb = fontBuilder.FontBuilder(1000, isTTF=True)
    fb.setupGlyphOrder(names)
    fb.setupCharacterMap({ord(c): c for c in "lox"})
    pen = TTGlyphPen(None)
    pen.moveTo((0, 0))
    pen.lineTo((0, 500))
    pen.lineTo((500, 0))
    pen.closePath()
    fb.setupGlyf({n: pen.glyph() for n in names})
    fb.setupHorizontalMetrics({n: (500, 0) for n in names})
    fb.setupHorizontalHeader(ascent=800, descent=-200)
    fb.setupNameTable({"familyName": "Hostile", "styleName": "Regular"})
    fb.setupOS2()
    fb.setupPost()
    addOpenTypeFeaturesFromString(fb.font, fea)
    fb.save(str(path))
    return path


def chained(lookups, body):
    """A feature of `lookups` chaining contextual lookups, each applying GROW to every o: a
    substitution that feeds itself, the run growing with every pass."""
    rules = "\n".join(f"lookup C{i} {{ sub o' lookup GROW; }} C{i};" for i in range(lookups))
    return f"lookup GROW {{ {body} }} GROW;\nfeature liga {{\n{rules}\n}} liga;"


GROWTH = {
    # 200 lookups, each doubling every o: HarfBuzz stops at its length limit.
    "doubling": (chained(200, "sub o by o o;"), "lol"),
    # 20 lookups, each turning every o into 50.
    "fiftyfold": (chained(20, "sub o by " + " ".join(["o"] * 50) + ";"), "lol"),
    # A longer text, whose limit leaves HarfBuzz a run of 52,000 glyphs.
    "doubling a long text": (chained(20, "sub o by o o;"), "lol" * 400),
}


@pytest.mark.parametrize("name", GROWTH)
def test_growing_lookups_end_at_harfbuzz_limits_fast(tmp_path, name):
    fea, text = GROWTH[name]
    font = build_font(tmp_path / "growing.ttf", fea)
    plain = shape_in_child(tmp_path, font, text, trace=False)
    # HarfBuzz's bounded run, as hb-shape gives it, in a fraction of a second; where that
    # HarfBuzz's limits leave more glyphs than 16-bit log clusters hold, the documented error.
    expected = hb_shape_ids(font, text)
    if len(expected) > 65535:
        assert plain.get("error") == "ScriptShapeOpenType: glyph buffer overflow"
    else:
        assert plain.get("glyphs") == expected, plain.get("error")
    assert plain["cpu"] < 1.0
    assert plain["rss"] < 256 << 20
    traced = shape_in_child(tmp_path, font, text, trace=True)
    assert traced["cpu"] < 1.0
    assert traced["rss"] < 256 << 20
    # Either the trace, or the reason it would be too large or too slow, or the untraced error.
    assert (traced.get("glyphs") == plain.get("glyphs") or traced["error"].startswith("cannot trace this text: ")
            or traced["error"] == plain.get("error"))


@pytest.mark.parametrize("length, extension, traceable", [(1000, "", False), (1000, "useExtension", False),
                                                          (64, "", True)])
def test_substitution_too_long_for_harfbuzz_tracing_is_refused_not_fatal(tmp_path, length, extension, traceable):
    extra = [f"g{i}" for i in range(length)]
    fea = (f"lookup LONG {extension} {{ sub o by {' '.join(extra)}; }} LONG;\n"
           "feature liga { sub l o' lookup LONG; } liga;")
    font = build_font(tmp_path / "long.ttf", fea, extra_glyphs=extra)
    plain = shape_in_child(tmp_path, font, "lol", trace=False)
    assert plain.get("glyphs") == hb_shape_ids(font, "lol")
    traced = shape_in_child(tmp_path, font, "lol", trace=True)
    if traceable:
        assert traced.get("glyphs") == plain["glyphs"] and traced["stages"] > 1
    else:
        assert traced.get("error") == (
            f"cannot trace with this font: its GSUB lookup 0 substitutes a glyph by a sequence of {length} "
            "glyphs, too many for the fixed buffer HarfBuzz's tracing writes their positions into (it would "
            "abort the process); shape it without trace")


def test_hostile_corpus_ends_every_call_in_a_result_or_documented_error_within_limits():
    if not CORPUS.is_dir():
        pytest.skip(f"{CORPUS} is missing (set TESVO_HOSTILE_FONTS to the hostile font corpus)")
    # The corpus run is the tool's own (tools/hostile_corpus.py), loaded by its path.
    corpus = runpy.run_path(str(ROOT / "tools" / "hostile_corpus.py"))
    reports = corpus["run_corpus"](CORPUS, jobs=2)
    text, broken = corpus["figures"](reports)
    assert broken == [], text
