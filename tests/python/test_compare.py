"""tesvo compare: two fonts, a port against HarfBuzz, the differences found and reported."""

import html
import json
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import tesvo
from tesvo.compare import Side, compare, difference
from tesvo.corpora import load

NOTO = Path("/usr/share/fonts/truetype/noto")
SANS = NOTO / "NotoSans-Regular.ttf"
COMMAND = Path(sys.executable).parent / "tesvo"


def run(*args, cwd=None):
    done = subprocess.run([str(COMMAND), "compare", *map(str, args)], capture_output=True, timeout=300,
                          cwd=cwd)
    records = [json.loads(line) for line in done.stdout.decode().splitlines()]
    return done, records


@pytest.mark.parametrize("left, right, first, kinds", [
    ([(1, 0, 500, 0, 0)], [(1, 0, 500, 0, 0)], None, ()),
    ([(1, 0, 500, 0, 0), (2, 1, 0, 0, 0)], [(1, 0, 500, 0, 0)], 1, ("glyphs",)),
    ([(1, 0, 500, 0, 0), (2, 1, 0, 5, 0)], [(1, 0, 500, 0, 0), (2, 0, 0, 5, 9)], 1, ("clusters", "offsets")),
    ([(1, 0, 500, 0, 0), (2, 1, 10, 0, 0)], [(3, 0, 510, 0, 0), (2, 1, 10, 0, 0)], 0, ("glyphs", "advances")),
])
def test_difference_says_where_runs_part_and_what_differs(left, right, first, kinds):
    assert difference(left, right) == (first, kinds)


def without_fl_ligature(path):
    """Noto Sans with the 'f l' ligature taken out of its 'liga' lookup."""
    from fontTools.ttLib import TTFont

    font = TTFont(str(SANS))
    gsub = font["GSUB"].table
    for record in gsub.FeatureList.FeatureRecord:
        if record.FeatureTag == "liga":
            for index in record.Feature.LookupListIndex:
                for sub in gsub.LookupList.Lookup[index].SubTable:
                    if "f" in getattr(sub, "ligatures", {}):
                        sub.ligatures["f"] = [lig for lig in sub.ligatures["f"] if lig.Component != ["l"]]
    font.save(str(path))
    return path


def lines_with_fl(lines):
    """The lines whose HarfBuzz shaping with the original font uses the 'fl' ligature."""
    import uharfbuzz as hb

    from fontTools.ttLib import TTFont

    fl = TTFont(str(SANS)).getGlyphID("fl")
    font = hb.Font(hb.Face(SANS.read_bytes()))
    found = []
    for number, text in enumerate(lines, start=1):
        buf = hb.Buffer()
        buf.add_str(text)
        buf.guess_segment_properties()
        hb.shape(font, buf, {})
        if any(info.codepoint == fl for info in buf.glyph_infos):
            found.append(number)
    return found


def with_kerning_changed(path, first="A", second="V", by=50):
    """Noto Sans with the class-kerning value of one pair raised by `by`; returns the path and
    the index of the GPOS lookup that holds the pair, as the font has it."""
    from fontTools.ttLib import TTFont

    font = TTFont(str(SANS))
    gpos = font["GPOS"].table
    for record in gpos.FeatureList.FeatureRecord:
        if record.FeatureTag != "kern":
            continue
        for index in record.Feature.LookupListIndex:
            for sub in gpos.LookupList.Lookup[index].SubTable:
                sub = getattr(sub, "ExtSubTable", sub)
                if sub.Format == 2 and first in sub.Coverage.glyphs:
                    pair = sub.Class1Record[sub.ClassDef1.classDefs.get(first, 0)]
                    pair.Class2Record[sub.ClassDef2.classDefs.get(second, 0)].Value1.XAdvance += by
                    font.save(str(path))
                    return path, index
    raise AssertionError("no class kerning of the pair in the font")


def lines_harfbuzz_shapes_differently(lines, one, other):
    import uharfbuzz as hb

    fonts = [hb.Font(hb.Face(Path(f).read_bytes())) for f in (one, other)]
    found = []
    for number, text in enumerate(lines, start=1):
        shaped = []
        for font in fonts:
            buf = hb.Buffer()
            buf.add_str(text)
            buf.guess_segment_properties()
            hb.shape(font, buf, {})
            shaped.append([(p.x_advance, p.x_offset) for p in buf.glyph_positions])
        if shaped[0] != shaped[1]:
            found.append(number)
    return found


