"""The tesvo package on real fonts: the same glyphs as shape_json, the options against
HarfBuzz's own command, corpora with errors in place, and the port shared with _tesvo."""

import hashlib
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

import _tesvo
import tesvo

from conftest import PANIC, run_in_thread, tiny_font, wait_for
from test_concurrency import progress_while
from test_soak import FONT_FILES, TEXTS
from test_trace_bundled import NOTO, SAMPLES

CJK = Path("/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc")
NOTO_SANS = NOTO / "NotoSans-Regular.ttf"
NASKH = NOTO / "NotoNaskhArabic-Regular.ttf"


def need(path):
    if not path.is_file():
        pytest.skip(f"{path} is missing")
    return path


def utf16_index(text, index):
    return len(text[:index].encode("utf-16-le")) // 2


REAL_CASES = [(path, text) for path in FONT_FILES for text in TEXTS] + \
             [(NOTO / name, text) for name, text in SAMPLES.values()]


@pytest.mark.parametrize("direction", ["ltr", "rtl"])
@pytest.mark.parametrize("path,text", REAL_CASES, ids=lambda v: getattr(v, "name", None) or repr(v[:12]))
def test_shape_gives_the_glyphs_of_shape_json(path, text, direction):
    data = need(path).read_bytes()
    final = json.loads(_tesvo.shape_json(data, text, direction=direction))["final"]
    result = tesvo.Font(data).shape(text, direction=direction)
    ours = [(g.id, utf16_index(text, g.cluster), g.advance, g.du, g.dv) for g in result.glyphs]
    assert ours == [(r["g"], r["cl"], r["ax"], r["dx"], r["dy"]) for r in final]


def hb_shape(path, text, *args):
    out = subprocess.run(["hb-shape", "--output-format=json", "--no-glyph-names", *args, str(path), text],
                         capture_output=True, text=True, check=True).stdout
    return [(g["g"], g["cl"], g["ax"], g["dx"], g["dy"]) for g in json.loads(out)]


# font, Font(...) options, text, shape(...) options, the same request to hb-shape
HARFBUZZ_CASES = {
    "features": (NOTO_SANS, {}, "Wave", {"features": "smcp"}, ["--features=smcp"]),
    "feature mapping": (NOTO_SANS, {}, "Wave", {"features": {"smcp": True}}, ["--features=smcp"]),
    "language": (NOTO_SANS, {}, "\u0431\u0433\u0434\u043f\u0442", {"language": "SRB"}, ["--language=sr"]),
    "script": (NOTO / "NotoSansMalayalam-Regular.ttf", {}, "\u0d15\u0d4d\u0d30", {"script": "mlym"},
               ["--language=x-hbsc-6d6c796d"]),
    "collection face": (CJK, {"index": 1}, "\u9aa8\u76f4\u5224 ab", {}, ["--face-index=1"]),
    "auto direction, marks": (NASKH, {}, "\u0645\u064e\u0631\u0652\u062d\u064e\u0628\u064b\u0627", {}, []),
}


@pytest.mark.parametrize("case", HARFBUZZ_CASES.values(), ids=HARFBUZZ_CASES.keys())
def test_options_give_what_harfbuzz_gives(case):
    path, font_options, text, options, hb_args = case
    font = tesvo.Font(need(path), **font_options)
    result = font.shape(text, **options)
    ours = [(g.id, g.cluster, g.advance, g.x_offset, g.y_offset) for g in result.glyphs]
    assert ours == hb_shape(path, text, *hb_args)
    plain = tesvo.Font(path).shape(text)
    if options or font_options:  # the option must have made a difference
        assert [g.id for g in plain.glyphs] != [g.id for g in result.glyphs]
    if "script" in options:
        assert {item.script_tag for item in result.items} == {options["script"]}


@pytest.mark.parametrize("text,paragraph_rtl", [
    ("abc \u05e9\u05dc\u05d5\u05dd", False),
    ("(123) \u05e9\u05dc\u05d5\u05dd abc", True),
    ("\u2067\u05e9\u05dc\u05d5\u05dd\u2069 abc", False),  # the isolate does not count
    ("123 ...", False),
])
def test_auto_direction_follows_the_first_strong_character(text, paragraph_rtl):
    items = tesvo.Font(NOTO_SANS).shape(text).items
    levels = {text[i.start:i.end].strip(" .()0123456789\u2067\u2069")[:1]: i.level for i in items}
    assert min(i.level for i in items) == int(paragraph_rtl)
    if "a" in levels:
        assert levels["a"] == (2 if paragraph_rtl else 0)


def test_shape_many_yields_each_error_in_place_of_its_text():
    font = tesvo.Font(NOTO_SANS)
    corpus = ["Wave", "", 7, "x\ud800", "office"] * 40  # more than one engine call
    out = list(font.shape_many(iter(corpus), features="smcp"))
    assert len(out) == len(corpus)
    for i, (text, got) in enumerate(zip(corpus, out)):
        if isinstance(text, str) and text and "\ud800" not in text:
            assert got.text == text
            assert got.glyphs == font.shape(text, features="smcp").glyphs
        else:
            assert isinstance(got, tesvo.ShapeError) and (got.index, got.text) == (i, text)
    assert [str(e) for e in out[1:4]] == ["empty text", "text must be str, not int",
                                          "text holds a lone surrogate at index 1"]


