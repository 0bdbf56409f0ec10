"""Texts longer than one Uniscribe item holds: the package cuts such an item at break
opportunities into items marked `continues`, and the glyphs stay HarfBuzz's single run;
the package's document (Font.shape_json) holds the same pieces, the compatibility call keeps
failing as before. And the result's glyph columns and records."""

import copy
import json
import pickle
import subprocess

import pytest

import _tesvo
import tesvo

from test_font import NASKH, NOTO_SANS, need
from test_trace_bundled import NOTO

WORDS = {
    "latin": (NOTO_SANS, "The quick brown fox jumps over the lazy dog, while office staff fly to the fjord."),
    "devanagari": (NOTO / "NotoSansDevanagari-Regular.ttf",
                   "\u0939\u093f\u0928\u094d\u0926\u0940 \u0938\u0902\u092f\u0941\u0915\u094d\u0924 "
                   "\u0915\u094d\u0937 \u0924\u094d\u0930 \u0935\u093f\u0926\u094d\u092f\u093e\u0930\u094d"
                   "\u0925\u0940 \u092a\u0941\u0938\u094d\u0924\u0915\u093e\u0932\u092f \u092e\u0947\u0902"),
    "arabic": (NASKH, "\u0627\u0644\u062e\u0637 \u0627\u0644\u0639\u0631\u0628\u064a \u0641\u0646 "
                      "\u062c\u0645\u064a\u0644 \u064a\u062c\u0645\u0639 \u0628\u064a\u0646 "
                      "\u0627\u0644\u062f\u0651\u0650\u0642\u0629 \u0648\u0627\u0644\u0625\u0628\u062f\u0627\u0639"),
}


def hb_shape_file(path, text, tmp_path):
    source = tmp_path / "text.txt"
    source.write_text(text, encoding="utf-8")
    out = subprocess.run(["hb-shape", "--output-format=json", "--no-glyph-names", str(path),
                          f"--text-file={source}"], capture_output=True, text=True, check=True).stdout
    return [(g["g"], g["cl"], g["ax"], g["dx"], g["dy"]) for g in json.loads(out)]


def one_run(result):
    """The glyphs of a result whose items are pieces of one run, in that run's visual order."""
    pieces = [[] for _ in result.items]
    for g in result.glyphs:
        pieces[g.item].append((g.id, g.cluster, g.advance, g.x_offset, g.y_offset))
    if result.items[0].rtl:
        pieces.reverse()
    return [g for piece in pieces for g in piece]


