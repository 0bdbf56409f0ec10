"""hb-shape's text notation and glyph names: `Result.to_text` and `tesvo shape --format text`
print what the machine's hb-shape prints for the same font and text, with each of its
switches, and the names are HarfBuzz's."""

import subprocess
from pathlib import Path

import pytest

import tesvo
from conftest import INTER

NOTO = Path("/usr/share/fonts/truetype/noto")

# font, text, location: Latin with ligatures and kerning, Arabic, Devanagari, pointed Hebrew,
# a variable font at a location.
CASES = {
    "latin": (NOTO / "NotoSans-Regular.ttf", "office AVATAR Wave", None),
    "arabic": (NOTO / "NotoNaskhArabic-Regular.ttf", "بِسْمِ اللَّهِ الرَّحْمَٰنِ", None),
    "devanagari": (NOTO / "NotoSansDevanagari-Regular.ttf", "क्षत्रिय हिन्दी र्क", None),
    "hebrew": (NOTO / "NotoSansHebrew-Regular.ttf", "שָׁלוֹם עוֹלָם", None),
    "variable": (INTER, "AVATAR office", "wght=700"),
}
SWITCHES = [(), ("--no-glyph-names",), ("--no-clusters",), ("--no-positions",), ("--no-advances",),
            ("--no-advances", "--no-clusters")]


def hb_shape(font, text, location, switches=()):
    extra = [f"--variations={location}"] if location else []
    return subprocess.run(["hb-shape", *extra, *switches, str(font), text], capture_output=True, text=True,
                          check=True).stdout.strip()


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_text_notation_equals_hb_shape_with_each_switch(case):
    font_path, text, location = case
    if font_path is None:
        pytest.skip("fonts-inter-variable is not installed")
    result = tesvo.Font(font_path, variations=location).shape(text)
    for switches in SWITCHES:
        shown = {"--no-glyph-names": "names", "--no-clusters": "clusters", "--no-positions": "positions",
                 "--no-advances": "advances"}
        options = {shown[s]: False for s in switches}
        assert result.to_text(**options) == hb_shape(font_path, text, location, switches), switches
    names = tesvo.Font(font_path).glyph_names
    assert [g.name for g in result.glyphs] == [names[g.id] for g in result.glyphs]


def test_the_command_prints_the_notation_line_by_line(tmp_path):
    font_path, text, _ = CASES["latin"]
    lines = tmp_path / "lines.txt"
    lines.write_text(f"{text}\nWave\n", encoding="utf-8")
    one = subprocess.run(["tesvo", "shape", "--format", "text", str(font_path), text], capture_output=True,
                         text=True)
    batch = subprocess.run(["tesvo", "--format", "text", "--no-glyph-names", "--batch", str(lines), "-j", "2",
                            str(font_path)], capture_output=True, text=True)
    assert (one.returncode, one.stdout) == (0, hb_shape(font_path, text, None) + "\n")
    assert batch.stdout.splitlines() == [hb_shape(font_path, t, None, ["--no-glyph-names"]) for t in (text, "Wave")]
    wrong = subprocess.run(["tesvo", "--no-clusters", str(font_path), "a"], capture_output=True, text=True)
    assert wrong.returncode == 2 and "go with --format text" in wrong.stderr


def test_names_come_from_post_cff_or_gid(tmp_path):
    """A font whose 'post' has no names (format 3) and no CFF: hb-shape prints gid<N>."""
    from fontTools.ttLib import TTFont

    font = TTFont(NOTO / "NotoSans-Regular.ttf")
    font["post"].formatType = 3.0
    path = tmp_path / "noname.ttf"
    font.save(path)
    result = tesvo.Font(path).shape("Wave")
    assert result.to_text() == hb_shape(path, "Wave", None)
    assert all(g.name == f"gid{g.id}" for g in result.glyphs)


def test_control_characters_in_glyph_names_are_escaped(tmp_path):
    """A hostile 'post' names glyphs with ESC and BEL, a line feed and C1's CSI: the notation
    shows control characters as \\xHH, in the package and in --batch alike, one line per text."""
    from fontTools.fontBuilder import FontBuilder
    from fontTools.pens.ttGlyphPen import TTGlyphPen

    names = [".notdef", "a\x1b]0;title\x07", "b\nc", "c\u009b1m"]
    fb = FontBuilder(1000, isTTF=True)
    fb.setupGlyphOrder(names)
    fb.setupCharacterMap({ord("a"): names[1], ord("b"): names[2], ord("c"): names[3]})
    fb.setupGlyf({name: TTGlyphPen(None).glyph() for name in names})
    fb.setupHorizontalMetrics({name: (500, 0) for name in names})
    fb.setupHorizontalHeader(ascent=800, descent=-200)
    fb.setupNameTable({"familyName": "Hostile", "styleName": "Regular"})
    fb.setupOS2()
    fb.setupPost()
    path = tmp_path / "hostile-names.ttf"
    fb.save(path)
    # 'post' holds bytes: the lone 0x9b is no UTF-8, so it reads as U+FFFD, not as CSI
    expected = "[a\\x1b]0;title\\x07=0|b\\x0ac=1|c\ufffd1m=2]"
    font = tesvo.Font(path)
    assert font.shape("abc").to_text(positions=False) == expected
    lines, failed = font.lines(["abc", "abc"], notation={"positions": False})
    assert failed == 0 and lines.decode().splitlines() == [expected] * 2


@pytest.mark.parametrize("features", ["smcp[2:5]", "-kern[1:3]", "liga[2:]", "smcp[:3],-liga[6:]", "smcp[4]",
                                      "smcp,-smcp[2:4]", "smcp[1:3]=0,smcp[2:]", "kern[0:4],-kern", "liga[1:4],-liga",
                                      "kern[:4],-kern[:]", "-kern,kern[0:4]"])
def test_feature_ranges_equal_hb_shape(features):
    font_path = NOTO / "NotoSans-Regular.ttf"
    for text in ("AVAVoffice fi", "a\U0001F600bcd"):  # indices count code points, as in a str
        result = tesvo.Font(font_path).shape(text, features=features)
        assert result.to_text() == hb_shape(font_path, text, None, [f"--features={features}"]), text


def test_language_codes_tags_and_their_warnings():
    font = tesvo.Font(NOTO / "NotoSans-Regular.ttf")
    cyrillic = "бгдпт"
    serbian = font.shape(cyrillic, language="sr")
    assert serbian.glyphs == font.shape(cyrillic, language="SRB").glyphs != font.shape(cyrillic).glyphs
    assert serbian.to_text() == hb_shape(font.path, cyrillic, None, ["--language=sr"])
    assert serbian.warnings == () and font.shape(cyrillic).warnings == ()
    (missing_language,) = font.shape(cyrillic, language="XYZ").warnings
    assert "no language system 'XYZ'" in missing_language
    missing_script = font.shape("Wave", script="xxxx")
    assert [w for w in missing_script.warnings if "no script 'xxxx'" in w]
    # the item reports the tag whose lookups were used, not the one asked for
    assert {item.script_tag for item in missing_script.items} == {"latn"}
    with pytest.raises(tesvo.OptionError, match="bad feature"):
        font.shape("ab", features="smcp[3:1]")
    with pytest.raises(tesvo.OptionError, match="one range per feature: write the feature once for each range"):
        font.shape("abcdefgh", features="kern[3:5][6:7]")
