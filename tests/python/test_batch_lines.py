"""Font.lines, the engine's writer of tesvo --batch's output, against HarfBuzz's own command: a
notation line is what hb-shape prints for the same font, text and options, and a JSON Lines
record, compact, holds the glyphs hb-shape --output-format=json gives, whatever the script,
direction, options or failures."""

import json
import re
import subprocess
import unicodedata
from pathlib import Path

import pytest

import tesvo
from conftest import INTER

NOTO = Path("/usr/share/fonts/truetype/noto")
DEJAVU = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")

# font, two texts of one item each (hb-shape shapes a line as one run, the package item by
# item), options. The texts are shaped with an empty text (a failure) between them.
CASES = {
    "latin features": (NOTO / "NotoSans-Regular.ttf", ("office AVATAR", "Wave fi"),
                       {"features": "smcp[2:5],-kern"}),
    "arabic marks": (NOTO / "NotoNaskhArabic-Regular.ttf", ("بِسْمِ اللَّهِ", "الرَّحْمَٰنِ"), {}),
    "hebrew, right to left": (NOTO / "NotoSansHebrew-Regular.ttf", ("שָׁלוֹם", "עוֹלָם"),
                              {"direction": "rtl"}),
    "astral and escapes": (DEJAVU, ('x\U0001F600y "q"\t\u2028', "\\ ab\x7f"), {}),
    "location": (INTER, ("AVATAR", "office"), {"variations": "wght=700"}),
    "language system": (NOTO / "NotoSans-Regular.ttf", ("бгдпт", "где"), {"language": "sr"}),
    "trace": (NOTO / "NotoSansDevanagari-Regular.ttf", ("क्षत्रिय", "हिन्दी र्क"), {"trace": True}),
}
SWITCHES = [({}, ()), ({"names": False, "advances": False}, ("--no-glyph-names", "--no-advances")),
            ({"clusters": False, "positions": False}, ("--no-clusters", "--no-positions"))]
HB_OPTIONS = {"features": "--features", "direction": "--direction", "language": "--language",
              "variations": "--variations"}


def hb_shape(font, text, options=None, *switches):
    args = [f"{HB_OPTIONS[k]}={v}" for k, v in (options or {}).items() if k in HB_OPTIONS]
    return subprocess.run(["hb-shape", *args, *switches, str(font), text], capture_output=True, text=True,
                          check=True).stdout.strip()


def hb_glyphs(font, text, options, uniscribe=False):
    """(id, cluster, advance, x offset, y offset) of each glyph, as hb-shape gives them; or
    `uniscribe`, as shape_json's document writes them: clusters in UTF-16 code units and in a
    right-to-left item (here a text with right-to-left letters) x offsets as Uniscribe's du,
    along the reading direction."""
    found = json.loads(hb_shape(font, text, options, "--output-format=json", "--no-glyph-names"))
    if not uniscribe:
        return [(g["g"], g["cl"], g["ax"], g["dx"], g["dy"]) for g in found]
    sign = -1 if any(unicodedata.bidirectional(ch) in ("R", "AL") for ch in text) else 1
    return [(g["g"], len(text[:g["cl"]].encode("utf-16-le")) // 2, g["ax"], sign * g["dx"], g["dy"])
            for g in found]


def font_of(path):
    if path is None:
        pytest.skip("fonts-inter-variable is not installed")
    return tesvo.Font(path)


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_notation_lines_are_what_hb_shape_prints(case):
    path, (one, two), options = case
    font = font_of(path)
    for notation, switches in SWITCHES:
        out, failed = font.lines([one, "", two], notation=notation, **options)
        expected = [hb_shape(path, one, options, *switches), "", hb_shape(path, two, options, *switches), ""]
        assert (out.decode().split("\n"), failed) == (expected, 1), switches


@pytest.mark.parametrize("schema", ["shape_json", "tesvo"])
@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_json_records_hold_hb_shapes_glyphs_in_order(case, schema):
    path, (one, two), options = case
    font = font_of(path)
    out, failed = font.lines([one, "", two], first=7, schema=schema, **options)
    lines = out.decode().split("\n")
    assert lines.pop() == "" and failed == 1
    records = [json.loads(line) for line in lines]
    assert lines == [json.dumps(r, ensure_ascii=False, separators=(",", ":")) for r in records]
    assert [(r["line"], r["text"]) for r in records] == [(7, one), (8, ""), (9, two)]
    assert sorted(records[1]) == ["error", "line", "text"] and records[1]["error"]
    for record, text in ((records[0], one), (records[2], two)):
        result = record["result"]
        if schema == "shape_json":
            glyphs = [(g["g"], g["cl"], g["ax"], g["dx"], g["dy"]) for g in result["final"]]
        else:
            glyphs = [(g["id"], g["cluster"], g["advance"], g["x_offset"], g["y_offset"]) for g in result["glyphs"]]
        assert glyphs == hb_glyphs(path, text, options, uniscribe=schema == "shape_json"), text


def test_a_line_of_several_items_is_their_runs_in_visual_order():
    # A right-to-left paragraph: "مرحبا " (characters 0..6) right to left, then "abc" (6..9)
    # left to right, on its left. Each item is shaped on its own, as hb-shape shapes it alone.
    arabic = hb_shape(DEJAVU, "مرحبا ", {"direction": "rtl"})[1:-1]
    latin = re.sub(r"=(\d+)", lambda m: f"={int(m[1]) + 6}", hb_shape(DEJAVU, "abc", {"direction": "ltr"})[1:-1])
    out, failed = tesvo.Font(DEJAVU).lines(["مرحبا abc"], notation={}, direction="rtl")
    assert (out.decode(), failed) == (f"[{latin}|{arabic}]\n", 0)


def test_cut_items_are_warned_after_the_options_warnings(tmp_path):
    font = tesvo.Font(NOTO / "NotoSans-Regular.ttf")
    text = "office AVATAR Wave " * 4000  # more glyphs than one Uniscribe item holds
    out, failed = font.lines([text], schema="tesvo", script="xxxx")
    result = json.loads(out)["result"]
    warnings = result["warnings"]
    assert failed == 0 and len(warnings) == 2 and "65,535 glyphs" in warnings[1]
    # the items are cut between words: the glyphs are still HarfBuzz's single run's
    lines = tmp_path / "text.txt"
    lines.write_text(text, encoding="utf-8")
    whole = json.loads(subprocess.run(["hb-shape", "--output-format=json", "--no-glyph-names", "--text-file",
                                       str(lines), str(font.path)], capture_output=True, text=True,
                                      check=True).stdout)
    assert [(g["id"], g["cluster"], g["advance"]) for g in result["glyphs"]] == [
        (g["g"], g["cl"], g["ax"]) for g in whole]
