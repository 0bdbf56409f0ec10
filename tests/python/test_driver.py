"""One request from options to outcome: order of the checks, pauses, direction, the font
bytes handed to the port, and the release of the backend's per-request state."""

import os
import time

import pytest

from conftest import (NO_FONT_BYTES, PANIC, TEXTSHAPING, default_glyphs, run_in_thread,
                      wait_for)

MISSING = "/nonexistent/libtesvo-missing.so"
DLOPEN_MISSING = f"dlopen({MISSING}) failed (libvantor not built?)"
REFUSAL = (
    'features "{}" cannot be applied by the loaded Wine Uniscribe port: its '
    'ScriptShapeOpenType/ScriptPlaceOpenType log "Ranges not supported yet" and drop the '
    "OPENTYPE_FEATURE_RECORD array, so the result would silently ignore them. Use "
    "backend='usp10' (system Uniscribe) or backend='textshaping' for feature selection."
)
BAD_X = 'bad feature "liga=x": feature value "x" must be a non-negative integer or on/off'


def test_unreadable_font_wins_over_textshaping(engine, fake, monkeypatch):
    # The pause comes first; the staged file is removed while the request sleeps.
    monkeypatch.setenv("TESVO_PRESLEEP_MS", "400")
    thread, box = run_in_thread(engine.raw, "abc", fake, textshaping=True)
    assert wait_for(engine.leftovers)
    staged = engine.tmpdir / engine.leftovers()[0]
    staged.unlink()
    thread.join(10)
    assert isinstance(box.get("error"), RuntimeError), box
    assert str(box["error"]) == f"read font {staged}: No such file or directory (os error 2)"
    assert fake.raw_log() == ""


# (backend variant or None for a missing library, keyword arguments, text, message)
ORDER = [
    (None, {"textshaping": True}, "abc", TEXTSHAPING),
    ("fake_port", {"textshaping": True, "features": "liga=x"}, "", TEXTSHAPING),
    (None, {"features": "liga=x"}, "", DLOPEN_MISSING),
    ("fake_itemize_only", {"features": "liga=x"}, "", "ScriptShapeOpenType missing in module"),
    ("fake_port", {"features": "liga=x"}, "", BAD_X),
    ("fake_plain", {"features": "liga=x"}, "abc", BAD_X),
    ("fake_port", {"features": "liga"}, "", REFUSAL.format("liga")),
    ("fake_notrace", {"features": " liga , -kern "}, "abc", REFUSAL.format(" liga , -kern ")),
    ("fake_port", {"features": 'a"b,\tkern=2'}, "abc", REFUSAL.format('a"b,\tkern=2')),
    ("fake_port", {}, "", "empty text"),
    ("fake_plain", {}, "", "empty text"),
    ("fake_plain", {"features": "liga"}, "", "empty text"),
    ("fake_plain", {"features": "liga"}, "abc", NO_FONT_BYTES),
    ("fake_plain", {}, "abc", NO_FONT_BYTES),
]


@pytest.mark.parametrize("variant, kwargs, text, message", ORDER)
def test_first_failing_check_decides_message_and_backend_is_untouched(
        engine, make_fake, variant, kwargs, text, message):
    fake = make_fake(variant or "fake_port")
    usp10 = fake.path if variant else MISSING
    assert engine.error(text, usp10=usp10, **kwargs) == message
    assert fake.raw_log() == ""


@pytest.mark.parametrize("features", [", ,", " ", "", ",\u3000,"])
def test_features_that_parse_to_nothing_let_the_request_proceed(engine, fake, features):
    assert engine.shape("ab", fake, features=features)["final"] == default_glyphs("ab")
    shape = fake.calls("shape")[0]
    assert (shape["ranges"], shape["rc"], shape["rp"]) == ("0", "null", "null")


@pytest.mark.parametrize("rc, shown", [(-5, "-5"), (7, "7"), (0x80000000, "-2147483648")])
def test_rejected_font_bytes_end_request_without_further_calls(engine, fake, rc, shown):
    fake.configure(f"fontbytes rc={rc}")
    assert engine.error("abc", fake) == f"usp_set_font_bytes failed (rc={shown})"
    assert fake.call_names() == ["setfont"]


def test_font_bytes_reach_port_before_any_uniscribe_call(engine, fake):
    engine.shape("abc", fake)
    names = fake.call_names()
    assert names[0] == "setfont"
    assert fake.calls("setfont")[0]["len"] == str(len(engine.font))
    assert fake.calls("setfont")[0]["head"] == engine.font[:4].hex()


@pytest.mark.parametrize("script, message", [
    ("", None),
    ("itemize hr=E_FAIL", "ScriptItemizeOpenType: HRESULT error (0x80004005)"),
    ("itemize count=0", "no glyphs produced"),
    ("shape hr=E_INVALIDARG", "ScriptShapeOpenType tag=0x6e74616c: E_INVALIDARG (0x80070057)"),
    ("shape hr=E_OUTOFMEMORY", "ScriptShapeOpenType: glyph buffer overflow"),
    ("place hr=E_FAIL", "ScriptPlaceOpenType: HRESULT error (0x80004005)"),
    ("item pos=0; item pos=1; place at=1 hr=E_FAIL",
     "ScriptPlaceOpenType: HRESULT error (0x80004005)"),
])
def test_cache_freed_then_font_bytes_cleared_exactly_once(engine, fake, script, message):
    fake.configure(script)
    if message is None:
        engine.shape("abc", fake)
    else:
        assert engine.error("abc", fake) == message
    names = fake.call_names()
    assert names.count("free") == 1 and names.count("clearfont") == 1
    assert names[-2:] == ["free", "clearfont"]
    used = {e["sc"] for e in fake.log() if e["call"] in ("tags", "shape", "place")} - {"0"}
    assert {fake.calls("free")[0]["sc"]} == (used or {"0"})
    assert fake.live_caches() == 0