class TestCommand:
    def test_a_font_against_itself_is_the_same_everywhere(self):
        done, records = run(SANS, SANS, "--corpus", "latin")
        assert done.returncode == 0, done.stderr.decode()
        assert records == [records[-1]] and records[-1]["summary"]["same"] == len(load("latin"))

    def test_a_changed_ligature_is_found_in_exactly_the_lines_that_use_it(self, tmp_path):
        changed = without_fl_ligature(tmp_path / "changed.ttf")
        lines = ["flow", "office", "field", "float", "Wave", "baffle", "flfl", "plain"]
        words = tmp_path / "words.txt"
        words.write_text("\n".join(lines) + "\n", encoding="utf-8")
        report = tmp_path / "diff.html"
        done, records = run(SANS, changed, "--text-file", words, "--html", report, "--trace")
        assert done.returncode == 1, done.stderr.decode()
        expected = lines_with_fl(lines)
        assert expected and [r["line"] for r in records[:-1]] == expected
        assert all(r["differs"][0] == "glyphs" for r in records[:-1])
        assert records[-1]["summary"]["different"] == len(expected)
        page = report.read_text(encoding="utf-8")
        # the traced stages stop at the lookup where the sides part: the 'liga' lookup
        assert page.count("<tr class=parts>") == len(expected) and "&#x27;liga&#x27;" in page

    def test_a_changed_kerning_value_parts_at_its_gpos_lookup_with_both_values(self, tmp_path):
        changed, lookup = with_kerning_changed(tmp_path / "kern.ttf")
        lines = ["AVATAR", "WAVE", "office", "VALVE AV", "plain"]
        words = tmp_path / "words.txt"
        words.write_text("\n".join(lines) + "\n", encoding="utf-8")
        expected = lines_harfbuzz_shapes_differently(lines, SANS, changed)
        report = tmp_path / "diff.html"
        for extra in ([], ["--html", report]):
            done, records = run(SANS, changed, "--text-file", words, "--trace", *extra)
            assert done.returncode == 1, done.stderr.decode()
            assert expected and [r["line"] for r in records[:-1]] == expected
            for r in records[:-1]:
                parting = r["parting"]
                assert r["differs"] == ["advances"] and parting["what"] == "positions", r
                assert re.fullmatch(rf"GPOS lookup {lookup} 'kern'", parting["step"]), parting
                assert int(parting["right"][1:]) - int(parting["left"][1:]) == 50, parting
                assert parting["step"] in r["summary"] and parting["left"] in r["summary"]
                # names beside ids, both values of the glyph that moved
                k = r["first"]
                assert r["left"][k][5] == "A" and r["right"][k][2] - r["left"][k][2] == 50
        page = report.read_text(encoding="utf-8")
        assert page.count("<tr class=parts>") == len(expected) and page.count("&#x27;kern&#x27;") >= len(expected)

    @pytest.mark.parametrize("text", ["\u0600123", "hello \u0645\u0631\u062d\u0628\u0627"],
                             ids=["number sign over digits", "Latin then Arabic"])
    def test_itemization_differences_show_with_whole_line_harfbuzz(self, tmp_path, text):
        naskh = NOTO / "NotoNaskhArabic-Regular.ttf"
        done, records = run("--engine", "harfbuzz", "--harfbuzz-runs", "line", naskh, text, "--trace")
        assert done.returncode == 1, done.stderr.decode()
        line = records[0]
        assert line["differs"][0] == "items" and line["parting"]["step"] == "items", line
        assert len(line["items"]) > 1 and line["items"][0][0] == 0 and line["items"][-1][1] == len(text)
        assert records[-1]["summary"]["by_kind"]["items"] == 1
        done, records = run("--engine", "harfbuzz", "--harfbuzz-runs", "items", naskh, text)
        assert done.returncode == 0 and records[-1]["summary"]["same"] == 1, records

    @pytest.mark.parametrize("args, message", [
        ([SANS], "give two fonts"),
        ([SANS, SANS, "a", "--harfbuzz-runs", "line"], "give --engine harfbuzz"),
        (["--engine", "harfbuzz", "--usp10", "x.so", SANS, "a"], "give one"),
        ([SANS, SANS, "a", "--corpus", "latin"], "one of them"),
        (["--engine", "harfbuzz", SANS, "--corpus", "klingon"], "no corpus 'klingon'"),
        (["/nonexistent.ttf", SANS, "a"], "cannot read font"),
    ])
    def test_usage_errors_are_status_2(self, args, message):
        done, _ = run(*args)
        assert done.returncode == 2 and message in done.stderr.decode(), done.stderr.decode()


    @pytest.mark.parametrize("args, message, hint", [
        (["--usp10", "{junk}", SANS, "a"], "dlopen(", "invalid ELF header"),
        (["{refused}", SANS, "a"], "usp_set_font_bytes failed (rc=2)", "not an OpenType or TrueType font"),
        (["--index", "-1", SANS, SANS, "a"], "face index -1 out of range", None),
    ], ids=["not a port", "font the port refuses", "negative index"])
    def test_unusable_fonts_and_backends_are_status_2_with_the_loaders_hint(self, tmp_path, args, message, hint):
        junk = tmp_path / "junk.so"
        junk.write_bytes(b"not a library " * 20)
        refused = tmp_path / "refused.ttf"
        refused.write_bytes(b"OTTO" + b"not a font " * 20)
        done, _ = run(*[str(a).format(junk=junk, refused=refused) for a in args])
        err = done.stderr.decode()
        assert done.returncode == 2 and message in err, err
        assert hint is None or "tesvo compare: hint: " in err and hint in err, err
        assert "Traceback" not in err

    def test_a_damaged_font_still_gets_its_report(self, tmp_path):
        # The 'post' table (glyph names) cut short: the port shapes, fontTools cannot read it.
        data = bytearray(SANS.read_bytes())
        for k in range(struct.unpack(">H", data[4:6])[0]):
            if data[12 + 16 * k:16 + 16 * k] == b"post":
                data[24 + 16 * k:28 + 16 * k] = struct.pack(">I", 34)
        damaged = tmp_path / "damaged.ttf"
        damaged.write_bytes(data)
        report = tmp_path / "diff.html"
        done, records = run(damaged, SANS, "office", "--html", report)
        assert done.returncode == 0 and records[-1]["summary"]["same"] == 1, done.stderr.decode()
        assert report.read_text(encoding="utf-8").startswith("<!DOCTYPE html>")


    def test_the_report_writes_a_line_as_text_not_as_markup(self, tmp_path):
        text = '<b id="x">&amp;\'"</b>'
        report = tmp_path / "diff.html"
        done, _ = run(SANS, NOTO / "NotoSans-Bold.ttf", text, "--html", report)
        page = report.read_text(encoding="utf-8")
        assert done.returncode == 1 and "<b id" not in page
        assert f'<span dir="auto">{html.escape(text)}</span>' in page


