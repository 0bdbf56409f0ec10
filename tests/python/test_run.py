"""Itemizing, shaping and placing through the backend: buffer sizes, retries, script
tags, arguments of every call, item bounds, clusters and right-to-left order."""

import pytest

from conftest import PANIC, TAG_DFLT, TAG_LATN, default_glyphs, glyph, tag

LOGICAL_ORDER = 0x4000


def item_message(i, start, end, count, script=1, tag_value=TAG_LATN, rtl=False):
    suffix = " (RTL, visual order out)" if rtl else ""
    return (f"Uniscribe item {i}: script {script} tag {tag_value:#010x} chars {start}..{end} "
            f"-> {count} glyphs{suffix}")


def item_label(i, script=1, tag_value=TAG_LATN):
    return f"Uniscribe shape item {i} (script {script}, tag {tag_value:#010x})"


def items(*positions):
    return "; ".join(f"item pos={p}" for p in positions)


def hexval(value):
    return int(value, 16)


# ---- itemization ----


@pytest.mark.parametrize("text, units, max_items", [
    ("a", 1, 16), ("abcd", 4, 16), ("abcde", 5, 18), ("a" * 8, 8, 24), ("a" * 40, 40, 88),
    ("\U0001f600\U0001f600\U0001f600", 6, 20),
])
def test_itemize_once_with_item_buffer_from_text_length(engine, fake, text, units, max_items):
    engine.shape(text, fake)
    calls = fake.calls("itemize")
    assert len(calls) == 1
    assert (calls[0]["n"], calls[0]["max"]) == (str(units), str(max_items))
    assert (calls[0]["pc"], calls[0]["items"], calls[0]["tags"]) == ("0", "1", "1")


@pytest.mark.parametrize("hr, named", [
    ("E_INVALIDARG", "E_INVALIDARG (0x80070057)"),
    ("E_OUTOFMEMORY", "E_OUTOFMEMORY (0x8007000E)"),
    ("E_FAIL", "HRESULT error (0x80004005)"),
    ("0x80040200", "HRESULT error (0x80040200)"),
    ("1", "HRESULT error (0x00000001)"),
])
def test_itemize_failure_names_the_code_and_shapes_nothing(engine, fake, hr, named):
    fake.configure(f"itemize hr={hr}")
    assert engine.error("abc", fake) == f"ScriptItemizeOpenType: {named}"
    assert fake.call_names() == ["setfont", "itemize", "free", "clearfont"]


@pytest.mark.parametrize("count", [0, -3])
def test_no_items_produce_no_glyphs(engine, fake, count):
    fake.configure(f"itemize count={count}")
    assert engine.error("abc", fake) == "no glyphs produced"
    assert fake.calls("tags") == []


def test_item_count_of_item_buffer_plus_one_is_accepted(engine, fake):
    # "ab": cMaxItems 16, so the item array has 17 entries and no room for a closing
    # entry after item 16, whose end is then the end of the text.
    fake.configure("itemize count=17; item pos=0; " + items(*[1] * 16))
    doc = engine.shape("ab", fake)
    assert doc["messages"] == [item_message(0, 0, 1, 1), item_message(16, 1, 2, 1)]
    assert doc["final"] == default_glyphs("ab")


@pytest.mark.parametrize("script, text", [
    ("itemize count=18; item pos=0; " + items(*[1] * 17), "ab"),
    ("shape count=-1", "a"),
    ("shape count=17", "a"),
    ("item pos=0; item pos=3; shape at=1 count=-2", "abcdef"),
])
def test_backend_count_outside_its_buffer_is_contained_as_panic(engine, fake, script, text):
    fake.configure(script)
    assert engine.error(text, fake) == PANIC


def test_glyph_count_equal_to_buffer_is_accepted(engine, fake):
    fake.configure("shape count=16")
    doc = engine.shape("a", fake)
    assert len(doc["final"]) == 16
    assert doc["final"][0] == glyph(97, 0, ax=197)
    assert doc["final"][1:] == [glyph(0, 0, ax=100)] * 15


# ---- item bounds ----


