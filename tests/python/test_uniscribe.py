"""What the Uniscribe entry points returned beyond glyphs (Result.uniscribe), end to end with
the bundled backend: read back consistently with the glyphs, written into the schema alike by
both writers, compared by tesvo compare --props."""

import json
import pickle
from pathlib import Path

import pytest

import tesvo
from tesvo.compare import Side, compare

NOTO = Path("/usr/share/fonts/truetype/noto")
NASKH = NOTO / "NotoNaskhArabic-Regular.ttf"
SANS = NOTO / "NotoSans-Regular.ttf"
# Arabic and Latin items, a ligature (lam-alef), a mark, and a character of two UTF-16 units.
TEXT = "\u0644\u0627 \u0628\u0650\u0633\u0645 office e\u0301 \U0001F600!"


@pytest.fixture(scope="module")
def result():
    if not NASKH.is_file():
        pytest.skip("Debian's fonts-noto-core is missing")
    return tesvo.Font(NASKH).shape(TEXT, extras=True)


def test_the_outputs_agree_with_the_glyphs_they_came_with(result):
    u = result.uniscribe
    units = len(TEXT.encode("utf-16-le")) // 2
    assert len(result.justifications) == len(result.cluster_starts) == len(result.glyphs)
    assert len(result.log_clusters) == len(result.can_glyph_alone) == len(result.breaks) == units
    assert [item.analysis for item in result.items] == list(u.analyses)
    assert [(a.rtl, a.bidi_level) for a in u.analyses] == [(item.rtl, item.level) for item in result.items]
    assert [(g.cluster_start, g.diacritic, g.zero_width) for g in result.glyphs] == [
        (bool(u.cluster_start[k]), bool(u.diacritic[k]), bool(u.zero_width[k])) for k in range(len(result.glyphs))]
    assert [g.justification for g in result.glyphs] == [u.glyph(k).justification_name for k in range(len(result.glyphs))]
    first = 0
    for k, item in enumerate(result.items):
        glyphs = [g for g in result.glyphs if g.item == k]
        logical = glyphs[::-1] if item.rtl else glyphs
        for c in range(item.start, item.end):
            # The glyph a character's log cluster names is the first of the character's cluster.
            cluster = result.log_clusters[u.unit_of(c)]
            assert logical[cluster].cluster == max(g.cluster for g in glyphs if g.cluster <= c), c
        for j, glyph in enumerate(glyphs):
            n = len(glyphs) - 1 - j if item.rtl else j  # its place in logical order
            assert glyph.cluster_start == (n == min(m for m, g in enumerate(logical) if g.cluster == glyph.cluster))
            assert glyph.zero_width == (glyph.advance == 0)
        assert sum(result.advances[first:first + len(glyphs)]) == result.abc[k].total
        first += len(glyphs)
    emoji = u.unit_of(TEXT.index("\U0001F600"))
    assert result.breaks[TEXT.index(" ")].whitespace and not result.breaks[TEXT.index("\u0301")].char_stop
    assert result.breaks[emoji].char_stop and not result.breaks[emoji + 1].char_stop  # not inside the pair


def test_the_outputs_travel_in_the_schema_and_pickles_and_breaks_come_on_request(result):
    assert pickle.loads(pickle.dumps(result)).uniscribe == result.uniscribe
    font = tesvo.Font(NASKH)
    plain = font.shape(TEXT)
    assert plain.breaks is None and plain.abc == ()
    doc = plain.to_dict()
    lines, failed = font.lines([TEXT], schema="tesvo")
    assert failed == 0 and json.loads(lines.decode())["result"] == doc
    # The schema's names are the package's.
    assert doc["log_clusters"] == list(plain.log_clusters) and doc["abc"] is None and doc["breaks"] is None
    assert doc["can_glyph_alone"] == list(plain.can_glyph_alone)
    fields = ("justification", "cluster_start", "diacritic", "zero_width")
    assert [tuple(g[f] for f in fields) for g in doc["glyphs"]] == [tuple(getattr(g, f) for f in fields)
                                                                   for g in plain.glyphs]
    assert [item["analysis"] for item in doc["items"]] == [item.analysis._asdict() for item in plain.items]
    extras = result.to_dict()
    assert extras["abc"] == [list(abc) for abc in result.abc]
    assert [dict(zip(extras["breaks"], flags)) for flags in zip(*extras["breaks"].values())] == [
        {name: int(flag) for name, flag in b._asdict().items()} for b in result.breaks]


