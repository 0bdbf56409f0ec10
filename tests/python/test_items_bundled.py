"""Texts the bundled backend must keep in one item, shaped as HarfBuzz shapes the whole
text: a mark spanning the digits after it, a mark shared between scripts, a mark at the
very start of the text."""

import io
import json
import shutil
import subprocess
from pathlib import Path

import pytest

import _tesvo

from conftest import check_text

NOTO = Path("/usr/share/fonts/truetype/noto")


def noto(name):
    path = NOTO / name
    if not path.is_file():
        pytest.skip(f"{path} is missing (Debian's fonts-noto-core)")
    return path.read_bytes()


def naskh_with_pound_mark():
    """NotoNaskhArabic with U+0891 ARABIC POUND MARK ABOVE drawn as its number sign
    (U+0600), which its lookups set over the digits that follow: no Debian font has the
    mark yet, and the font's lookups work on glyphs, whichever character maps to them."""
    from fontTools.ttLib import TTFont

    font = TTFont(io.BytesIO(noto("NotoNaskhArabic-Regular.ttf")))
    number_sign = font.getBestCmap()[0x0600]
    for table in font["cmap"].tables:
        if table.isUnicode():
            table.cmap[0x0891] = number_sign
    out = io.BytesIO()
    font.save(out)
    return out.getvalue()


CASES = {
    # An Arabic number (bidi class AN since Unicode 14) with the digits it spans, at
    # level 2 of a right-to-left paragraph: the digits take their small forms.
    "pound-mark-over-digits": (naskh_with_pound_mark, "\u0891123", "rtl", "ltr"),
    # Grantha nukta and candrabindu, whose Script_Extensions hold Tamil.
    "grantha-marks-in-tamil": (
        lambda: noto("NotoSansTamil-Regular.ttf"), "\u0b9c\U0001133c\u0bbe \u0b95\U00011301", "auto", "ltr"),
    # U+20F0 (Inherited) before any base: HarfBuzz gives it a dotted circle.
    "mark-at-text-start": (
        lambda: noto("NotoSansDevanagari-Regular.ttf"), "\u20f0\u0928\u092e\u0938\u094d\u0924\u0947", "auto", "ltr"),
}


def harfbuzz(font, text, direction, tmp_path):
    """hb-shape's records for the whole text, as the beginning and end of a text."""
    hb_shape = shutil.which("hb-shape")
    if hb_shape is None:
        pytest.skip("hb-shape is missing (Debian's libharfbuzz-bin)")
    path = tmp_path / "font.ttf"
    path.write_bytes(font)
    codes = ",".join(f"{ord(c):X}" for c in text)
    out = subprocess.run(
        [hb_shape, "--output-format=json", "--no-glyph-names", "--font-funcs=ot", "--bot", "--eot",
         f"--direction={direction}", str(path), "-u", codes],
        capture_output=True, text=True, check=True, env={"LC_ALL": "C"}).stdout
    return [(g["g"], g["cl"], g["ax"], g["dx"], g["dy"]) for g in json.loads(out)]


def utf16_clusters(text, records):
    """hb-shape counts clusters in code points, the result in UTF-16 code units."""
    units = [0]
    for c in text:
        units.append(units[-1] + (2 if ord(c) > 0xFFFF else 1))
    return [(g, units[cl], ax, dx, dy) for g, cl, ax, dx, dy in records]


@pytest.mark.parametrize("case", sorted(CASES))
def test_text_is_one_item_shaped_as_harfbuzz_shapes_it(case, tmp_path):
    make_font, text, direction, item_direction = CASES[case]
    font = make_font()
    doc = check_text(_tesvo.shape_json(font, text, direction=direction))
    assert len([m for m in doc["messages"] if m.startswith("Uniscribe item ")]) == 1, doc["messages"]
    got = [(g["g"], g["cl"], g["ax"], g["dx"], g["dy"]) for g in doc["final"]]
    assert got == utf16_clusters(text, harfbuzz(font, text, item_direction, tmp_path))