@pytest.mark.parametrize("script, spans", [
    (items(0, 2, 4), [(0, 0, 2), (1, 2, 4), (2, 4, 6)]),
    (items(0, 2, 2, 4), [(0, 0, 2), (2, 2, 4), (3, 4, 6)]),
    (items(-5, 3), [(0, 0, 3), (1, 3, 6)]),
    (items(0, 10), [(0, 0, 6)]),
    (items(0, 4, 2), [(0, 0, 4), (2, 2, 6)]),
    ("itemize close=3", [(0, 0, 3)]),
    ("itemize close=99", [(0, 0, 6)]),
    (items(0, 3) + "; itemize close=-1", [(0, 0, 3)]),
])
def test_item_bounds_clamped_and_empty_items_skipped(engine, fake, script, spans):
    fake.configure(script)
    doc = engine.shape("abcdef", fake)
    assert doc["messages"] == [item_message(i, s, e, e - s) for i, s, e in spans]
    assert doc["stages"] == [
        {"depth": 0, "effective": True, "m": item_label(i),
         "glyphs": default_glyphs("abcdef"[s:e], start=s)} for i, s, e in spans]
    assert [c["off"] for c in fake.calls("shape")] == [str(s) for _, s, _ in spans]
    assert [c["n"] for c in fake.calls("shape")] == [str(e - s) for _, s, e in spans]
    assert len(fake.calls("tags")) == len(spans)


@pytest.mark.parametrize("script", ["itemize close=-1", items(7, 9)])
def test_only_empty_items_produce_no_glyphs(engine, fake, script):
    fake.configure(script)
    assert engine.error("abcdef", fake) == "no glyphs produced"
    assert fake.calls("tags") == []


# ---- script tag ----


@pytest.mark.parametrize("script, chosen", [
    ("", TAG_LATN),
    ("tags list=arab", tag("arab")),
    ("tags list=arab,cyrl", tag("arab")),
    ("tags hr=E_FAIL list=arab", TAG_LATN),
    ("tags hr=1 list=arab", TAG_LATN),
    ("tags count=0 list=arab", TAG_LATN),
    ("tags count=-1 list=arab", TAG_LATN),
    ("tags list=0,arab", TAG_LATN),
    ("item pos=0 tag=0", TAG_DFLT),
    ("item pos=0 tag=0; tags hr=E_FAIL list=arab", TAG_DFLT),
    ("item pos=0 tag=0; tags list=hebr", tag("hebr")),
])
def test_script_tag_from_font_else_itemizer_else_dflt(engine, fake, script, chosen):
    fake.configure(script)
    doc = engine.shape("abc", fake)
    assert doc["messages"] == [item_message(0, 0, 3, 3, tag_value=chosen)]
    assert doc["stages"][0]["m"] == item_label(0, tag_value=chosen)
    for call in fake.calls("shape") + fake.calls("place"):
        assert hexval(call["script"]) == chosen


def test_script_tag_chosen_per_item(engine, fake):
    fake.configure("item pos=0 tag=cyrl script=8; item pos=1 tag=grek script=9; "
                   "item pos=2 tag=0 script=10; tags at=1 list=latn")
    doc = engine.shape("abc", fake)
    assert doc["messages"] == [
        item_message(0, 0, 1, 1, script=8, tag_value=tag("cyrl")),
        item_message(1, 1, 2, 1, script=9, tag_value=TAG_LATN),
        item_message(2, 2, 3, 1, script=10, tag_value=TAG_DFLT),
    ]
    assert [hexval(c["script"]) for c in fake.calls("shape")] == [tag("cyrl"), TAG_LATN,
                                                                  TAG_DFLT]


@pytest.mark.parametrize("script, failing_tag", [
    ("", TAG_LATN), ("tags list=arab", tag("arab")), ("item pos=0 tag=0", TAG_DFLT),
])
@pytest.mark.parametrize("hr, named", [
    ("E_INVALIDARG", "E_INVALIDARG (0x80070057)"),
    ("E_FAIL", "HRESULT error (0x80004005)"),
    ("E_PENDING", "HRESULT error (0x8000000A)"),
])
def test_shape_failure_names_tag_and_code(engine, fake, script, failing_tag, hr, named):
    fake.configure(f"{script}; shape hr={hr}")
    assert engine.error("abc", fake) == f"ScriptShapeOpenType tag={failing_tag:#010x}: {named}"
    assert len(fake.calls("shape")) == 1
    assert fake.calls("place") == []


# ---- glyph buffer ----


@pytest.mark.parametrize("chars, max_glyphs", [(1, 16), (2, 16), (3, 17), (4, 20), (10, 38)])
def test_glyph_buffer_starts_at_three_per_char_plus_eight(engine, fake, chars, max_glyphs):
    engine.shape("x" * chars, fake)
    assert fake.calls("shape")[0]["max"] == str(max_glyphs)


def test_glyph_buffer_sized_per_item(engine, fake):
    fake.configure(items(0, 2))
    engine.shape("abcdef", fake)
    assert [c["max"] for c in fake.calls("shape")] == ["16", "20"]