def test_compare_props_finds_a_glyph_that_stopped_being_a_mark(tmp_path):
    from fontTools.ttLib import TTFont

    if not SANS.is_file():
        pytest.skip("Debian's fonts-noto-core is missing")
    font = TTFont(str(SANS))
    font["GDEF"].table.GlyphClassDef.classDefs["acutecomb"] = 1  # a base glyph now
    font.save(str(tmp_path / "v2.ttf"))
    text = "x\u0301"  # no precomposed character: two glyphs
    (line,) = compare(Side(str(SANS)), Side(str(tmp_path / "v2.ttf")), [text], props=True)
    assert "props" in line.kinds and line.props.where == "glyph" and line.props.at == 1
    assert "diacritic" in line.props.left and "diacritic" not in line.props.right
    (unasked,) = compare(Side(str(SANS)), Side(str(tmp_path / "v2.ttf")), [text])
    assert "props" not in unasked.kinds and unasked.props is None


@pytest.mark.parametrize("corpus, name", [("arabic", "NotoNaskhArabic-Regular.ttf"),
                                          ("devanagari", "NotoSansDevanagari-Regular.ttf"),
                                          ("thai", "NotoSansThai-Regular.ttf")])
def test_on_a_corpus_log_clusters_point_at_cluster_starts_and_diacritics_are_gdef_marks(corpus, name):
    from fontTools.ttLib import TTFont
    from tesvo.corpora import load

    path = NOTO / name
    if not path.is_file():
        pytest.skip(f"{path} is missing")
    tt = TTFont(str(path))
    order, marks = tt.getGlyphOrder(), tt["GDEF"].table.GlyphClassDef.classDefs
    for r in tesvo.Font(path).shape_many([line for line in load(corpus)[:100] if line]):
        u, first = r.uniscribe, 0
        for k, item in enumerate(r.items):
            n = sum(1 for g in r.glyphs if g.item == k)
            at = [first + (n - 1 - j if item.rtl else j) for j in range(n)]  # logical j in the result
            pointed = list(r.log_clusters[u.unit_of(item.start):u.unit_of(item.end)])
            assert pointed == sorted(pointed), r.text
            assert {j for j in range(n) if u.cluster_start[at[j]]} == set(pointed), r.text
            assert [bool(u.diacritic[a]) for a in at] == [marks.get(order[r.glyphs[a].id]) == 3 for a in at], r.text
            first += n


def test_a_backends_own_values_come_back_unchanged(make_fake):
    from conftest import tiny_font

    fake = make_fake("fake_port")
    # Glyph a: justification 7 (ARABIC_NORMAL), cluster start; b: 8 (KASHIDA), start, diacritic.
    fake.configure("shape vis=0x17,0x38 chars=1,0; place abc=-5,210,7")
    font = tesvo.Font(tiny_font(), backend=fake.path)
    result = font.shape("ab", extras=True)
    u = result.uniscribe
    assert [u.glyph(k)[:1] + u.glyph(k)[2:] for k in range(2)] == [(7, True, False, False), (8, True, True, False)]
    assert list(u.can_glyph_alone) == [1, 0] and result.abc == (tesvo.uniscribe.ABCWidths(-5, 210, 7),)
    assert [(g.justification, g.diacritic) for g in result.glyphs] == [("SCRIPT_JUSTIFY_ARABIC_NORMAL", False),
                                                                       ("SCRIPT_JUSTIFY_ARABIC_KASHIDA", True)]
    written = result.to_dict()
    assert [g["justification"] for g in written["glyphs"]] == [g.justification for g in result.glyphs]
    assert written["abc"] == [[-5, 210, 7]] and written["can_glyph_alone"] == [1, 0]
    lines, _ = font.lines(["ab"], schema="tesvo")
    assert json.loads(lines.decode())["result"]["glyphs"] == written["glyphs"]


# The kashida classes by the glyphs Noto Naskh draws (its names are the presentation forms' code
# points: uniFE94 is TEH MARBUTA FINAL FORM), not by the joining tables the backend reads.
# Microsoft's ranking of the connections a kashida may lengthen ("Justifying Text using
# Cascading Style Sheets (CSS) in Internet Explorer 5.5"): 2 after initial and medial seen and
# sad; 3 before final heh, teh marbuta and dal; 4 before final alef, tah, lam, kaf and gaf; 5
# before a ba that ra, ya or alef maqsura follow (final ya with ba); 6 before final waw, ra,
# ain, qaf and feh; 7 before any other letter joined to the one before it. A letter joined to
# nothing before it has no connection to lengthen (NONE); a space in an Arabic item is an
# Arabic blank, elsewhere a blank.
FINAL_CLASS = {**dict.fromkeys(("ALEF", "TAH", "ZAH", "LAM", "KAF", "KEHEH", "GAF"), "ALEF"),
               **dict.fromkeys(("HEH", "HEH GOAL", "TEH MARBUTA", "DAL", "DDAL", "THAL"), "HA"),
               **dict.fromkeys(("REH", "RREH", "ZAIN", "WAW", "AIN", "GHAIN", "QAF", "FEH"), "RA"),
               **dict.fromkeys(("BEH", "TEH", "TTEH", "THEH", "YEH", "FARSI YEH", "ALEF MAKSURA"), "BA")}
