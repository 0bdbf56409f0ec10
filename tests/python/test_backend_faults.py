"""Fault injection through the scriptable test backend: every entry point failing in turn,
with each kind of HRESULT, at each item; counts that break the contract; failures at each
step of a request. Each ends with its documented message, the request's script cache is
freed and the port's font bytes cleared exactly when the design says, and no script cache
outlives its request."""

import pytest

from conftest import PANIC, TEXTSHAPING, default_glyphs

TEXT = "abcdef"
THREE_ITEMS = "item pos=0; item pos=2; item pos=4"
LATN = "0x6e74616c"
HRESULTS = [
    ("E_INVALIDARG", "E_INVALIDARG (0x80070057)"),
    ("E_FAIL", "HRESULT error (0x80004005)"),
    ("E_PENDING", "HRESULT error (0x8000000A)"),
    ("0x80004001", "HRESULT error (0x80004001)"),
    ("1", "HRESULT error (0x00000001)"),  # S_FALSE: success with a note, still not S_OK
    ("0x7fffffff", "HRESULT error (0x7FFFFFFF)"),
    ("-1", "HRESULT error (0xFFFFFFFF)"),
]


def shaped_items(fake):
    return [int(e["k"]) for e in fake.calls("shape")]


def assert_released_once_at_the_end(fake):
    names = fake.call_names()
    assert names.count("free") == 1 and names.count("clearfont") == 1, names
    assert names[-2:] == ["free", "clearfont"], names
    assert fake.live_caches() == 0


@pytest.mark.parametrize("hr, named", HRESULTS + [("E_OUTOFMEMORY", "E_OUTOFMEMORY (0x8007000E)")])
def test_itemize_failure(engine, fake, hr, named):
    fake.configure(f"{THREE_ITEMS}; itemize hr={hr}")
    assert engine.error(TEXT, fake) == f"ScriptItemizeOpenType: {named}"
    assert fake.call_names() == ["setfont", "itemize", "free", "clearfont"]
    assert fake.live_caches() == 0


@pytest.mark.parametrize("item", [0, 1, 2])
@pytest.mark.parametrize("hr, named", HRESULTS)
def test_shape_failure_at_each_item(engine, fake, item, hr, named):
    fake.configure(f"{THREE_ITEMS}; shape at={item} hr={hr}")
    assert engine.error(TEXT, fake) == f"ScriptShapeOpenType tag={LATN}: {named}"
    assert shaped_items(fake) == list(range(item + 1))
    assert [int(e["k"]) for e in fake.calls("place")] == list(range(item))
    assert_released_once_at_the_end(fake)


@pytest.mark.parametrize("item", [0, 2])
def test_shape_out_of_memory_at_every_size(engine, fake, item):
    fake.configure(f"{THREE_ITEMS}; shape at={item} hr=E_OUTOFMEMORY")
    assert engine.error(TEXT, fake, trace=True) == "ScriptShapeOpenType: glyph buffer overflow"
    sizes = [int(e["max"]) for e in fake.calls("shape") if int(e["k"]) == item]
    assert sizes == [16 * 2 ** i for i in range(14)]
    assert_released_once_at_the_end(fake)


@pytest.mark.parametrize("item", [0, 1, 2])
@pytest.mark.parametrize("hr, named", HRESULTS + [("E_OUTOFMEMORY", "E_OUTOFMEMORY (0x8007000E)")])
def test_place_failure_at_each_item(engine, fake, item, hr, named):
    fake.configure(f"{THREE_ITEMS}; place at={item} hr={hr}")
    assert engine.error(TEXT, fake) == f"ScriptPlaceOpenType: {named}"
    assert [int(e["k"]) for e in fake.calls("place")] == list(range(item + 1))
    assert shaped_items(fake) == list(range(item + 1))
    assert_released_once_at_the_end(fake)


@pytest.mark.parametrize("item", [0, 1, 2])
@pytest.mark.parametrize("hr", [h for h, _ in HRESULTS] + ["E_OUTOFMEMORY"])
def test_font_script_tags_failure_falls_back_to_the_itemizer_tag(engine, fake, item, hr):
    fake.configure(f"{THREE_ITEMS}; tags at={item} hr={hr} list=arab")
    doc = engine.shape(TEXT, fake)
    assert doc["final"] == default_glyphs(TEXT)
    scripts = [e["script"] for e in fake.calls("shape")]
    assert scripts[item] == "0x6e74616c"
    assert_released_once_at_the_end(fake)


@pytest.mark.parametrize("rc", [1, 2, -1, -2147483648, 2147483647])
def test_font_bytes_refused_calls_nothing_else(engine, fake, rc):
    fake.configure(f"fontbytes rc={rc}")
    assert engine.error(TEXT, fake) == f"usp_set_font_bytes failed (rc={rc})"
    assert fake.call_names() == ["setfont"]


