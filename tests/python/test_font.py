"""The tesvo package on real fonts: the same glyphs as shape_json, the options against
HarfBuzz's own command, corpora with errors in place, and the port shared with _tesvo."""

import hashlib
import json
import pickle
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import _tesvo
import tesvo

from conftest import PANIC, run_in_thread, tiny_font, wait_for
from test_concurrency import progress_while
from test_concurrency_soak import FONT_FILES, TEXTS
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
    records = list(result.glyphs)  # read from the engine's records, then from the columns made of them
    assert result.glyph_ids.tolist() == [g.id for g in records] and list(result.glyphs) == records


def test_a_font_session_holds_the_bytes_it_reads():
    # A session reads the bytes it was opened with, without a copy of its own, for as long as it lives.
    data = need(NOTO_SANS).read_bytes()
    expected = tesvo.Font(data).glyph_names
    session = tesvo._engine.open(bytes(bytearray(data)), 0, None)[0]  # the session's is the only reference
    fillers = [bytes(len(data)) for _ in range(4)]  # zeros where freed bytes would have been
    assert tesvo._engine.glyph_names(session) == expected and fillers


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
    (lambda: tesvo.Font(b"not a font"), tesvo.FontError,
     "usp_set_font_bytes failed (rc=2) (hint: not an OpenType or TrueType font or collection?"),
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
    # the shaper's reordering is a stage of its own, carrying its change
    initial = by_name["reordering indic initial"]
    assert stages[initial].kind == "reorder" and stages[initial].ids != stages[initial - 1].ids
    # clusters are str indices, as the result's are: the final stage agrees with the glyphs
    final = stages[-1]
    assert final.kind == "final"
    assert [(g.id, g.cluster, g.advance, g.x_offset, g.y_offset) for g in final.glyphs] == [
        (g.id, g.cluster, g.advance, g.x_offset, g.y_offset) for g in result.glyphs if g.item == item]
    assert all(g.advance is None for s in stages if s.kind in ("cmap", "reorder", "substitute") for g in s.glyphs)
    # the JSON keeps each stage as its change, and whole_stages makes them whole again,
    # from the engine's stages and from stages made otherwise
    doc = json.loads(result.to_json())
    assert tesvo.whole_stages(doc) == [s.to_dict() for s in result.stages]
    assert sum(len(s["changed"]) for s in doc["stages"]) < sum(len(s.glyphs) for s in result.stages) / 2
    made = result._replace(stages=[s._replace(glyphs=list(s.glyphs)) for s in result.stages])
    assert tesvo.whole_stages(made.to_dict()) == [s.to_dict() for s in result.stages]
    # a mark attachment shows as a positioning stage that moves the mark
    hebrew = tesvo.Font(need(NOTO / "NotoSansHebrew-Regular.ttf")).shape("\u05e9\u05b8", trace=True)
    moves = [s for s in hebrew.stages if s.kind == "position" and s.name.startswith("GPOS")]
    assert any(g.x_offset for s in moves for g in s.glyphs)


def replayed(stages):
    """Each stage rebuilt from its item's stage before and its change, as records."""
    out, whole = [], []
    for k, stage in enumerate(stages):
        if k == 0 or stages[k - 1].item != stage.item:
            whole = []
        start, stop, glyphs = stage.change
        whole[start:stop] = glyphs
        out.append(tuple(whole))
    return out


def check_changes(result, stages):
    """The stages are their changes made in turn, read in any order, natively or replayed;
    each change the shortest one (its ends differ from what they replace), but where a stage
    positions and the stage before does not, or the other way round: then it replaces all."""
    wholes = replayed(stages)
    assert [tuple(s.glyphs) for s in reversed(stages)] == wholes[::-1]
    assert [s.ids for s in stages] == [tuple(g.id for g in w) for w in wholes]
    for k in range(1, len(stages)):
        before, (start, stop, glyphs) = wholes[k - 1], stages[k].change
        if stages[k - 1].item != stages[k].item:
            assert (start, stop) == (0, 0)
        elif (stages[k - 1].kind in ("position", "final")) != (stages[k].kind in ("position", "final")):
            assert (start, stop) == (0, len(before))
        elif start < stop and glyphs:
            assert before[start] != glyphs[0] and before[stop - 1] != glyphs[-1]
    copy = pickle.loads(pickle.dumps(result))
    assert copy == result and [s.change for s in copy.stages] == [s.change for s in stages]
    assert [tuple(s.glyphs) for s in reversed(copy.stages)] == wholes[::-1]