def test_harfbuzz_side_shapes_the_ports_items_with_the_same_options():
    hebrew = NOTO / "NotoSansHebrew-Regular.ttf"
    texts = ["\u05e9\u05b8\u05c1\u05dc\u05d5\u05b9\u05dd", "abc \u05e9\u05dc\u05d5\u05dd def", "office"]
    lines = list(compare(Side(str(hebrew)), Side(str(hebrew), engine="harfbuzz"), texts))
    assert [line.same for line in lines] == [True, True, True], [line.to_dict() for line in lines]
    # offsets in HarfBuzz's convention on both sides: the qamats sits at x_offset +227
    assert (79, 0, 0, 227, 0) in lines[0].left
    smcp = list(compare(Side(str(SANS)), Side(str(SANS), engine="harfbuzz"), ["Wave"], features="smcp"))
    plain = list(compare(Side(str(SANS)), Side(str(SANS)), ["Wave"]))
    assert smcp[0].same and smcp[0].left != plain[0].left


def test_a_comparison_made_to_trace_traces_its_lines_unless_a_call_says_otherwise():
    from tesvo.compare import Comparison

    comparison = Comparison(Side(str(SANS)), Side(str(SANS)), trace=True)
    (traced,) = comparison.lines(["Wave"])
    (plain,) = comparison.lines(["Wave"], trace=False)
    assert traced.left_steps and plain.left_steps is None


def _edited(path, source, edit):
    from fontTools.ttLib import TTFont

    font = TTFont(str(source))
    font.ensureDecompiled()
    edit(font)
    font.save(str(path))
    return str(path)


def _without_kadeva_in_akhn(font):
    del font["GSUB"].table.LookupList.Lookup[3].SubTable[0].ligatures["kadeva"]


def _without_gsub(font):
    del font["GSUB"]


def _lookup_32_a_no_op(font):  # called by lookup 31 'abvs', a chain, for the i-matra
    mapping = font["GSUB"].table.LookupList.Lookup[32].SubTable[0].mapping
    mapping.update({glyph: glyph for glyph in mapping})


