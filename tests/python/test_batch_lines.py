"""Font.lines, the engine's writer of tesvo --batch's output: every line is what the package's
Python writers give for the same text (Result.to_text, json.dumps of Result.to_dict, the
compact shape_json document), whatever the script, direction, options or failures."""

import json
from pathlib import Path

import pytest

import tesvo

NOTO = Path("/usr/share/fonts/truetype/noto")
DEJAVU = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")
INTER = next((p for p in (Path("/usr/share/fonts/truetype/inter-vf/Inter-roman.var.ttf"),
                          Path("/usr/share/fonts/truetype/inter-vf/InterVariable.ttf")) if p.exists()), None)

# font, text, options. Each text is shaped between an empty text (a failure) and itself
# after a letter, so that a failure sits in the middle of the chunk.
CASES = {
    "latin features": (NOTO / "NotoSans-Regular.ttf", "office AVATAR Wave", {"features": "smcp[2:5],-kern"}),
    "arabic marks and digits": (NOTO / "NotoNaskhArabic-Regular.ttf", "بِسْمِ اللَّهِ ١٢٣ abc", {}),
    "hebrew in ltr": (NOTO / "NotoSansHebrew-Regular.ttf", "a שָׁלוֹם 12 עוֹלָם b", {"direction": "ltr"}),
    "rtl paragraph": (DEJAVU, "abc مرحبا 123 def", {"direction": "rtl"}),
    "astral and escapes": (DEJAVU, 'x\U0001F600y "q" \\ \t\x1f\x7f\u2028', {}),
    "location": (INTER, "AVATAR office", {"variations": "wght=700"}),
    "missing script and language": (NOTO / "NotoSans-Regular.ttf", "Wave", {"script": "xxxx", "language": "XYZ"}),
    "language system": (NOTO / "NotoSans-Regular.ttf", "бгдпт", {"language": "sr"}),
    "trace": (NOTO / "NotoSansDevanagari-Regular.ttf", "क्षत्रिय र्क", {"trace": True}),
}
SWITCHES = [{}, {"names": False, "advances": False}, {"clusters": False, "positions": False}]


def dumps(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def expected_lines(font, texts, first, schema, notation, options):
    """What the package's Python writers make of the texts."""
    options = dict(options)
    if notation is not None:
        return "".join((r.to_text(**notation) if isinstance(r, tesvo.Result) else "") + "\n"
                       for r in font.shape_many(texts, **options))
    lines = []
    outcomes = font.shape_many(texts, **options) if schema == "tesvo" else font.shape_json_many(
        texts, compact=True, **options)
    for number, (text, outcome) in enumerate(zip(texts, outcomes), start=first):
        record = {"line": number, "text": text}
        if isinstance(outcome, tesvo.ShapeError):
            lines.append(dumps({**record, "error": " ".join(str(outcome).split("\n"))}))
        elif isinstance(outcome, str):  # the document goes in as the engine wrote it
            lines.append(dumps(record)[:-1] + f',"result":{outcome}}}')
        else:
            lines.append(dumps({**record, "result": outcome.to_dict()}))
    return "".join(line + "\n" for line in lines)


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_lines_equal_the_python_writers(case):
    path, text, options = case
    if path is None:
        pytest.skip("fonts-inter-variable is not installed")
    font = tesvo.Font(path)
    texts = [text, "", "a" + text]
    forms = [("shape_json", None), ("tesvo", None)] + [(None, switches) for switches in SWITCHES]
    for schema, notation in forms:
        out, failed = font.lines(texts, first=7, schema=schema or "shape_json", notation=notation, **options)
        assert (out.decode(), failed) == (expected_lines(font, texts, 7, schema, notation, options), 1), (
            schema, notation)


def test_cut_items_are_warned_after_the_options_warnings():
    font = tesvo.Font(NOTO / "NotoSans-Regular.ttf")
    text = "office AVATAR Wave " * 4000  # more glyphs than one Uniscribe item holds
    out, failed = font.lines([text], schema="tesvo", script="xxxx")
    warnings = json.loads(out)["result"]["warnings"]
    assert failed == 0 and len(warnings) == 2 and "65,535 glyphs" in warnings[1]
    assert out.decode() == expected_lines(font, [text], 1, "tesvo", None, {"script": "xxxx"})