@pytest.mark.parametrize("text, sizes", [
    ("a", [16 << k for k in range(14)]),
    ("abc", [17 << k for k in range(13)]),
])
@pytest.mark.parametrize("trace", [False, True])
def test_out_of_memory_doubles_buffer_until_overflow(engine, fake, text, sizes, trace):
    fake.configure("shape hr=E_OUTOFMEMORY")
    assert engine.error(text, fake, trace=trace) == "ScriptShapeOpenType: glyph buffer overflow"
    assert [int(c["max"]) for c in fake.calls("shape")] == sizes
    names = [n for n in fake.call_names() if n in ("tbegin", "shape")]
    if trace:
        assert names == ["tbegin", "shape"] * len(sizes)
    else:
        assert names == ["shape"] * len(sizes)
    assert fake.calls("place") == []


def test_out_of_memory_retry_succeeds_with_larger_buffer(engine, fake):
    fake.configure("shape need=40 glyphs=5,6,7 clust=0,2")
    doc = engine.shape("ab", fake)
    assert [c["max"] for c in fake.calls("shape")] == ["16", "32", "64"]
    assert doc["final"] == [glyph(5, 0, ax=105), glyph(6, 0, ax=106), glyph(7, 1, ax=107)]
    place = fake.calls("place")
    assert len(place) == 1 and place[0]["g"] == "5,6,7" and place[0]["cg"] == "3"


def test_other_failure_after_retry_is_named_with_its_tag(engine, fake):
    fake.configure("shape hrseq=E_OUTOFMEMORY,E_FAIL")
    message = engine.error("abc", fake)
    assert message == f"ScriptShapeOpenType tag={TAG_LATN:#010x}: HRESULT error (0x80004005)"
    assert [c["max"] for c in fake.calls("shape")] == ["17", "34"]


@pytest.mark.parametrize("hr, named", [
    ("E_OUTOFMEMORY", "E_OUTOFMEMORY (0x8007000E)"),
    ("E_INVALIDARG", "E_INVALIDARG (0x80070057)"),
    ("-1", "HRESULT error (0xFFFFFFFF)"),
])
def test_place_failure_is_not_retried(engine, fake, hr, named):
    fake.configure(f"place hr={hr}")
    assert engine.error("abc", fake) == f"ScriptPlaceOpenType: {named}"
    assert len(fake.calls("place")) == 1


# ---- arguments of every call ----


def test_call_arguments_for_left_to_right_items(engine, fake):
    fake.configure("item pos=0 script=3; item pos=2 script=4 tag=grek; tags at=1 list=cyrl")
    engine.shape("abcde", fake)
    tags, shapes, places = fake.calls("tags"), fake.calls("shape"), fake.calls("place")
    assert [t["a"] for t in tags] == ["0x00000003", "0x00000004"]
    for t in tags:
        assert (t["hdc"], t["max"], t["pc"], t["zero"]) == ("0", "8", "0", "1")
    for call, t, (start, count) in zip(shapes, tags, [(0, 2), (2, 3)]):
        assert hexval(call["a"]) == hexval(t["a"]) | LOGICAL_ORDER
        assert (call["hdc"], call["lang"], call["pc"]) == ("0", f"{TAG_DFLT:#010x}", "0")
        assert (call["ranges"], call["rc"], call["rp"]) == ("0", "null", "null")
        assert (call["off"], call["n"]) == (str(start), str(count))
    for place, shape in zip(places, shapes):
        for key in ("hdc", "a", "script", "lang", "ranges", "rc", "rp", "off", "n"):
            assert place[key] == shape[key], key
        assert place["abc"] == "null"
        assert place["cg"] == shape["count"]
    assert [p["g"] for p in places] == ["97,98", "99,100,101"]
    assert [p["clust"] for p in places] == ["0,1", "0,1,2"]
    assert [hexval(s["script"]) for s in shapes] == [TAG_LATN, tag("cyrl")]


def test_call_arguments_for_right_to_left_item(engine, fake):
    engine.shape("abc", fake, direction="rtl")
    tags, shape = fake.calls("tags")[0], fake.calls("shape")[0]
    # eScript 1, fRTL, and the state with level 1 and fArabicNumContext.
    assert tags["a"] == "0x08010401"
    assert shape["a"] == "0x08014401"
    assert fake.calls("place")[0]["a"] == "0x08014401"


def test_call_sequence_per_item(engine, fake):
    fake.configure(items(0, 1))
    engine.shape("ab", fake)
    assert fake.call_names() == ["setfont", "itemize", "tags", "shape", "place", "tags",
                                 "shape", "place", "free", "clearfont"]


# ---- clusters ----


