"""Property tests of shape_json with the bundled backend: random texts, feature lists,
directions and font bytes. Whatever it is given, a call returns a str whose JSON obeys the
result schema, or raises one of the documented exceptions with its documented message form;
it never raises anything else, never crashes and never leaves a temporary file behind.

The number of examples comes from a hypothesis profile: modest by default, deeper with
TESVO_HYPOTHESIS=long (e.g. `TESVO_HYPOTHESIS=long pytest
tests/python/test_shape_json_properties.py`), and few with TESVO_HYPOTHESIS=short
(tools/memcheck.sh, where every call is slow).
"""

import json
import os
import re
from pathlib import Path

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import _tesvo
from conftest import NOTO_SANS, PANIC, canonical, tiny_font

# ---- the profile ----

_PROFILE = os.environ.get("TESVO_HYPOTHESIS", "")
_LONG = _PROFILE == "long"
ABUSE = settings(
    max_examples={"long": 2000, "short": 12}.get(_PROFILE, 60),
    deadline=None,
    database=None,  # nothing written into the work tree
    derandomize=not _LONG,  # the normal run is reproducible
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                           HealthCheck.function_scoped_fixture, HealthCheck.filter_too_much],
)

# ---- the fonts ----

SEED_FONTS = Path(__file__).resolve().parents[2] / "fuzz" / "seeds" / "font"
DEJAVU = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")


def _fonts():
    fonts = [NOTO_SANS.read_bytes()]
    if DEJAVU.is_file():
        fonts.append(DEJAVU.read_bytes())
    fonts += [p.read_bytes() for p in sorted(SEED_FONTS.glob("*.tt[fc]"))]
    return fonts


FONTS = _fonts()

# ---- the documented outcomes ----

HR = r"(E_INVALIDARG|E_OUTOFMEMORY|HRESULT error) \(0x[0-9A-F]{8}\)"
TAG = r"0x[0-9a-f]{8}"
RUN_ERRORS = [
    r"no glyphs produced",
    r"ScriptItemizeOpenType: " + HR,
    r"ScriptShapeOpenType: glyph buffer overflow",
    rf"ScriptShapeOpenType tag={TAG}: " + HR,
    r"ScriptPlaceOpenType: " + HR,
]
FONT_REJECTED = r"usp_set_font_bytes failed \(rc=-?\d+\)"
BAD_FEATURE = r'bad feature "(?:[^"\\]|\\.)*": .+'
REFUSAL = (r'features "(?P<features>.*)" cannot be applied by the loaded Wine Uniscribe port: '
           r'its ScriptShapeOpenType/ScriptPlaceOpenType log "Ranges not supported yet" and drop '
           r'the OPENTYPE_FEATURE_RECORD array, so the result would silently ignore them\. Use '
           r"backend='usp10' \(system Uniscribe\) or backend='textshaping' for feature selection\.")
ITEM_MESSAGE = re.compile(
    rf"Uniscribe item (\d+): script (\d+) tag {TAG} chars (\d+)\.\.(\d+) -> (\d+) glyphs"
    r"( \(RTL, visual order out\))?")
TRACE_MESSAGE = re.compile(r"vantor per-lookup trace: (\d+) stages \(cmap \+ GSUB lookups \+ final\)")
ITEM_LABEL = re.compile(rf"Uniscribe shape item (\d+) \(script (\d+), tag {TAG}\)")
STAGE_LABEL = re.compile(r"vantor lookup (.*) \(item (\d+)\)", re.S)
GLYPH_KEYS = ["ax", "ay", "cl", "dx", "dy", "flags", "g"]
INT32 = range(-2**31, 2**31)


# Default_Ignorable_Code_Point (Unicode 15): shaping drops these characters when the font
# has no glyph to show them as.
DEFAULT_IGNORABLE = [(0xAD, 0xAD), (0x34F, 0x34F), (0x61C, 0x61C), (0x115F, 0x1160),
                     (0x17B4, 0x17B5), (0x180B, 0x180F), (0x200B, 0x200F), (0x202A, 0x202E),
                     (0x2060, 0x206F), (0x3164, 0x3164), (0xFE00, 0xFE0F), (0xFEFF, 0xFEFF),
                     (0xFFA0, 0xFFA0), (0xFFF0, 0xFFF8), (0x1BCA0, 0x1BCA3),
                     (0x1D173, 0x1D17A), (0xE0000, 0xE0FFF)]


