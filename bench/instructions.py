"""Instructions per call, which do not move with the machine's load as timings do: callgrind
counts a program that makes one warm-up call and then 1 or 3 calls, and half the difference
is one call. With valgrind installed; the module imported is the one on sys.path (set
PYTHONPATH to measure another build).

    python bench/instructions.py [CASE ...]

CASE: json (shape_json on 100,000 code units of Arabic with a number every 40), shape-KIND
(Font.shape), read-KIND (Font.shape and reading id, cluster, advance, x_offset, y_offset of
every glyph), walk-KIND (reading them alone), floor-KIND and floor-json (bench/hb_floor.cpp on
the same items, which needs --floor), uh-read-KIND and uh-shape-KIND (uharfbuzz on the same
items, reading the same fields or not: their difference is uharfbuzz's own cost, which
bench/binding.py times); KIND is arabic, devanagari or latin.
"""
from __future__ import annotations

import argparse
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import texts  # noqa: E402

LOOP = r"""
import sys
sys.path.insert(0, sys.argv[1])
import texts, binding
case, calls = sys.argv[2], int(sys.argv[3])
if case.startswith("uh-"):
    import tesvo
    import uharfbuzz as hb
    what, kind = case.split("-")[1:]
    text = texts.make_text(kind, 100_000)
    runs = [(i.start, i.end, i.rtl) for i in tesvo.Font(texts.FONTS[kind]).shape(text).items]
    font = hb.Font(hb.Face(hb.Blob.from_file_path(texts.FONTS[kind])))
    def once():
        for start, end, rtl in runs:
            buf = hb.Buffer()
            buf.add_str(text[start:end])
            buf.guess_segment_properties()
            buf.direction = "rtl" if rtl else "ltr"
            hb.shape(font, buf)
            if what == "read":
                for info, pos in zip(buf.glyph_infos, buf.glyph_positions):
                    info.codepoint, info.cluster, pos.x_advance, pos.x_offset, pos.y_offset
elif case == "json":
    import _tesvo
    text, data = binding.numbered_arabic(100_000), open(texts.FONTS["arabic"], "rb").read()
    def once():
        _tesvo.shape_json(data, text)
else:
    import tesvo
    what, kind = case.split("-")
    font, text = tesvo.Font(texts.FONTS[kind]), texts.make_text(kind, 100_000)
    result = font.shape(text)
    def read(r):
        for g in r.glyphs:
            g.id, g.cluster, g.advance, g.x_offset, g.y_offset
    once = {"shape": lambda: font.shape(text), "read": lambda: read(font.shape(text)), "walk": lambda: read(result)}[what]
once()
for _ in range(calls):
    once()
"""


def collected(command: list[str]) -> int:
    out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *command],
                         capture_output=True, text=True).stderr
    return int(re.search(r"Collected : (\d+)", out).group(1))


def floor_inputs(case: str, floor: str, tmp: Path) -> list[str]:
    import binding
    import tesvo
    kind = case.split("-")[1]
    if kind == "json":
        import json
        import _tesvo
        import suite
        text = binding.numbered_arabic(100_000)
        doc = json.loads(_tesvo.shape_json(Path(texts.FONTS["arabic"]).read_bytes(), text))
        runs = [(s, e, int(r)) for s, e, r in suite.items_of(doc)]
        kind = "arabic"
    else:
        text = texts.make_text(kind, 100_000)
        runs = [(i.start, i.end, int(i.rtl)) for i in tesvo.Font(texts.FONTS[kind]).shape(text).items]
    (tmp / "text.u16").write_bytes(text.encode("utf-16-le"))
    (tmp / "items").write_text("".join(f"{s} {e} {r}\n" for s, e, r in runs))
    return [floor, texts.FONTS[kind], str(tmp / "text.u16"), str(tmp / "items")]


def per_call(case: str, floor: str | None, tmp: Path) -> int:
    if case.startswith("floor-"):
        if not floor:
            raise SystemExit("floor cases need --floor")
        command = floor_inputs(case, floor, tmp)
        return (collected([*command, "3"]) - collected([*command, "1"])) // 2
    command = [sys.executable, "-c", LOOP, str(HERE), case]
    return (collected([*command, "3"]) - collected([*command, "1"])) // 2


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("cases", nargs="*", default=["json", "read-arabic", "read-devanagari", "read-latin"])
    parser.add_argument("--floor", help="the hb_floor program")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as name:
        for case in args.cases:
            print(f"{case:<20} {per_call(case, args.floor, Path(name)) / 1e6:9.1f} M instructions per call", flush=True)


if __name__ == "__main__":
    main()