@pytest.mark.parametrize("text, glyphs, clust, clusters", [
    ("ab", "1,2,3", "0,2", [0, 0, 1]),
    ("ab", "7", "0,0", [0]),
    ("ab", "1,2", "1,1", [1, 0]),
    ("abc", "1,2", "1,0,0", [1, 0]),
    ("ab", "1,2", "9,0", [1, 1]),
    ("abc", "1,2,3,4", "0,0,2", [0, 0, 2, 2]),
    ("abcd", "1,2,3", "1,1,2,2", [3, 0, 2]),
    ("abc", "1,2,3", "0,0,0", [0, 0, 0]),
    ("abc", "1,2,3", "2,1,0", [2, 1, 0]),
])
def test_cluster_is_first_char_of_nearest_pointed_glyph_at_or_below(
        engine, fake, text, glyphs, clust, clusters):
    ids = [int(g) for g in glyphs.split(",")]
    fake.configure(f"item pos=0; item pos=2; shape at=1 glyphs={glyphs} clust={clust}")
    doc = engine.shape("xy" + text, fake)
    expected = [glyph(g, 2 + c, ax=100 + g) for g, c in zip(ids, clusters)]
    assert doc["final"] == default_glyphs("xy") + expected
    assert doc["stages"][1]["glyphs"] == expected


def test_clusters_count_utf16_code_units(engine, fake):
    text = "a\U0001f600b\u00e9"
    doc = engine.shape(text, fake)
    assert doc["final"] == default_glyphs(text)
    assert [g["cl"] for g in doc["final"]] == [0, 1, 2, 3, 4]
    assert doc["messages"] == [item_message(0, 0, 5, 5)]


# ---- right-to-left ----


def test_right_to_left_item_comes_out_reversed_with_absolute_clusters(engine, fake):
    fake.configure("item pos=0 level=0; item pos=2 level=1 script=5 tag=arab; "
                   "shape at=1 glyphs=10,11,12 clust=0,0,2")
    doc = engine.shape("abcde", fake)
    rtl = [glyph(12, 4, ax=112), glyph(11, 2, ax=111), glyph(10, 2, ax=110)]
    assert doc["final"] == default_glyphs("ab") + rtl
    assert doc["messages"][1] == item_message(1, 2, 5, 3, script=5, tag_value=tag("arab"),
                                              rtl=True)
    assert doc["stages"][1]["glyphs"] == rtl


def test_right_to_left_text_default_shaping_in_visual_order(engine, fake):
    doc = engine.shape("abc", fake, direction="rtl")
    assert doc["final"] == default_glyphs("abc", rtl=True)
    assert doc["messages"] == [item_message(0, 0, 3, 3, rtl=True)]


def test_items_keep_logical_order_only_rtl_items_reversed(engine, fake):
    fake.configure("item pos=0 level=1 script=5; item pos=2 level=2 script=6; "
                   "item pos=4 level=1 script=5")
    doc = engine.shape("abcdef", fake, direction="rtl")
    assert doc["final"] == (default_glyphs("ab", rtl=True) + default_glyphs("cd", start=2)
                            + default_glyphs("ef", start=4, rtl=True))
    assert [m.endswith("(RTL, visual order out)") for m in doc["messages"]] == [True, False,
                                                                                True]


# ---- zero glyphs ----


def test_item_with_zero_glyphs_is_placed_reported_and_adds_nothing(engine, fake):
    fake.configure(items(0, 2) + "; shape at=0 glyphs=")
    doc = engine.shape("abcd", fake)
    assert doc["messages"] == [item_message(0, 0, 2, 0), item_message(1, 2, 4, 2)]
    assert doc["stages"][0] == {"depth": 0, "effective": True, "glyphs": [],
                                "m": item_label(0)}
    assert doc["final"] == default_glyphs("cd", start=2)
    assert [p["cg"] for p in fake.calls("place")] == ["0", "2"]


def test_all_items_with_zero_glyphs_produce_no_glyphs(engine, fake):
    fake.configure(items(0, 2) + "; shape glyphs=")
    assert engine.error("abcd", fake) == "no glyphs produced"
    assert len(fake.calls("place")) == 2
    assert fake.call_names()[-2:] == ["free", "clearfont"]


# ---- item messages and entries ----


def test_item_message_and_entry_show_escript_tag_and_span(engine, fake):
    fake.configure("item pos=0 script=1023 tag=zzzz")
    doc = engine.shape("abc", fake)
    assert doc["messages"] == [item_message(0, 0, 3, 3, script=1023, tag_value=tag("zzzz"))]
    assert doc["stages"] == [{"depth": 0, "effective": True, "glyphs": doc["final"],
                              "m": item_label(0, script=1023, tag_value=tag("zzzz"))}]