def only_default_ignorables(text):
    return all(any(lo <= ord(c) <= hi for lo, hi in DEFAULT_IGNORABLE) for c in text)


def utf16_length(text):
    return len(text.encode("utf-16-le", "surrogatepass")) // 2


def _is_int(value, allowed):
    return type(value) is int and value in allowed


def check_glyph(record, cl_range, positioned=True):
    assert isinstance(record, dict) and sorted(record) == GLYPH_KEYS, record
    assert _is_int(record["g"], range(65536)), record
    assert _is_int(record["cl"], cl_range), (record, cl_range)
    assert record["ay"] == 0 and record["flags"] == 0 and type(record["ay"]) is int
    for key in ("ax", "dx", "dy"):
        assert _is_int(record[key], INT32 if positioned else range(1)), record


def check_document(out, text, trace=False, tmpdir=None):
    """Checks a result text against the schema and against the request; returns the
    document. Every glyph's cluster must lie inside its own item."""
    assert isinstance(out, str)
    assert out == canonical(out), "result text differs from its canonical JSON form"
    doc = json.loads(out)
    assert sorted(doc) == ["engine", "final", "font_info", "glyph_count", "messages",
                           "stages", "upem"]
    assert doc["engine"] == "uniscribe"
    assert _is_int(doc["upem"], range(65536)) and _is_int(doc["glyph_count"], range(65536))
    info = doc["font_info"]
    assert sorted(info) == ["family", "path"]
    assert isinstance(info["family"], str) and isinstance(info["path"], str)
    name = re.fullmatch(r"tesvo_(\d+)_(\d+)\.font", os.path.basename(info["path"]))
    assert name and int(name.group(1)) == os.getpid(), info["path"]
    if tmpdir is not None:
        assert os.path.dirname(info["path"]) == str(tmpdir)
    assert not os.path.lexists(info["path"])

    n = utf16_length(text)
    final, stages, messages = doc["final"], doc["stages"], doc["messages"]
    assert isinstance(final, list) and final, "a document has glyphs"
    assert isinstance(stages, list) and isinstance(messages, list)
    assert all(isinstance(m, str) for m in messages)

    # The item lines: spans in order inside the text, glyph counts adding up to "final".
    items = []
    position = 0
    previous_end = 0
    m = 0
    while m < len(messages):
        match = ITEM_MESSAGE.fullmatch(messages[m])
        assert match, messages[m]
        index, _, start, end, count = (int(g) for g in match.groups()[:5])
        assert previous_end <= start < end <= n, (start, end, n)
        assert not items or index > items[-1]["index"]
        stage_count = None
        if m + 1 < len(messages) and TRACE_MESSAGE.fullmatch(messages[m + 1]):
            assert trace, "a trace line without trace"
            stage_count = int(TRACE_MESSAGE.fullmatch(messages[m + 1]).group(1))
            assert stage_count > 0
            m += 1
        glyphs = final[position:position + count]
        assert len(glyphs) == count
        for record in glyphs:
            check_glyph(record, range(start, end))
        items.append({"index": index, "start": start, "end": end, "glyphs": glyphs,
                      "stages": stage_count})
        position += count
        previous_end = end
        m += 1
    assert position == len(final), "glyphs of no item in final"
    assert items

    # The stage entries: one per item, or one per recorded stage of a traced item.
    s = 0
    for item in items:
        wanted = item["stages"] or 1
        entries = stages[s:s + wanted]
        assert len(entries) == wanted
        for entry in entries:
            assert sorted(entry) == ["depth", "effective", "glyphs", "m"]
            assert entry["depth"] == 0 and type(entry["depth"]) is int
            assert entry["effective"] is True
            assert isinstance(entry["glyphs"], list)
            if item["stages"] is None:
                label = ITEM_LABEL.fullmatch(entry["m"])
                assert label and int(label.group(1)) == item["index"], entry["m"]
                assert entry["glyphs"] == item["glyphs"]
            else:
                label = STAGE_LABEL.fullmatch(entry["m"])
                assert label and int(label.group(2)) == item["index"], entry["m"]
                assert entry["glyphs"], "a delivered stage has glyphs"
                for record in entry["glyphs"]:
                    check_glyph(record, range(item["start"], item["end"]), positioned=False)
        s += wanted
    assert s == len(stages)
    return doc