@pytest.mark.parametrize("sample", sorted(SAMPLES))
def test_traced_stages_are_kept_as_changes_that_rebuild_the_documents_stages(sample):
    name, text = SAMPLES[sample]
    path = need(NOTO / name)
    result = tesvo.Font(path).shape(text, direction="ltr", trace=True)
    check_changes(result, result.stages)
    # The compatibility document lists the stages that change glyph ids, rebuilt whole
    # by the engine from the backend's changes, in screen order.
    doc = json.loads(_tesvo.shape_json(path.read_bytes(), text, direction="ltr", trace=True))
    listed = [(int(m[2]), m[1], [g["g"] for g in e["glyphs"]])
              for e in doc["stages"] for m in [re.match(r"vantor lookup (.+) \(item (\d+)\)$", e["m"])]]
    assert listed == [(s.item, s.name, list(s.ids[::-1] if result.items[s.item].rtl else s.ids))
                      for s in result.stages if s.kind not in ("position", "normalize")]


def test_a_backend_of_glyph_ids_alone_gives_their_changes(make_fake):
    fake = make_fake("fake_port", "stage name=cmap glyphs=1,2,3; stage name=liga glyphs=1,9,3; "
                                  "stage name=same glyphs=1,9,3; stage name=final glyphs=4")
    result = tesvo.Font(tiny_font(), backend=fake.path).shape("ab", trace=True)
    assert [(s.kind, s.name, s.change.start, s.change.stop, [(g.id, g.cluster, g.advance) for g in s.change.glyphs])
            for s in result.stages] == [(None, "cmap", 0, 0, [(1, None, None), (2, None, None), (3, None, None)]),
                                        (None, "liga", 1, 2, [(9, None, None)]),
                                        (None, "same", 3, 3, []),
                                        (None, "final", 0, 3, [(4, None, None)])]
    check_changes(result, result.stages)


def stage_table(*stages):
    """A StageChanges table: per stage item, flags, count, start, stop, first changed glyph, changed."""
    return b"".join(struct.pack("7i", *stage) for stage in stages)


ROW = struct.pack("5i", 7, 0, 0, 0, 0)


@pytest.mark.parametrize("table, rows", [
    (stage_table((0, 0, 2, 0, 0, 0, 2)), ROW),  # changed glyphs past the rows
    (stage_table((0, 0, 1, 1, 1, 0, 1)), ROW),  # the first stage of an item replacing glyphs
    (stage_table((0, 0, 1, 0, 0, 0, 1), (0, 0, 1, 1, 2, 0, 1)), ROW),  # a span past the stage before
    (stage_table((0, 0, 1, 0, 0, 0, 1), (0, 0, 3, 0, 1, 0, 1)), ROW),  # a count that does not follow
    (stage_table((0, 0, 1, 0, 0, 0, 1))[:-4], ROW),  # a table cut short
], ids=["rows", "first", "span", "count", "cut"])
def test_stage_changes_that_do_not_hold_together_are_refused(table, rows):
    tesvo._engine.StageChanges(stage_table((0, 0, 1, 0, 0, 0, 1), (1, 0, 1, 0, 0, 0, 1)), ROW, ())
    with pytest.raises(ValueError):
        tesvo._engine.StageChanges(table, rows, ())


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


def test_a_feature_the_font_lacks_is_a_warning_and_options_are_remembered_boundedly():
    naskh = tesvo.Font(NOTO / "NotoNaskhArabic-Regular.ttf")
    warned = naskh.shape("abc", features="smcp,ss07[1:2],-zero,liga").warnings
    assert [w.split(" in GSUB")[0] for w in warned] == ["the font has no feature 'smcp'",
                                                         "the font has no feature 'ss07'"], warned
    assert naskh.tag_warnings(features="smcp") == warned[:1]
    lines, _ = naskh.lines(["abc"], schema="tesvo", features="smcp")
    assert json.loads(lines)["result"]["warnings"] == list(warned[:1])
    assert tesvo.Font(NOTO_SANS).shape("abc", features="smcp,kern").warnings == ()
    for n in range(300):  # every set of options is checked once, but not kept for ever
        naskh.tag_warnings(features=f"ss{n % 100:02d}=1,cv{n // 100:02d}")
    assert len(naskh._checked_tags) <= 256
