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
    assert len(u.justification) == len(u.cluster_start) == len(result.glyphs)
    assert len(u.log_clusters) == len(u.soft_break) == len(TEXT)
    assert [a.rtl for a in u.analyses] == [item.rtl for item in result.items]
    assert [a.bidi_level for a in u.analyses] == [item.level for item in result.items]
    first = 0
    for k, item in enumerate(result.items):
        glyphs = [g for g in result.glyphs if g.item == k]
        logical = glyphs[::-1] if item.rtl else glyphs
        for c in range(item.start, item.end):
            # The glyph a character's log cluster names is the first of the character's cluster.
            assert logical[u.log_clusters[c]].cluster == max(g.cluster for g in glyphs if g.cluster <= c), c
        for j, glyph in enumerate(glyphs):
            at = first + j
            n = len(glyphs) - 1 - j if item.rtl else j  # its place in logical order
            begins = n == min(m for m, g in enumerate(logical) if g.cluster == glyph.cluster)
            assert bool(u.cluster_start[at]) == begins, (k, j)
            assert bool(u.zero_width[at]) == (glyph.advance == 0)
        assert sum(result.advances[first:first + len(glyphs)]) == result.abc[k].total
        first += len(glyphs)
    assert u.white_space[TEXT.index(" ")] == 1 and u.char_stop[TEXT.index("\u0301")] == 0


def test_the_outputs_travel_in_the_schema_and_pickles_and_breaks_come_on_request(result):
    assert pickle.loads(pickle.dumps(result)).uniscribe == result.uniscribe
    font = tesvo.Font(NASKH)
    plain = font.shape(TEXT)
    assert not plain.uniscribe.has_breaks and plain.uniscribe.soft_break is None and plain.abc == ()
    doc = plain.to_dict()
    lines, failed = font.lines([TEXT], schema="tesvo")
    assert failed == 0 and json.loads(lines.decode())["result"] == doc
    written = doc["uniscribe"]
    assert [row[0] for row in written["chars"]] == list(plain.uniscribe.log_clusters)
    assert [row[0] for row in written["glyphs"]] == list(plain.uniscribe.justification)
    assert [item["abc"] for item in written["items"]] == [None] * len(plain.items)
    assert [item["abc"] for item in result.to_dict()["uniscribe"]["items"]] == [list(abc) for abc in result.abc]
    assert len(result.to_dict()["uniscribe"]["chars"][0]) == 7


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
            pointed = [u.log_clusters[c] for c in range(item.start, item.end)]
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
    written = result.to_dict()["uniscribe"]
    assert written["glyphs"] == [[7, 1, 0, 0], [8, 1, 1, 0]] and written["items"][0]["abc"] == [-5, 210, 7]
    lines, _ = font.lines(["ab"], schema="tesvo")
    assert json.loads(lines.decode())["result"]["uniscribe"]["glyphs"] == written["glyphs"]