def test_cache_starts_null_in_every_request(engine, fake):
    engine.shape("ab", fake)
    engine.shape("ab", fake)
    tags = fake.calls("tags")
    assert [t["sc"] for t in tags] == ["0", "0"]
    frees = [e["sc"] for e in fake.calls("free")]
    assert len(set(frees)) == 2 and "0" not in frees


# ---- direction ----

RTL_STATE = "0x0801"  # uBidiLevel 1 and fArabicNumContext
LTR_STATE = "0x0000"


@pytest.mark.parametrize("text, direction, state", [
    ("abc", "auto", LTR_STATE),
    ("abc\u05d0", "auto", RTL_STATE),
    ("abc", "rtl", RTL_STATE),
    ("\u05d0", "ltr", LTR_STATE),
    ("abc", "RTL", LTR_STATE),
    ("\u05d0", "LTR", RTL_STATE),
    ("\u05d0", "", RTL_STATE),
    ("\u05d0", "rtl ", RTL_STATE),
    ("\ufeff", "auto", LTR_STATE),
    ("\ufe70", "auto", RTL_STATE),
    ("\u058f", "auto", LTR_STATE),
    ("\u0590", "auto", RTL_STATE),
    ("\u08ff", "auto", RTL_STATE),
    ("\u0900", "auto", LTR_STATE),
    ("\ufb1c", "auto", LTR_STATE),
    ("\ufb1d", "auto", RTL_STATE),
    ("\ufdff", "auto", RTL_STATE),
    ("\ufe00", "auto", LTR_STATE),
    ("\ufefc", "auto", RTL_STATE),
    ("\ufefd", "auto", LTR_STATE),
    ("\U00010800", "auto", LTR_STATE),
])
def test_direction_sets_itemization_state(engine, fake, text, direction, state):
    engine.shape(text, fake, direction=direction)
    itemize = fake.calls("itemize")[0]
    assert (itemize["st"], itemize["ctl"]) == (state, "0x00000000")


# ---- pauses ----

PAUSE = 0.3


def timed(engine, fake):
    start = time.monotonic()
    engine.shape("a", fake)
    return time.monotonic() - start


@pytest.mark.parametrize("value, pauses", [
    ("300", True),
    ("+300", True),
    ("0300", True),
    ("300ms", False),
    (" 300", False),
    ("300 ", False),
    ("-1", False),
    ("-300", False),
    ("+", False),
    ("", False),
    ("3e2", False),
    ("\u0663\u0660\u0660", False),
    ("18446744073709552616", False),  # above 2**64 - 1: wrapping it would pause 1 s
])
def test_presleep_value_forms(engine, fake, monkeypatch, value, pauses):
    monkeypatch.setenv("TESVO_PRESLEEP_MS", value)
    elapsed = timed(engine, fake)
    if pauses:
        assert elapsed >= PAUSE
    else:
        assert elapsed < PAUSE / 2


@pytest.mark.parametrize("preload, postload, pauses", [
    (None, "300", False),
    ("", "300", True),
    ("1", "300", True),
    ("", "x300", False),
    ("", None, False),
])
def test_postload_pause_needs_preload_switch(engine, fake, monkeypatch, preload, postload,
                                             pauses):
    if preload is not None:
        monkeypatch.setenv("TESVO_PRELOAD_TS", preload)
    if postload is not None:
        monkeypatch.setenv("TESVO_POSTLOAD_MS", postload)
    elapsed = timed(engine, fake)
    if pauses:
        assert elapsed >= PAUSE
    else:
        assert elapsed < PAUSE / 2


def test_presleep_value_that_is_not_unicode_means_no_pause(engine, fake, monkeypatch):
    monkeypatch.setitem(os.environb, b"TESVO_PRESLEEP_MS", b"300\xff")
    assert timed(engine, fake) < PAUSE / 2


def test_pauses_add_up(engine, fake, monkeypatch):
    monkeypatch.setenv("TESVO_PRESLEEP_MS", "200")
    monkeypatch.setenv("TESVO_PRELOAD_TS", "")
    monkeypatch.setenv("TESVO_POSTLOAD_MS", "200")
    assert timed(engine, fake) >= 0.4


# ---- text length ----


@pytest.mark.slow
def test_text_too_long_for_glyph_buffer_fails_before_the_port(engine, make_fake):
    # 3 * n + 8 must fit in 31 bits; 715827880 code units is the first length that does not.
    fake = make_fake("fake_plain")
    n = 715_827_880
    text = "a" * n
    assert engine.error(text, fake) == f"text too long: {n} UTF-16 code units"
    assert fake.raw_log() == ""


def test_panic_path_leaves_process_usable(engine, fake):
    fake.configure("shape count=-1")
    assert engine.error("abc", fake) == PANIC
    fake.configure()
    thread, box = run_in_thread(engine.shape, "ab", fake)
    thread.join(10)
    assert not thread.is_alive(), "the request after a panic did not finish"
    assert box.get("result", {}).get("final") == default_glyphs("ab"), box