def _sends_calls():
    """Whether the machine's HarfBuzz announces a chain's calls: up to 11.x."""
    version = tesvo.Font(SANS).info.backend_version or ""
    return int(version.split()[1].split(".")[0]) < 12 if version.startswith("HarfBuzz ") else False


@pytest.mark.parametrize("source, edit, text, step, side, table", [
    (NOTO / "NotoSansDevanagari-Regular.ttf", _without_kadeva_in_akhn, "\u0926\u0915\u094d\u0937\u093f\u0923",
     "GSUB lookup 3 'akhn'", "left only", None),
    (SANS, _without_gsub, "office", "GSUB lookup 38 'liga'", "left only", "GSUB on the left only"),
    (NOTO / "NotoSansDevanagari-Regular.ttf", _lookup_32_a_no_op, "\u0915\u094d\u0937\u0924\u094d\u0930\u093f\u092f",
     "GSUB lookup 31 'abvs'", "both", None),
], ids=["glyph out of a coverage", "GSUB dropped", "lookup called by a chain"])
def test_the_parting_step_is_the_culprit_even_when_it_ran_on_one_side_only(tmp_path, source, edit, text, step,
                                                                           side, table):
    changed = _edited(tmp_path / "v2.ttf", source, edit)
    (line,) = compare(Side(str(source)), Side(changed), [text], trace=True)
    assert (line.parting.step, line.parting.side, line.parting.table) == (step, side, table), line.to_dict()
    if step.endswith("'abvs'") and _sends_calls():
        assert line.parting.nested == {"left": (32,), "right": (32,)} and "\u2192 lookup 32" in line.summary


def test_glyphs_by_name_see_through_an_inserted_glyph_and_ids_do_not(tmp_path):
    from fontTools.ttLib.tables._g_l_y_f import Glyph

    def insert(font):
        order = font.getGlyphOrder()
        font["hmtx"].metrics["blank"] = (0, 0)
        font["glyf"].glyphs["blank"] = Glyph()
        font.setGlyphOrder([order[0], "blank", *order[1:]])
        font["glyf"].glyphOrder = font.getGlyphOrder()
        font["maxp"].numGlyphs = len(order) + 1

    changed = _edited(tmp_path / "v2.ttf", SANS, insert)
    (named,) = compare(Side(str(SANS)), Side(changed), ["office"])
    (by_id,) = compare(Side(str(SANS)), Side(changed), ["office"], glyphs="ids")
    assert named.same and named.moved[0] == (0, "o", 82, 83) and not by_id.same


@pytest.mark.parametrize("args, message", [
    ([SANS, "a", "--ignore", "advances,widths"], "unknown kind 'widths' to ignore: use items, glyphs"),
    ([SANS, "a", "--script2", " x"], "--script2 ' x' is not an OpenType tag"),
])
def test_narrowing_options_refuse_bad_values_in_one_line(args, message):
    done, _ = run(*args)
    err = done.stderr.decode()
    assert done.returncode == 2 and message in err and err.count("\n") == 1, err


def test_a_feature_turned_off_on_one_side_is_compared_and_ignored_kinds_make_lines_the_same():
    done, records = run(SANS, "office", "--features2=-liga", "--trace")
    assert done.returncode == 1 and records[0]["parting"]["side"] == "left only", records
    done, records = run(SANS, SANS, "office", "--features2=-liga", "--ignore", "glyphs,clusters,advances")
    assert done.returncode == 0 and records[-1]["summary"]["ignore"] == ["glyphs", "clusters", "advances"]


def test_the_reports_highlighted_row_is_the_step_that_ran_on_one_side_only(tmp_path):
    source = NOTO / "NotoSansDevanagari-Regular.ttf"
    changed = _edited(tmp_path / "v2.ttf", source, _without_kadeva_in_akhn)
    report = tmp_path / "diff.html"
    done, _ = run(source, changed, "\u0926\u0915\u094d\u0937\u093f\u0923", "--trace", "--html", report)
    (row,) = re.findall(r"<tr class=parts>(.*?)</tr>", report.read_text(encoding="utf-8"), re.S)
    assert done.returncode == 1 and html.unescape(row).count("GSUB lookup 3 'akhn'") == 1, row


