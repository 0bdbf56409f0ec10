"""The per-lookup trace and the probe switches end to end, with the bundled backend and
real fonts: what a font engineer sees when asking for a trace."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import _tesvo

from conftest import check_text

NOTO = Path("/usr/share/fonts/truetype/noto")
ITEM_LINE = re.compile(r"^Uniscribe item (\d+): script (\d+) tag 0x[0-9a-f]{8} chars (\d+)\.\.(\d+) -> (\d+) glyphs( \(RTL, visual order out\))?$")
TRACE_LINE = re.compile(r"^vantor per-lookup trace: (\d+) stages \(cmap \+ GSUB lookups \+ final\)$")
STAGE_LABEL = re.compile(r"^vantor lookup (.+) \(item (\d+)\)$")

SAMPLES = {
    "arabic": ("NotoNaskhArabic-Regular.ttf", "\u0645\u0631\u062d\u0628\u0627 \u0628\u0627\u0644\u0639\u0627\u0644\u0645"),
    "devanagari": ("NotoSansDevanagari-Regular.ttf", "\u0928\u092e\u0938\u094d\u0924\u0947 \u0915\u094d\u0937\u093f\u0924\u093f"),
    "latin": ("NotoSans-Regular.ttf", "office AVATAR ffi Wave"),
    "mixed": ("NotoNaskhArabic-Regular.ttf", "abc \u0644\u0627 123 \u0645\u0631\u062d\u0628\u0627"),
}
# The shaper's own reordering phases, which change the glyph order, are stages
# of their own; positioning steps change no glyph and are not listed.
PHASES = {"devanagari": ["reordering indic initial", "reordering indic final"]}


def font_bytes(name):
    path = NOTO / name
    if not path.is_file():
        pytest.skip(f"{path} is missing (Debian's fonts-noto-core)")
    return path.read_bytes()


def bundled_backend_or_skip(font):
    try:
        _tesvo.shape_json(font, "a")
    except RuntimeError as e:
        if "dlopen" in str(e):
            pytest.skip(f"the bundled backend is not installed beside the module: {e}")


def items_of(doc):
    """Per item: its index, range, glyph count and direction, from the item lines."""
    items = []
    for line in doc["messages"]:
        m = ITEM_LINE.match(line)
        if m:
            index, _, start, end, glyphs, rtl = m.groups()
            items.append({"index": int(index), "start": int(start), "end": int(end), "glyphs": int(glyphs), "rtl": bool(rtl)})
    return items


def split_final(doc, items):
    """The final records of each item, in output (visual within the item) order."""
    out, pos = {}, 0
    for item in items:
        out[item["index"]] = doc["final"][pos : pos + item["glyphs"]]
        pos += item["glyphs"]
    assert pos == len(doc["final"])
    return out


@pytest.mark.parametrize("sample", sorted(SAMPLES))
def test_traced_items_report_their_lookups_and_end_on_the_final_glyphs(sample):
    name, text = SAMPLES[sample]
    font = font_bytes(name)
    bundled_backend_or_skip(font)
    plain = check_text(_tesvo.shape_json(font, text))
    traced = check_text(_tesvo.shape_json(font, text, trace=True))

    # The trace never changes the shaping result.
    assert traced["final"] == plain["final"]
    items = items_of(traced)
    assert items and items == items_of(plain)

    stages_by_item = {}
    for entry in traced["stages"]:
        m = STAGE_LABEL.match(entry["m"])
        assert m, f"untraced entry in a traced result: {entry['m']}"
        stages_by_item.setdefault(int(m.group(2)), []).append((m.group(1), entry["glyphs"]))

    final_by_item = split_final(traced, items)
    messages = traced["messages"]
    for item in items:
        stages = stages_by_item.get(item["index"])
        assert stages, f"item {item['index']} has no trace stages"
        names = [n for n, _ in stages]
        assert names[0] == "cmap" and names[-1] == "final"
        assert [n for n in names[1:-1] if not n.startswith("GSUB lookup ")] == PHASES.get(sample, [])

        # The trace line follows the item's line and counts its stages.
        at = next(i for i, line in enumerate(messages) if line.startswith(f"Uniscribe item {item['index']}:"))
        assert TRACE_LINE.match(messages[at + 1]).group(1) == str(len(stages))

        # The last stage holds the item's final glyphs; both are listed in screen
        # order, so a right-to-left item's stage is reversed like its final records.
        final_ids = [g["g"] for g in final_by_item[item["index"]]]
        assert [g["g"] for g in stages[-1][1]] == final_ids
        assert [g["cl"] for g in stages[-1][1]] == [g["cl"] for g in final_by_item[item["index"]]]
        for _, glyphs in stages:
            assert all(item["start"] <= g["cl"] < item["end"] for g in glyphs)
            assert all(g["ax"] == g["dx"] == g["dy"] == 0 for g in glyphs)


def test_arabic_trace_goes_through_joining_forms_and_ligatures():
    font = font_bytes("NotoNaskhArabic-Regular.ttf")
    bundled_backend_or_skip(font)
    doc = check_text(_tesvo.shape_json(font, "\u0644\u0627 \u0645\u0631\u062d\u0628\u0627", trace=True))
    names = [STAGE_LABEL.match(e["m"]).group(1) for e in doc["stages"]]
    features = {re.search(r"'(\w{4})'", n).group(1) for n in names if n.startswith("GSUB")}
    assert {"init", "medi", "fina"} <= features
    assert features & {"rlig", "liga"}
    # The cmap stage maps one glyph per character; shaping then changes glyphs.
    cmap = doc["stages"][0]["glyphs"]
    assert len(cmap) == 8
    assert [g["g"] for g in cmap] != [g["g"] for g in doc["stages"][-1]["glyphs"]]


PROBES = ["TESVO_NATIVE_RUN", "TESVO_GLYPH_PROBE", "TESVO_RET_PROBE", "TESVO_TS_RET",
          "TESVO_WORKER_PROBE", "TESVO_CALLEE_PROBE", "TESVO_TS_PROBE"]

SHAPE_IN_CHILD = """
import sys, _tesvo
font = open(sys.argv[1], 'rb').read()
sys.stdout.write(_tesvo.shape_json(font, sys.argv[2], trace=True))
"""


def run_child(font_path, text, env_extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("TESVO_")}
    env.update(env_extra)
    return subprocess.run([sys.executable, "-c", SHAPE_IN_CHILD, str(font_path), text],
                          env=env, capture_output=True, text=True, timeout=120)


def test_every_probe_switch_reports_each_item_and_leaves_the_result_alone():
    path = NOTO / "NotoNaskhArabic-Regular.ttf"
    font = font_bytes(path.name)
    bundled_backend_or_skip(font)
    text = "abc \u0645\u0631\u062d\u0628\u0627"
    quiet = run_child(path, text, {})
    loud = run_child(path, text, {name: "" for name in PROBES})
    assert quiet.returncode == 0 and loud.returncode == 0, loud.stderr
    assert quiet.stderr == ""

    doc = json.loads(loud.stdout)
    plain = json.loads(quiet.stdout)
    assert doc["final"] == plain["final"] and doc["stages"] == plain["stages"]
    assert doc["messages"] == plain["messages"]

    # Per item, after it is shaped: the glyph ids it shaped, in logical order,
    # which for a traced item are the ids of its last stage before reversal.
    expected = []
    for item in items_of(doc):
        stages = [e for e in doc["stages"] if e["m"].endswith(f"(item {item['index']})")]
        ids = [g["g"] for g in stages[-1]["glyphs"]]
        if item["rtl"]:
            ids.reverse()
        cap = max(16, 3 * (item["end"] - item["start"]) + 8)
        expected += [
            "[nativerun] apps=0",
            f"[nativerun] last_run=None shaped_final=[{', '.join(map(str, ids))}] match=false",
            f"[glyph] fires=0 cap={cap}",
            "[glyph] distinct_states=0",
            "[ret] fires=0 base=0x0",
            "[worker] events=0 gdi32full_base=0x0",
            "[callee] fires (ts_probe=true):",
        ]
    assert loud.stderr.splitlines() == expected
    assert loud.stderr.endswith("\n")


@pytest.mark.parametrize("switches, lines", [
    ({"TESVO_TS_RET": ""}, []),
    ({"TESVO_TS_RET": "", "TESVO_TS_PROBE": "1"}, ["[ret] fires=0 base=0x0", "[callee] fires (ts_probe=true):"]),
    ({"TESVO_TS_PROBE": ""}, ["[callee] fires (ts_probe=true):"]),
    ({"TESVO_CALLEE_PROBE": "0"}, ["[callee] fires (ts_probe=false):"]),
    ({"TESVO_WORKER_PROBE": ""}, ["[worker] events=0 gdi32full_base=0x0"]),
])
def test_probe_switches_alone_and_together(switches, lines):
    path = NOTO / "NotoSans-Regular.ttf"
    font = font_bytes(path.name)
    bundled_backend_or_skip(font)
    child = run_child(path, "Wave", switches)
    assert child.returncode == 0, child.stderr
    assert child.stderr.splitlines() == lines


def hb_lookup_calls(path, text):
    """Each GSUB and GPOS lookup hb-shape --trace shows running (not skipped), with the
    lookups it called, in the order first called, each once."""
    out = subprocess.run(["hb-shape", "--trace", str(path), f"--text={text}"], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, check=True).stdout  # stderr in newer HarfBuzz
    table, ran, calls = "", [], {}
    skipped = False
    for line in out.splitlines():
        words = line[len("trace: "):].split("\t")[0].split()
        if not line.startswith("trace: ") or len(words) < 3:
            continue
        if words[:2] == ["start", "table"]:
            table = words[2]
        elif words[:2] == ["start", "lookup"]:
            skipped, calls = False, {}
        elif words[:2] == ["skipped", "lookup"]:
            skipped = True
        elif words[:3] == ["recursing", "to", "lookup"] or words[:4] == ["start", "recursing", "to", "lookup"]:
            calls.setdefault(int(words[words.index("lookup") + 1]))
        elif words[:2] == ["end", "lookup"] and not skipped:
            ran.append((f"{table} lookup {words[2]}", tuple(calls)))
    return ran


@pytest.mark.parametrize("name, text", [("NotoSansDevanagari-Regular.ttf", "\u0915\u094d\u0937\u0924\u094d\u0930\u093f\u092f"),
                                        ("NotoNaskhArabic-Regular.ttf", "\u0628\u0650\u0633\u0652\u0645\u0650 \u0627\u0644\u0644\u0651\u064e\u0647\u0650")])
def test_a_contextual_lookup_names_the_lookups_it_called_as_hb_shape_traces_them(name, text):
    import tesvo

    font_bytes(name)
    result = tesvo.Font(NOTO / name).shape(text, trace=True)
    ours = [(" ".join(s.name.split()[:3]), s.nested) for s in result.stages if s.name.split()[1:2] == ["lookup"]]
    theirs = hb_lookup_calls(NOTO / name, text)
    assert theirs and ours == theirs