@pytest.mark.parametrize("make,error,message", [
    (lambda: tesvo.Font(NOTO_SANS).shape_many(["a"], features="liga=x"), tesvo.OptionError,
     'bad feature "liga=x"'),
    (lambda: tesvo.Font(NOTO_SANS).shape("a", language="SERBIAN"), tesvo.OptionError, 'bad language tag "SERBIAN"'),
    (lambda: tesvo.Font(NOTO_SANS).shape("a", direction="up"), tesvo.OptionError, 'bad direction "up"'),
    (lambda: tesvo.Font(NOTO_SANS, index=1), tesvo.FontError, "face index 1 out of range: the font has 1 face"),
    (lambda: tesvo.Font(CJK, index=10), tesvo.FontError, "face index 10 out of range: the font has"),
    # beyond any C integer: not wrapped round to face 1
    (lambda: tesvo.Font(CJK, index=2**64 + 1), tesvo.FontError,
     "face index 18446744073709551617 out of range: the font has"),
    (lambda: tesvo.Font(b"not a font"), tesvo.FontError, "usp_set_font_bytes failed (rc=2)"),
    (lambda: tesvo.Font(NOTO_SANS, backend="/nonexistent.so"), tesvo.FontError, "dlopen(/nonexistent.so)"),
])
def test_bad_fonts_and_options_fail_before_shaping(make, error, message):
    with pytest.raises(error, match="^" + message.replace("(", r"\(").replace(")", r"\)")):
        make()


# Each call in a process whose address space leaves the engine less than it needs for
# the text: the package's calls raise MemoryError, the compatibility call keeps its
# documented panic error.
OUT_OF_MEMORY = {
    "Font.shape": "font.shape(text)",
    "Font.shape_json": "font.shape_json(text)",
    "_tesvo.shape_json": "_tesvo.shape_json(data, text)",
}


