"""The port's per-lookup trace read back into stage entries and messages."""

import pytest

from conftest import TAG_LATN, default_glyphs, glyph

TRACE_LINE = "vantor per-lookup trace: {} stages (cmap + GSUB lookups + final)"


def item_message(i, start, end, count, rtl=False):
    suffix = " (RTL, visual order out)" if rtl else ""
    return (f"Uniscribe item {i}: script 1 tag {TAG_LATN:#010x} chars {start}..{end} "
            f"-> {count} glyphs{suffix}")


def entry(name, item, records):
    return {"depth": 0, "effective": True, "glyphs": records,
            "m": f"vantor lookup {name} (item {item})"}


def bare(g, cl):
    return glyph(g, cl)


def test_untraced_request_touches_no_trace_export(engine, fake):
    fake.configure("stage name=cmap glyphs=1,2")
    doc = engine.shape("ab", fake)
    assert not {"tbegin", "tcount", "tstage", "tstop"} & set(fake.call_names())
    assert doc["messages"] == [item_message(0, 0, 2, 2)]
    assert len(doc["stages"]) == 1 and doc["stages"][0]["m"].startswith("Uniscribe shape item")


def test_stages_replace_item_entry_with_cluster_rules(engine, fake):
    fake.configure("stage name=cmap glyphs=1,2,3; stage name=liga glyphs=4,5; "
                   "stage name=final glyphs=6")
    doc = engine.shape("ab", fake, trace=True)
    assert doc["stages"] == [
        entry("cmap", 0, [bare(1, 0), bare(2, 0), bare(3, 1)]),
        entry("liga", 0, [bare(4, 0), bare(5, 1)]),
        entry("final", 0, [bare(6, 0)]),
    ]
    assert doc["messages"] == [item_message(0, 0, 2, 2), TRACE_LINE.format(3)]
    assert doc["final"] == default_glyphs("ab")
    names = fake.call_names()
    assert names == ["setfont", "itemize", "tags", "tbegin", "shape", "tcount", "tstage",
                     "tstage", "tstage", "tstop", "place", "free", "clearfont"]
    stages = fake.calls("tstage")
    assert [(s["i"], s["cap"], s["zero"]) for s in stages] == [(str(i), "64", "1")
                                                               for i in range(3)]


def test_stage_of_final_glyph_count_takes_final_clusters(engine, fake):
    # The final clusters here follow the nearest-pointed-glyph rule: 1, 0.
    fake.configure("shape glyphs=8,9 clust=1,1; stage name=s glyphs=30,31")
    doc = engine.shape("ab", fake, trace=True)
    assert [g["cl"] for g in doc["final"]] == [1, 0]
    assert doc["stages"] == [entry("s", 0, [bare(30, 1), bare(31, 0)])]


def test_stage_clusters_spread_over_item_and_made_absolute(engine, fake):
    fake.configure("item pos=0; item pos=10; stage at=1 name=s glyphs=1,2")
    doc = engine.shape("x" * 15, fake, trace=True)
    assert doc["stages"][0]["m"].startswith("Uniscribe shape item 0")
    assert doc["stages"][1] == entry("s", 1, [bare(1, 10), bare(2, 12)])
    assert doc["messages"] == [item_message(0, 0, 10, 10), item_message(1, 10, 15, 5),
                               TRACE_LINE.format(1)]


def test_right_to_left_stage_reversed(engine, fake):
    fake.configure("stage name=s glyphs=1,2,3,4")
    doc = engine.shape("abc", fake, trace=True, direction="rtl")
    assert doc["stages"] == [entry("s", 0, [bare(4, 2), bare(3, 1), bare(2, 0), bare(1, 0)])]
    assert doc["final"] == default_glyphs("abc", rtl=True)