def test_a_glyph_renamed_at_the_same_id_is_renamed_not_changed(tmp_path):
    data = SANS.read_bytes()
    assert data.count(b"\x05f_f_i") == 1
    renamed = tmp_path / "v2.ttf"
    renamed.write_bytes(data.replace(b"\x05f_f_i", b"\x05ffi.l"))  # the same length: the post table stays whole
    (line,) = compare(Side(str(SANS)), Side(str(renamed)), ["office"])
    assert line.kinds == ("names",) and [(r[2], r[3]) for r in line.renamed] == [("f_f_i", "ffi.l")], line.to_dict()


def _subtables(font, table, kind):
    for lookup in font[table].table.LookupList.Lookup:
        for sub in lookup.SubTable:
            sub = getattr(sub, "ExtSubTable", sub)
            if (lookup.LookupType if lookup.LookupType not in (7, 9) else sub.LookupType) == kind:
                yield sub


def _kern_av_wider(font):
    for sub in _subtables(font, "GPOS", 2):
        if sub.Format == 2 and "A" in sub.Coverage.glyphs:
            value = sub.Class1Record[sub.ClassDef1.classDefs.get("A", 0)].Class2Record[
                sub.ClassDef2.classDefs.get("V", 0)].Value1
            if value is not None and getattr(value, "XAdvance", 0):
                value.XAdvance += 150
                return


def _fatha_higher(font):
    fatha = font.getBestCmap()[0x064E]
    for sub in _subtables(font, "GPOS", 4):
        if fatha in sub.MarkCoverage.glyphs:
            sub.MarkArray.MarkRecord[sub.MarkCoverage.glyphs.index(fatha)].MarkAnchor.YCoordinate += 120


def _no_allah_ligature(font):
    for sub in _subtables(font, "GSUB", 4):
        for first, ligatures in sub.ligatures.items():
            sub.ligatures[first] = [lig for lig in ligatures if lig.LigGlyph != "uniFEDF_uniFEE0_uniFEEA"]


@pytest.mark.parametrize("name, corpus, edit, kind, step", [
    ("NotoSans-Regular.ttf", "latin", _kern_av_wider, "advances", "GPOS lookup 2 'kern'"),
    ("NotoNaskhArabic-Regular.ttf", "arabic", _fatha_higher, "offsets", "GPOS lookup 0 'mark'"),
    ("NotoNaskhArabic-Regular.ttf", "arabic", _no_allah_ligature, "glyphs", "GSUB lookup 16 'liga'"),
])
def test_the_shipped_corpora_reach_a_kern_pair_a_mark_anchor_and_a_ligature_word(tmp_path, name, corpus, edit,
                                                                                  kind, step):
    from fontTools.ttLib import TTFont

    font = TTFont(str(NOTO / name))
    edit(font)
    font.save(str(tmp_path / "v2.ttf"))
    lines = compare(Side(str(NOTO / name)), Side(str(tmp_path / "v2.ttf")), load(corpus), trace=True)
    differ = [line for line in lines if not line.same]
    assert differ and all(kind in line.kinds and line.parting.step == step for line in differ), differ[:1]


def edited(result, edits):
    """The result with (column, glyph, value) set in its glyph columns (id 0, cluster 1,
    advance 2, du 3, x_offset 5, y_offset 6)."""
    columns, n = bytearray(result.glyphs.columns), len(result.glyphs)
    for column, glyph, value in edits:
        struct.pack_into("<i", columns, 4 * (n * column + glyph), value)
    run = tesvo.GlyphRun(bytes(columns), tesvo.Font(SANS).glyph_names, len(columns) // (4 * n))
    return result._replace(glyphs=run)


@pytest.mark.parametrize("edits, ignore", [
    ([], ()),
    ([(1, 2, 1)], ()),  # a cluster only
    ([(2, 1, 9)], ()),
    ([(6, 3, 40), (5, 0, -3)], ()),
    ([(0, 2, 7)], ()),  # a glyph id only
    ([(3, 1, 12)], ()),  # du is not compared: x_offset holds it
    ([(2, 1, 9)], ("advances",)),
    ([(2, 1, 9), (1, 3, 2)], ("advances",)),
])
def test_columns_tell_runs_apart_as_glyph_rows_do(edits, ignore):
    from tesvo.compare.columns import column_difference, column_rows, glyph_columns
    from tesvo.compare.diff import port_rows

    left = tesvo.Font(SANS).shape("office Wave")
    right = edited(left, edits)
    a, b, n = glyph_columns(left), glyph_columns(right), len(left.glyphs)
    assert column_rows(b, n) == port_rows(right)
    assert column_difference(a, b, n, None, ignore) == difference(port_rows(left), port_rows(right), ignore=ignore)