# ---- counts that break the contract: contained, and still released ----


@pytest.mark.parametrize("script", [
    "itemize count=2147483647",
    "itemize count=22",  # six code units: 20 items and the closing entry fit, not 22
    "shape count=-1",
    "shape count=2147483647",
    "shape at=2 count=-2147483648",
    "shape at=1 count=17",  # a two-unit item gets a buffer of 16 glyphs
])
def test_contract_violations_are_contained_and_released(engine, fake, script):
    fake.configure(f"{THREE_ITEMS}; {script}")
    assert engine.error(TEXT, fake, trace=True) == PANIC
    assert_released_once_at_the_end(fake)
    # The process and the port go on: the next request shapes.
    fake.configure()
    assert engine.shape("ab", fake)["final"] == default_glyphs("ab")


@pytest.mark.parametrize("script", [
    "itemize count=-1",
    "itemize count=0",
])
def test_item_counts_without_glyphs(engine, fake, script):
    fake.configure(f"{THREE_ITEMS}; {script}")
    assert engine.error(TEXT, fake) == "no glyphs produced"
    assert_released_once_at_the_end(fake)


def test_closing_entry_before_the_last_item_drops_only_that_item(engine, fake):
    fake.configure(f"{THREE_ITEMS}; itemize close=-5")
    assert engine.shape(TEXT, fake)["final"] == default_glyphs("abcd")
    assert shaped_items(fake) == [0, 1]
    assert_released_once_at_the_end(fake)


def test_log_clusters_pointing_anywhere_are_not_a_fault(engine, fake):
    fake.configure("shape clust=65535,40000,0,9,1,2")
    doc = engine.shape(TEXT, fake)
    assert [g["cl"] for g in doc["final"]] == [2, 4, 5, 5, 5, 5]
    assert_released_once_at_the_end(fake)


# ---- trace stages that fail ----


@pytest.mark.parametrize("stage", [
    "stage name=x glyphs=1 rc=1",
    "stage name=x glyphs=1 rc=-1",
    "stage name=x glyphs=1 count=0",
    "stage name=x glyphs=1 count=-7",
    "stage name=x glyphs=1 null",
])
def test_undeliverable_stage_is_skipped(engine, fake, stage):
    fake.configure(f"{THREE_ITEMS}; {stage}; stage name=ok glyphs=5")
    doc = engine.shape(TEXT, fake, trace=True)
    assert [s["m"] for s in doc["stages"]] == [f"vantor lookup ok (item {i})" for i in range(3)]
    assert fake.call_names().count("tstop") == 3
    assert_released_once_at_the_end(fake)


@pytest.mark.parametrize("n", [-1, -2147483648, 0])
def test_stage_count_of_none_still_stops_the_trace(engine, fake, n):
    fake.configure(f"{THREE_ITEMS}; stage name=x glyphs=1; tracecount n={n}")
    doc = engine.shape(TEXT, fake, trace=True)
    assert len(doc["stages"]) == 3
    assert fake.call_names().count("tstop") == 3
    assert fake.call_names().count("tstage") == 0


def test_stage_name_without_terminator_and_with_bad_utf8(engine, fake):
    fake.configure("stage name=" + "\\xff" * 64 + " glyphs=1")
    doc = engine.shape("a", fake, trace=True)
    assert doc["stages"][0]["m"] == "vantor lookup " + "\ufffd" * 64 + " (item 0)"


# ---- each step of a request failing in turn ----


@pytest.mark.parametrize("kw, message, port_calls", [
    (dict(data=None, textshaping=True), TEXTSHAPING, []),
    (dict(features="liga=x"), 'bad feature "liga=x": feature value "x" must be a non-negative '
                              "integer or on/off", []),
    (dict(features="liga"), None, []),
    (dict(text=""), "empty text", []),
    (dict(script_line="fontbytes rc=3"), "usp_set_font_bytes failed (rc=3)", ["setfont"]),
    (dict(script_line="itemize hr=E_FAIL"), "ScriptItemizeOpenType: HRESULT error (0x80004005)",
     ["setfont", "itemize", "free", "clearfont"]),
])
def test_failure_at_each_step_releases_what_the_step_took(engine, fake, kw, message, port_calls):
    kw = dict(kw)
    fake.configure(kw.pop("script_line", ""))
    text = kw.pop("text", "ab")
    if kw.get("data", 1) is None:
        kw.pop("data")
    got = engine.error(text, fake, **kw)
    if message is None:
        assert got.startswith('features "liga" cannot be applied by the loaded Wine Uniscribe port')
    else:
        assert got == message
    assert fake.call_names() == port_calls
    assert fake.live_caches() == 0