@pytest.mark.parametrize("script", WORDS)
def test_a_run_past_the_glyph_limit_is_cut_at_spaces_and_keeps_harfbuzz_glyphs(script, tmp_path):
    path, words = WORDS[script]
    text = " ".join([words] * (120_000 // len(words)))
    result = tesvo.Font(need(path)).shape(text)
    assert [i.continues for i in result.items] == [False] + [True] * (len(result.items) - 1)
    assert len(result.items) >= 2 and len(result.warnings) == 1 and "grapheme" not in result.warnings[0]
    assert all(text[i.start - 1] == " " for i in result.items[1:])
    assert one_run(result) == hb_shape_file(path, text, tmp_path)
    doc = json.loads(tesvo.Font(need(path)).shape_json(text))
    assert [g["g"] for g in doc["final"]] == list(result.glyph_ids)
    assert doc["messages"][-1].startswith(f"chars 0..{len(text)} form one item of more than 65,535 glyphs")
    # the compatibility call keeps its limit and its message
    with pytest.raises(RuntimeError, match=r"^ScriptShapeOpenType: glyph buffer overflow$"):
        _tesvo.shape_json(path.read_bytes(), text)


def test_a_run_far_past_the_limit_is_cut_without_being_shaped_whole(tmp_path):
    path, words = WORDS["latin"]
    text = " ".join([words] * (300_000 // len(words)))
    result = tesvo.Font(need(path)).shape(text)
    assert "too long for the 65,535 glyphs" in result.warnings[0] and len(result.items) >= 10
    assert one_run(result) == hb_shape_file(path, text, tmp_path)


def test_a_run_without_break_opportunities_is_cut_at_grapheme_boundaries():
    text = "a\u0301\u0302" * 40_000  # no break opportunity; a cut before an accent would show
    result = tesvo.Font(need(NOTO_SANS)).shape(text)
    assert len(result.items) >= 2 and "grapheme boundaries" in result.warnings[0]
    assert all(text[i.start] == "a" for i in result.items)
    assert all(text[c] == "a" for c in result.clusters)


def test_glyph_columns_are_the_records_fields_and_survive_pickling():
    result = tesvo.Font(need(NASKH)).shape("abc \u0645\u0631\u062d\u0628\u0627 def")
    records = list(result.glyphs)
    columns = (result.glyph_ids, result.clusters, result.advances, result.du, result.dv, result.x_offsets,
               result.y_offsets, result.glyph_items)
    assert [tuple(g)[:8] for g in records] == list(zip(*(c.tolist() for c in columns)))
    assert [g.name for g in records] == [tesvo.Font(NASKH).glyph_names[g.id] for g in records]
    assert all(c.format == "i" and c.readonly and c.contiguous for c in columns)
    assert result.glyphs[-1] == records[-1] and result.glyphs[1:3] == tuple(records[1:3])
    with pytest.raises(IndexError):
        result.glyphs[len(records)]
    again = pickle.loads(pickle.dumps(result))
    assert again == result and list(again.glyphs) == records
    # A run pickled with eight columns (before the glyph properties were kept) still loads, without them.
    columns8 = bytes(result.glyphs.columns[:8 * 4 * len(records)])
    old = tesvo.GlyphRun(columns8, tuple(tesvo.Font(NASKH).glyph_names))
    assert [tuple(g)[:9] for g in old] == [tuple(g)[:9] for g in records]
    assert {(g.justification, g.cluster_start) for g in old} == {("SCRIPT_JUSTIFY_NONE", False)}
    assert any(g.cluster_start for g in records) and any(g.justification != "SCRIPT_JUSTIFY_NONE" for g in records)


def test_records_read_in_a_loop_stay_as_read_while_the_loop_goes_on():
    # A loop's records are refilled once the loop lets go of them: those it keeps must not change.
    result = tesvo.Font(need(NASKH)).shape("abc \u0645\u0631\u062d\u0628\u0627 def 123")
    by_index = [result.glyphs[i] for i in range(len(result.glyphs))]
    kept, hashes = [], []
    for i, g in enumerate(result.glyphs):
        hashes.append(hash(g))
        if i % 3 == 0:
            kept.append(g)
    assert kept == by_index[::3] and hashes == [hash(tuple(g)) for g in by_index]
    assert all(type(g) is tesvo.Glyph and (g.id, g.name) == (g[0], g[8]) for g in result.glyphs)
    assert pickle.loads(pickle.dumps(by_index[0])) == by_index[0] and copy.copy(by_index[1])._replace(id=7).id == 7
    short = tuple.__new__(tesvo.Glyph, (1, 2))  # fields past its end read as missing, not as memory beyond it
    assert (short.id, short.cluster) == (1, 2)
    with pytest.raises(AttributeError):
        short.advance


def hb_trace_runs(path, text, flags):
    """The glyph runs hb-shape --trace shows after the cmap and after each step, each once, in
    logical order (a right-to-left run is turned to visual order at its end)."""
    out = subprocess.run(["hb-shape", "--trace", "--no-glyph-names", "--no-positions", "--no-clusters", *flags,
                          str(path), f"--text={text}"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         check=True).stdout  # the trace goes to standard error in newer HarfBuzz
    lines = [line[len("trace: "):].split("\tbuffer: ", 1) for line in out.splitlines() if line.startswith("trace: ")]
    runs = [run.strip("[]") for message, run in lines
            if run.startswith("[") and (message.startswith("end ") or message.startswith("start table GSUB"))]
    return [r for k, r in enumerate(runs) if k == 0 or r not in (runs[k - 1], "|".join(runs[k - 1].split("|")[::-1]))]


@pytest.mark.parametrize("script", WORDS)
def test_a_long_traced_run_is_traced_as_pieces_each_as_hb_shape_traces_it(script):
    path, words = WORDS[script]
    text = " ".join([words] * (7_000 // len(words)))
    font = tesvo.Font(need(path))
    traced = font.shape(text, trace=True)
    assert one_run(traced) == one_run(font.shape(text))
    assert len(traced.items) >= 3 and "traced as" in traced.warnings[-1]
    last = len(traced.items) - 1
    for k in (0, last // 2, last):
        item = traced.items[k]
        ids = ["|".join(map(str, s.ids)) for s in traced.stages if s.item == k and s.kind not in ("normalize", "final")]
        ours = [r for n, r in enumerate(ids) if n == 0 or r != ids[n - 1]]
        flags = ["--bot"] * (k == 0) + ["--eot"] * (k == last)
        assert ours == hb_trace_runs(path, text[item.start:item.end], flags), k


def test_a_run_of_marks_is_cut_every_256_so_its_time_stays_linear():
    font = tesvo.Font(need(NOTO_SANS))
    result = font.shape("a" + "\u0301" * 100_000 + "b")  # one run took HarfBuzz 36 s
    assert len(result.items) == 391 and "quadratic" in result.warnings[0]
    assert [i.end - i.start for i in result.items[:2]] == [257, 256] and result.items[-1].continues
    mark = "\U0001D167"  # outside the BMP: two code units, one character
    assert font.shape("a" + mark * 256 + "b").warnings == () and len(font.shape("a" + mark * 257 + "b").items) == 2