@pytest.mark.parametrize("call", OUT_OF_MEMORY.values(), ids=list(OUT_OF_MEMORY))
def test_running_out_of_memory_in_the_engine_is_reported_as_such(call):
    script = f"""
import resource, _tesvo, tesvo
data = open({str(NOTO_SANS)!r}, "rb").read()
font, text = tesvo.Font(data), "a" * 4_000_000
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), resource.RLIM_INFINITY))
try:
    {call}
except Exception as e:
    print(type(e).__name__, e)
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    expected = "RuntimeError " + PANIC if call.startswith("_tesvo") else "MemoryError "
    assert (out.returncode, out.stdout.strip()) == (0, expected.strip()), out.stderr[-2000:]


def test_a_backend_without_capabilities_refuses_options_by_name(make_fake):
    fake = make_fake("fake_port")
    font = tesvo.Font(tiny_font(), backend=fake.path)
    assert [g.id for g in font.shape("ab").glyphs] == [ord("a"), ord("b")]
    for options, what in [({"features": "smcp"}, "features"), ({"script": "latn"}, "a script tag"),
                          ({"language": "TRK"}, "a language tag")]:
        with pytest.raises(tesvo.OptionError) as info:
            font.shape("ab", **options)
        assert str(info.value) == f"backend {fake.path} cannot apply {what}: it does not export usp_capabilities"


def test_json_names_the_font_by_path_or_content_and_repeats_exactly():
    data = NOTO_SANS.read_bytes()
    by_path = json.loads(tesvo.Font(NOTO_SANS).shape("Wave", trace=True).to_json())
    by_bytes = json.loads(tesvo.Font(data).shape("Wave", trace=True).to_json())
    assert (by_path["schema"], by_path["version"]) == (tesvo.SCHEMA, tesvo.SCHEMA_VERSION)
    assert by_path["font"]["path"] == str(NOTO_SANS) and "sha256" not in by_path["font"]
    assert by_bytes["font"]["sha256"] == hashlib.sha256(data).hexdigest() and "path" not in by_bytes["font"]
    assert [s["name"] for s in by_path["stages"]][::len(by_path["stages"]) - 1] == ["cmap", "final"]
    assert tesvo.Font(data).shape("Wave", trace=True).to_json() == tesvo.Font(data).shape("Wave", trace=True).to_json()


def test_tesvo_and_shape_json_from_many_threads_share_one_port(engine, make_fake):
    # The fake gives each code unit the id code unit + first byte of the font it holds,
    # read after sleeping inside shaping: a request whose font was replaced meanwhile,
    # through either module, gets another font's glyphs.
    fake = make_fake("fake_port", "sleep ms=15")
    plain, otto = tiny_font(), tiny_font()[:0] + b"OTTO" + tiny_font()[4:]
    font = tesvo.Font(otto, backend=fake.path)
    texts = ["ab", "cd", "ef"] * 4

    def through_tesvo():
        return [[g.id for g in r.glyphs] for r in font.shape_many(texts)]

    def through_shape_json():
        return [[g["g"] for g in engine.shape(t, fake, data=plain)["final"]] for t in texts]

    runs = [run_in_thread(through_tesvo) for _ in range(3)] + [run_in_thread(through_shape_json) for _ in range(3)]
    for thread, _ in runs:
        thread.join(60)
    boxes = [box for _, box in runs]
    assert all("result" in box for box in boxes), boxes
    expect = {0: [[ord(c) for c in t] for t in texts], ord("O"): [[ord(c) + ord("O") for c in t] for t in texts]}
    assert [box["result"] for box in boxes] == [expect[ord("O")]] * 3 + [expect[0]] * 3


def test_interpreter_lock_is_released_while_the_backend_shapes(make_fake):
    fake = make_fake("fake_port", "sleep ms=600")
    font = tesvo.Font(tiny_font(), backend=fake.path)
    thread, box = run_in_thread(lambda: list(font.shape_many(["ab"])))
    assert wait_for(lambda: "tags" in fake.raw_log())
    turns, running = progress_while(thread)
    thread.join(10)
    assert running and turns > 1000, "this thread could not run while the text was being shaped"
    assert [g.id for g in box["result"][0].glyphs] == [ord("a"), ord("b")]


def test_traced_stages_carry_kinds_true_clusters_and_positions():
    font = tesvo.Font(need(NOTO / "NotoSansDevanagari-Regular.ttf"))
    text = "\U0001D400 \u0915\u094D\u0937\u0924\u094D\u0930\u093F\u092F"  # an astral letter first
    result = font.shape(text, trace=True)
    item = max(s.item for s in result.stages)
    stages = [s for s in result.stages if s.item == item]
    by_name = {s.name: k for k, s in enumerate(stages)}
    # the shaper's reordering is a stage of its own; the lookups after it change nothing here
    assert stages[by_name["reordering indic initial"]].kind == "reorder"
    assert stages[by_name["GSUB lookup 2 'nukt'"]].ids == stages[by_name["GSUB lookup 2 'nukt'"] - 1].ids
    # clusters are str indices, as the result's are: the final stage agrees with the glyphs
    final = stages[-1]
    assert final.kind == "final"
    assert [(g.id, g.cluster, g.advance, g.x_offset, g.y_offset) for g in final.glyphs] == [
        (g.id, g.cluster, g.advance, g.x_offset, g.y_offset) for g in result.glyphs if g.item == item]
    assert all(g.advance is None for s in stages if s.kind in ("cmap", "reorder", "substitute") for g in s.glyphs)
    doc = json.loads(result.to_json())["stages"][-1]
    assert doc["kind"] == "final" and set(doc["glyphs"][0]) == {"id", "cluster", "advance", "x_offset", "y_offset",
                                                                       "name"}
    # a mark attachment shows as a positioning stage that moves the mark
    hebrew = tesvo.Font(need(NOTO / "NotoSansHebrew-Regular.ttf")).shape("\u05e9\u05b8", trace=True)
    moves = [s for s in hebrew.stages if s.kind == "position" and s.name.startswith("GPOS")]
    assert any(g.x_offset for s in moves for g in s.glyphs)


@pytest.mark.parametrize("call, error, message", [
    (lambda: tesvo.Font("a\0b"), tesvo.FontError, "cannot read font 'a\\x00b'"),
    (lambda: tesvo.Font(NOTO_SANS, index=2**64 + 2), tesvo.FontError, "face index 18446744073709551618 out of range"),
    (lambda: tesvo.Font(NOTO_SANS).shape("a", features={"liga": "x"}), tesvo.OptionError, "feature 'liga': the value"),
    (lambda: tesvo.Font(NOTO_SANS).shape("a", features={"liga": None}), tesvo.OptionError, "feature 'liga': the value"),
    (lambda: tesvo.Font(NOTO_SANS).shape("a", features={"liga": 1.5}), tesvo.OptionError, "feature 'liga': the value"),
    (lambda: tesvo.Font(NOTO_SANS).shape(5), TypeError, "text must be str, not int"),
], ids=["nul in path", "index past 32 bits", "value x", "value None", "value 1.5", "text not str"])
def test_wrong_arguments_raise_the_documented_error_not_a_plain_one(call, error, message):
    with pytest.raises(error, match=re.escape(message)) as info:
        call()
    assert type(info.value) is error


def test_shape_many_yields_what_a_failing_iterator_gave_before_its_error():
    def texts():
        yield "Wave"
        yield "office"
        raise LookupError("the corpus broke")

    font, shaped = tesvo.Font(NOTO_SANS), []
    with pytest.raises(LookupError, match="the corpus broke"):
        for result in font.shape_many(texts()):
            shaped.append(result.text)
    assert shaped == ["Wave", "office"]