def check_failure(exc, allowed):
    """A RuntimeError whose message has one of the allowed forms (the panic is never
    allowed: the bundled backend must keep its contract)."""
    assert type(exc) is RuntimeError, repr(exc)
    assert len(exc.args) == 1 and isinstance(exc.args[0], str)
    message = exc.args[0]
    assert message != PANIC, "the bundled backend broke its contract"
    assert any(re.fullmatch(p, message, re.S) for p in allowed), message
    return message


def shape(tmpdir, data, text, **kw):
    """(doc or None, message or None) for one call; checks the outcome's form and that the
    temporary directory is empty afterwards."""
    try:
        out = _tesvo.shape_json(data, text, **kw)
    except UnicodeEncodeError:
        assert any(0xD800 <= ord(c) <= 0xDFFF
                   for v in [text] + [x for x in kw.values() if isinstance(x, str)] for c in v)
        result = (None, "UnicodeEncodeError")
    except RuntimeError as exc:
        result = (None, exc)
    else:
        result = (check_document(out, text, kw.get("trace", False), tmpdir), None)
    assert os.listdir(tmpdir) == [], "temporary font files were left behind"
    return result


# ---- strategies ----

MARKS = "\u0300\u0301\u0308\u0323\u0327\u064b\u0651\u05b8\u05c1\u093f\u094d\u0e31\u20dd\ufe0f"
BIDI = "\u200e\u200f\u061c\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069"
BREAKS = "\n\r\u2029\u2028\u0085\t\x00\ufeff\u200b\u200c\u200d\u00ad"
SCRIPTS = ("AVAfi\u0644\u0627\u0645\u0631\u05d0\u05e9\u0915\u0937\u0928\u0e01\u0e48"
           "\u65e5\u304b\ud55c\u0410\u03b1()[]{}\u00ab\u00bb 0123\u0660\u06f1\u20ac")
# A character from anywhere in the code space: every plane, unassigned and private use
# included, but no surrogate (a str with one cannot be encoded; tested on its own).
ANY_CHAR = st.characters(min_codepoint=0, max_codepoint=0x10FFFF,
                         blacklist_categories=("Cs",))
CHAR = st.one_of(ANY_CHAR, st.sampled_from(MARKS), st.sampled_from(BIDI),
                 st.sampled_from(BREAKS), st.sampled_from(SCRIPTS))
SHORT_TEXT = st.lists(CHAR, min_size=1, max_size=40).map("".join)
# Long lines: a random piece repeated up to some thousands of code units.
_LONGEST = 30000 if _LONG else 8000
LONG_TEXT = st.tuples(st.lists(CHAR, min_size=1, max_size=12).map("".join),
                      st.integers(50, 3000)).map(lambda t: (t[0] * t[1])[:_LONGEST])
TEXT = st.one_of(SHORT_TEXT, SHORT_TEXT, SHORT_TEXT, LONG_TEXT)
if _PROFILE == "short":
    TEXT = SHORT_TEXT
DIRECTION = st.one_of(st.sampled_from(["auto", "ltr", "rtl", "RTL", "", " rtl"]),
                      st.text(max_size=4))
FEATURE_ALPHABET = " ,=+-[]:'\"01239onfOFligakernss\t\u00a0\u3000\u0301\u00e9\x00\x0b"
FEATURES = st.one_of(st.none(), st.just(""), st.text(alphabet=FEATURE_ALPHABET, max_size=24),
                     st.text(max_size=12))


@st.composite
def damaged_fonts(draw):
    """A real font cut at a random offset and/or with bytes flipped, or random bytes."""
    kind = draw(st.integers(0, 5))
    if kind == 0:
        return draw(st.binary(max_size=300))
    data = bytearray(draw(st.sampled_from(FONTS)))
    if kind in (1, 2, 3):
        data = data[:draw(st.integers(0, len(data)))]
    if kind in (2, 3, 4, 5) and data:
        for _ in range(draw(st.integers(1, 12))):
            at = draw(st.integers(0, len(data) - 1))
            data[at] ^= draw(st.integers(1, 255))
    return bytes(data)


FONT = st.one_of(st.sampled_from(FONTS), damaged_fonts())


# ---- the properties ----


@pytest.fixture
def tmpdir(tmp_path, monkeypatch):
    path = tmp_path / "tmpdir"
    path.mkdir()
    monkeypatch.setenv("TMPDIR", str(path))
    for name in ("TESVO_PRESLEEP_MS", "TESVO_PRELOAD_TS", "TESVO_POSTLOAD_MS", "TESVO_VANTOR"):
        monkeypatch.delenv(name, raising=False)
    return path