def test_undeliverable_stages_are_skipped_and_not_counted(engine, fake):
    fake.configure("stage name=a glyphs=1; stage name=rc glyphs=2 rc=1; "
                   "stage name=zero glyphs=3 count=0; stage name=neg glyphs=4 count=-1; "
                   "stage name=null glyphs=5 null; stage name=b glyphs=6")
    doc = engine.shape("a", fake, trace=True)
    assert doc["stages"] == [entry("a", 0, [bare(1, 0)]), entry("b", 0, [bare(6, 0)])]
    assert doc["messages"][1] == TRACE_LINE.format(2)


@pytest.mark.parametrize("raw, shown", [
    (b"x" * 64, "x" * 64),
    (b"y" * 70, "y" * 64),
    (b"cmap\x00junk", "cmap"),
    (b"lookup\x00", "lookup"),
    (b"a\xffb", "a\ufffdb"),
    (b"\xe2\x82z", "\ufffdz"),
    (b"\xed\xa0\x80", "\ufffd\ufffd\ufffd"),
    (b"a" * 63 + "\u00e9".encode(), "a" * 63 + "\ufffd"),
    ("GSUB lookup 3 \u00e9".encode(), "GSUB lookup 3 \u00e9"),
    (b'q"\\\t', 'q"\\\t'),
])
def test_stage_name_taken_up_to_nul_and_decoded_with_replacement(engine, fake, raw, shown):
    escaped = "".join(f"\\x{b:02x}" for b in raw)
    fake.configure(f"stage name={escaped} glyphs=7")
    doc = engine.shape("a", fake, trace=True)
    assert doc["stages"] == [entry(shown, 0, [bare(7, 0)])]


@pytest.mark.parametrize("count", [0, -2])
def test_no_stage_count_gives_item_entry_and_still_stops(engine, fake, count):
    fake.configure(f"stage name=s glyphs=1; tracecount n={count}")
    doc = engine.shape("ab", fake, trace=True)
    assert doc["messages"] == [item_message(0, 0, 2, 2)]
    assert [s["m"] for s in doc["stages"]] == [
        f"Uniscribe shape item 0 (script 1, tag {TAG_LATN:#010x})"]
    names = fake.call_names()
    assert "tstage" not in names
    assert names.index("tcount") < names.index("tstop") < names.index("place")


def test_count_beyond_delivered_stages_skips_the_rest(engine, fake):
    fake.configure("stage name=s glyphs=1; tracecount n=3")
    doc = engine.shape("a", fake, trace=True)
    assert doc["stages"] == [entry("s", 0, [bare(1, 0)])]
    assert [s["i"] for s in fake.calls("tstage")] == ["0", "1", "2"]


def test_retry_keeps_only_stages_of_successful_attempt(engine, fake):
    fake.configure("shape need=40; stage name=s glyphs=3")
    doc = engine.shape("a", fake, trace=True)
    assert doc["stages"] == [entry("s", 0, [bare(3, 0)])]
    assert fake.call_names().count("tbegin") == 3


def test_items_without_stages_keep_their_entry(engine, fake):
    fake.configure("item pos=0; item pos=1; item pos=2; stage at=1 name=s glyphs=9")
    doc = engine.shape("abc", fake, trace=True)
    assert [s["m"] for s in doc["stages"]] == [
        f"Uniscribe shape item 0 (script 1, tag {TAG_LATN:#010x})",
        "vantor lookup s (item 1)",
        f"Uniscribe shape item 2 (script 1, tag {TAG_LATN:#010x})"]
    assert doc["messages"] == [item_message(0, 0, 1, 1), item_message(1, 1, 2, 1),
                               TRACE_LINE.format(1), item_message(2, 2, 3, 1)]
    assert fake.call_names().count("tbegin") == 3
    assert fake.call_names().count("tstop") == 3


def test_failed_shaping_is_not_read_back(engine, fake):
    fake.configure("shape hr=E_FAIL; stage name=s glyphs=1")
    engine.error("a", fake, trace=True)
    assert fake.call_names() == ["setfont", "itemize", "tags", "tbegin", "shape", "free",
                                 "clearfont"]