SEEN_LIKE = {"SEEN", "SHEEN", "SAD", "DAD"}


def drawn_class(glyph_name):
    import re
    import unicodedata

    drawn = re.fullmatch(r"uni([0-9A-F]{4})(\..*)?", glyph_name)
    form = drawn and re.fullmatch(r"ARABIC LETTER (.+?)(?: WITH .+?)?(?: (ISOLATED|FINAL|INITIAL|MEDIAL) FORM)?",
                                  unicodedata.name(chr(int(drawn.group(1), 16)), ""))
    if not form:
        return None  # not a letter drawn in one of its forms
    letter, shape = form.group(1), form.group(2) or "ISOLATED"
    if shape == "MEDIAL":
        return "ARABIC_SEEN_M" if letter in SEEN_LIKE else "ARABIC_NORMAL"
    if shape == "INITIAL" and letter in SEEN_LIKE:
        return "ARABIC_SEEN"
    if shape == "FINAL":
        return "ARABIC_" + FINAL_CLASS.get(letter, "NORMAL")
    return "NONE"


def test_kashida_classes_fall_where_microsoft_ranks_the_connections():
    from tesvo.corpora import load

    if not NASKH.is_file():
        pytest.skip("Debian's fonts-noto-core is missing")
    checked = 0
    for r in tesvo.Font(NASKH).shape_many([line for line in load("arabic") if line]):
        for g in r.glyphs:
            blank = "ARABIC_BLANK" if r.items[g.item].script_tag == "arab" else "BLANK"  # digits' items are not
            expected = blank if r.text[g.cluster] == " " else drawn_class(g.name)
            if g.cluster_start and expected is not None:
                assert g.justification == "SCRIPT_JUSTIFY_" + expected, (r.text, g)
                checked += 1
    assert checked > 3000  # the whole corpus: Arabic, Persian and Urdu words


@pytest.mark.parametrize("corpus", ["arabic", "bengali", "cjk", "cyrillic", "devanagari", "greek", "hebrew", "khmer",
                                    "latin", "myanmar", "tamil", "thai"])
def test_break_flags_are_icus_boundaries_item_by_item(corpus):
    import icu  # PyICU, which tools/test.sh installs
    from tesvo.corpora import load

    def boundaries(kind, text):
        it = getattr(icu.BreakIterator, kind)(icu.Locale.getRoot())
        it.setText(text)
        return set(it)  # UTF-16 offsets

    font = tesvo.Font(NOTO / "NotoSans-Regular.ttf")  # which font does not matter to the breaks
    for r in font.shape_many([line for line in load(corpus)[:60] if line], extras=True):
        u = r.uniscribe
        for item in r.items:
            # ScriptBreak is asked item by item, as Uniscribe's callers ask it: an item is a text of its own.
            start, end = u.unit_of(item.start), u.unit_of(item.end)
            text = icu.UnicodeString(r.text[item.start:item.end])
            marks = {"char_stop": boundaries("createCharacterInstance", text) | {0},
                     "word_stop": boundaries("createWordInstance", text) | {0},
                     "soft_break": boundaries("createLineInstance", text) - {0}}
            for name, at in marks.items():
                assert [v - start for v in range(start, end) if getattr(r.breaks[v], name)] == sorted(
                    at - {end - start}), (corpus, r.text, item, name)
            assert [r.breaks[v].whitespace for v in range(start, end)] == [
                icu.Char.hasBinaryProperty(ch, icu.UProperty.WHITE_SPACE) and ch not in "\u00a0\u2007\u202f"
                for ch in _units(r.text[item.start:item.end])], (corpus, r.text)


def _units(text):
    """The text's characters, each as often as its UTF-16 units (a pair's second unit is not
    white space either)."""
    return [c for ch in text for c in ((ch, "x") if ord(ch) > 0xFFFF else (ch,))]