@ABUSE
@given(font=st.sampled_from(FONTS), text=TEXT, direction=DIRECTION, trace=st.booleans())
def test_any_text_with_a_real_font_shapes(tmpdir, font, text, direction, trace):
    doc, failure = shape(tmpdir, font, text, direction=direction, trace=trace)
    if failure is not None:
        # Only an item of more glyphs than a log cluster can address may fail, or a text
        # of characters that the font cannot show at all.
        message = check_failure(failure, RUN_ERRORS)
        if message == "no glyphs produced":
            assert only_default_ignorables(text), text
        else:
            assert message == "ScriptShapeOpenType: glyph buffer overflow", message
            assert utf16_length(text) > 65535 // 3


@ABUSE
@given(font=st.sampled_from(FONTS[:2]), features=FEATURES, text=SHORT_TEXT)
def test_any_feature_list_is_refused_rejected_or_ignored(tmpdir, font, features, text):
    doc, failure = shape(tmpdir, font, text, features=features)
    if failure == "UnicodeEncodeError":
        return
    if failure is None:
        # Only a list without any item shapes.
        assert not (features or "").replace(",", "").strip(), features
        return
    message = check_failure(failure, [BAD_FEATURE, REFUSAL])
    refused = re.fullmatch(REFUSAL, message, re.S)
    if refused:
        assert refused.group("features") == features
    else:
        item = re.match(r'bad feature "((?:[^"\\]|\\.)*)"', message, re.S).group(1)
        assert item, message


@ABUSE
@given(font=FONT, text=SHORT_TEXT, trace=st.booleans())
def test_damaged_font_bytes_shape_or_are_rejected(tmpdir, font, text, trace):
    doc, failure = shape(tmpdir, font, text, trace=trace)
    if failure is not None:
        check_failure(failure, [FONT_REJECTED] + RUN_ERRORS)


@ABUSE
@given(font=FONT, text=st.one_of(st.just(""), TEXT), direction=DIRECTION, features=FEATURES,
       trace=st.booleans(), script=st.text(max_size=5), language=st.text(max_size=5),
       wine_bytes=st.booleans())
def test_all_arguments_random(tmpdir, font, text, direction, features, trace, script, language,
                              wine_bytes):
    doc, failure = shape(tmpdir, font, text, direction=direction, features=features,
                         trace=trace, script=script, language=language, wine_bytes=wine_bytes)
    if failure not in (None, "UnicodeEncodeError"):
        message = check_failure(failure, [BAD_FEATURE, REFUSAL, FONT_REJECTED, "empty text"]
                                + RUN_ERRORS)
        if message == "empty text":
            assert text == ""


@ABUSE
@given(text=st.lists(st.one_of(CHAR, st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF)),
                     min_size=1, max_size=10).map("".join))
def test_lone_surrogates_raise_unicode_encode_error(tmpdir, text):
    assume(any(0xD800 <= ord(c) <= 0xDFFF for c in text))
    with pytest.raises(UnicodeEncodeError):
        _tesvo.shape_json(FONTS[0], text)
    assert os.listdir(tmpdir) == []


# ---- long lines, chosen rather than drawn ----


@pytest.mark.parametrize("text, overflow", [
    # One Latin item of 70,000 glyphs: more than 16-bit log clusters can address.
    ("a" * 70000, True),
    # 50,000 code units in many items, each small.
    ("abc \u05d0\u05d1\u05d2 \u0915\u094d\u0937 " * 3125, False),
    # A base with 10,000 marks: one cluster, every mark its own glyph.
    ("a" + "\u0301" * 10000, False),
    # Astral characters only: two code units each.
    ("\U0001d400\U0001f600" * 10000, False),
])
def test_long_lines(tmpdir, text, overflow):
    doc, failure = shape(tmpdir, FONTS[0], text)
    if overflow:
        assert check_failure(failure, RUN_ERRORS) == "ScriptShapeOpenType: glyph buffer overflow"
    else:
        assert failure is None, failure
        assert doc["final"][-1]["cl"] < utf16_length(text)


def test_hand_made_font_without_outlines_shapes_with_defaults(tmpdir):
    doc, failure = shape(tmpdir, tiny_font(upem=1234, glyphs=77, family="Tiny"), "ab\u0301c")
    assert failure is None, failure
    assert (doc["upem"], doc["glyph_count"], doc["font_info"]["family"]) == (1234, 77, "Tiny")
