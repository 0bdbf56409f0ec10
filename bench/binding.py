"""The binding's own cost: the tesvo package against uharfbuzz, each less the HarfBuzz
beneath it, on the same items of the same text; peak memory of one result; shape_json on
a text of many items; the memory of shape_many over a long corpus.

Every contender runs in a worker process of its own (so that an earlier build of the
package can run beside this one), and the rounds alternate the contenders: the parent
asks each worker in turn for one round and collects the processor time the worker took
for it. A round is the least processor time of BEST_OF calls in a row (the speed of this
machine drifts from second to second: one call alone made the figures swing by a third from
run to run, the own costs, differences of two such figures, by twice that). Each figure is a
median of rounds, with the spread (lowest .. highest) beside it; the own costs' ratio is the
median of the rounds' ratios, each of calls made a fraction of a second apart.

    python bench/binding.py [--quick] [--only cost memory json long many] [--before SITE]

SITE is a directory holding an earlier build of the package (`pip install --target SITE
OLD_CHECKOUT`); its `Font.shape` then runs as one more contender ("before").
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# Calls in a row per round, the least of them the round's time.
BEST_OF = 3
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import texts  # noqa: E402

# One worker: reads a command per line, answers with one line. "round" runs the contender
# once and answers with the processor seconds it took.
WORKER = r"""
import sys, time, json
BEST_OF = int(sys.argv[6])
sys.path.insert(0, sys.argv[1])
import texts
contender, kind, text_file, items_file = sys.argv[2:6]
text = open(text_file, encoding="utf-8").read()
runs = [tuple(int(v) for v in line.split()) for line in open(items_file)]
path = texts.FONTS[kind]

if contender in ("tesvo", "before", "tesvo-columns", "records-list"):
    import tesvo
    font = tesvo.Font(path)
    if contender == "records-list":
        # The reading loop alone over records that already exist, each its own object in a
        # list (the iteration CPython does fastest): what any binding's reader pays.
        made = list(font.shape(text).glyphs)
        def once():
            for g in made:
                g.id, g.cluster, g.advance, g.x_offset, g.y_offset
    elif contender == "tesvo-columns":
        def once():
            r = font.shape(text)
            return (r.glyph_ids.tolist(), r.clusters.tolist(), r.advances.tolist(), r.x_offsets.tolist(),
                    r.y_offsets.tolist())
    else:
        def once():
            r = font.shape(text)
            for g in r.glyphs:
                g.id, g.cluster, g.advance, g.x_offset, g.y_offset
elif contender == "shape_json":
    import _tesvo
    data = open(path, "rb").read()
    def once():
        _tesvo.shape_json(data, text)
else:
    import uharfbuzz as hb
    font = hb.Font(hb.Face(hb.Blob.from_file_path(path)))
    read = contender == "uharfbuzz"
    def once():
        for start, end, rtl in runs:
            buf = hb.Buffer()
            buf.add_str(text[start:end])
            buf.guess_segment_properties()
            buf.direction = "rtl" if rtl else "ltr"
            hb.shape(font, buf)
            if read:
                for info, pos in zip(buf.glyph_infos, buf.glyph_positions):
                    info.codepoint, info.cluster, pos.x_advance, pos.x_offset, pos.y_offset

once()  # warm up: caches, heaps and page tables as in a program that shapes again and again
print("ready", flush=True)
def timed():
    start = time.process_time()
    once()
    return time.process_time() - start

for command in sys.stdin:
    print(min(timed() for _ in range(BEST_OF)), flush=True)
"""

# Peak resident memory added by one result held, in a fresh process.
PEAK = r"""
import sys, json
sys.path.insert(0, sys.argv[1])
import texts
contender, kind, text_file, items_file = sys.argv[2:6]
text = open(text_file, encoding="utf-8").read()
runs = [tuple(int(v) for v in line.split()) for line in open(items_file)]

def peak():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024

if contender == "tesvo":
    import tesvo
    font = tesvo.Font(texts.FONTS[kind])
    font.shape("warm up")
    before = peak()
    held = font.shape(text)
else:
    import uharfbuzz as hb
    font = hb.Font(hb.Face(hb.Blob.from_file_path(texts.FONTS[kind])))
    buf = hb.Buffer(); buf.add_str("warm up"); buf.guess_segment_properties(); hb.shape(font, buf)
    before = peak()
    held = []
    for start, end, rtl in runs:
        buf = hb.Buffer()
        buf.add_str(text[start:end])
        buf.guess_segment_properties()
        buf.direction = "rtl" if rtl else "ltr"
        hb.shape(font, buf)
        held.append((buf, buf.glyph_infos, buf.glyph_positions) if contender == "uharfbuzz-read" else buf)
print(json.dumps({"added": peak() - before}))
"""


class Worker:
    def __init__(self, contender: str, kind: str, text_file: Path, items_file: Path, path: str | None = None) -> None:
        env = dict(os.environ)
        if path:
            env["PYTHONPATH"] = path
        self.proc = subprocess.Popen([sys.executable, "-c", WORKER, str(HERE), contender, kind, str(text_file),
                                      str(items_file), str(BEST_OF)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                     env=env, cwd=tempfile.gettempdir())
        assert self.proc.stdout is not None and self.proc.stdout.readline().strip() == "ready"

    def round(self) -> float:
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.proc.stdin.write("round\n")
        self.proc.stdin.flush()
        return float(self.proc.stdout.readline())

    def close(self) -> None:
        assert self.proc.stdin is not None
        self.proc.stdin.close()
        self.proc.wait()


class Floor:
    """bench/hb_floor.cpp: the system HarfBuzz (the backend's) shaping the same items from C++,
    in a worker process of its own that stays, as the Python contenders do."""

    def __init__(self, binary: Path, kind: str, text: str, runs: list[tuple[int, int, int]], tmp: Path) -> None:
        (tmp / f"{kind}.u16").write_bytes(text.encode("utf-16-le"))
        (tmp / f"{kind}.floor").write_text("".join(f"{s} {e} {r}\n" for s, e, r in runs))
        # It shapes once to warm up (the shape plans made, the font's tables read and its
        # pages mapped), then answers each round with the least time of BEST_OF repetitions.
        self.proc = subprocess.Popen([str(binary), texts.FONTS[kind], str(tmp / f"{kind}.u16"),
                                      str(tmp / f"{kind}.floor"), "serve"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout is not None and self.proc.stdout.readline().strip() == "ready"

    def round(self) -> float:
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.proc.stdin.write(f"{BEST_OF}\n")
        self.proc.stdin.flush()
        return float(self.proc.stdout.readline())

    def close(self) -> None:
        assert self.proc.stdin is not None
        self.proc.stdin.close()
        self.proc.wait()


class BidiFloor(Floor):
    """bench/bidi_floor.cpp: ICU's bidi levels of the whole text (ubidi_setPara at the
    default level), which the itemizer works out and the uharfbuzz contender is handed."""

    def __init__(self, binary: Path, kind: str, text: str, tmp: Path) -> None:
        (tmp / f"{kind}.u16").write_bytes(text.encode("utf-16-le"))
        self.proc = subprocess.Popen([str(binary), str(tmp / f"{kind}.u16")], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout is not None and self.proc.stdout.readline().strip() == "ready"


def alternate(rounds: int, contenders: dict[str, Worker | Floor]) -> dict[str, list[float]]:
    times: dict[str, list[float]] = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, c in contenders.items():
            times[name].append(c.round())
    for c in contenders.values():
        c.close()
    return times


def ms(values: list[float]) -> str:
    return f"{statistics.median(values) * 1e3:8.1f} ms  ({min(values) * 1e3:.1f} .. {max(values) * 1e3:.1f})"


def items_of(kind: str, text: str) -> list[tuple[int, int, int]]:
    import tesvo
    result = tesvo.Font(texts.FONTS[kind]).shape(text)
    return [(i.start, i.end, int(i.rtl)) for i in result.items]


def write_inputs(tmp: Path, kind: str, text: str, runs: list[tuple[int, int, int]]) -> tuple[Path, Path]:
    text_file, items_file = tmp / f"{kind}.txt", tmp / f"{kind}.items"
    text_file.write_text(text, encoding="utf-8")
    items_file.write_text("".join(f"{s} {e} {r}\n" for s, e, r in runs))
    return text_file, items_file


def needs_bidi(text: str) -> bool:
    """Whether the backend asks ICU for the text's levels: it skips the resolution of a
    left-to-right text without right-to-left letters, Arabic numbers and explicit controls."""
    import unicodedata
    asks = {"R", "AL", "AN", "LRE", "RLE", "LRO", "RLO", "PDF", "LRI", "RLI", "FSI", "PDI"}
    return any(unicodedata.bidirectional(c) in asks for c in set(text))


def section_cost(rounds: int, floor: Path, before: str | None, tmp: Path) -> None:
    bidi = floor.with_name("bidi_floor")
    print("== the binding's own cost, 100,000 code units: (shape + read every glyph) less the HarfBuzz beneath")
    for kind in ("arabic", "devanagari", "latin"):
        text = texts.make_text(kind, 100_000)
        runs = items_of(kind, text)
        text_file, items_file = write_inputs(tmp, kind, text, runs)
        # The four the ratio is made of first and side by side, so that each round's ratio
        # comes from calls a fraction of a second apart.
        contenders: dict[str, Worker | Floor] = {
            "tesvo": Worker("tesvo", kind, text_file, items_file),
            "hb_floor": Floor(floor, kind, text, runs, tmp),
            "uharfbuzz": Worker("uharfbuzz", kind, text_file, items_file),
            "uharfbuzz-shape": Worker("uharfbuzz-shape", kind, text_file, items_file),
            "tesvo-columns": Worker("tesvo-columns", kind, text_file, items_file),
            "records-list": Worker("records-list", kind, text_file, items_file),
        }
        if bidi.exists() and needs_bidi(text):
            contenders["icu-bidi"] = BidiFloor(bidi, kind, text, tmp)
        if before:
            contenders["before"] = Worker("before", kind, text_file, items_file, before)
        t = alternate(rounds, contenders)
        med = {name: statistics.median(v) for name, v in t.items()}
        print(f"-- {kind}: {len(runs)} items")
        for name, values in t.items():
            print(f"  {name:<52} {ms(values)}")
        own = med["tesvo"] - med["hb_floor"]
        theirs = med["uharfbuzz"] - med["uharfbuzz-shape"]
        print(f"  {'tesvo own cost (tesvo - hb_floor)':<52} {own * 1e3:8.1f} ms")
        print(f"  {'uharfbuzz own cost (read - shape alone)':<52} {theirs * 1e3:8.1f} ms")

        def ratio(name: str) -> str:
            # Round by round, each own cost over uharfbuzz's of the same round: the machine's
            # drift between rounds cancels out. Beside it the same from each contender's least
            # time (a virtual machine's stolen time only ever adds to a call's).
            values = sorted((t[name][k] - t["hb_floor"][k]) / (t["uharfbuzz"][k] - t["uharfbuzz-shape"][k])
                            for k in range(rounds))
            least = (min(t[name]) - min(t["hb_floor"])) / (min(t["uharfbuzz"]) - min(t["uharfbuzz-shape"]))
            return f"{statistics.median(values):8.2f} x  ({values[0]:.2f} .. {values[-1]:.2f}); least times {least:.2f} x"

        print(f"  {'tesvo own / uharfbuzz own (target <= 0.6)':<52} {ratio('tesvo')}")
        print(f"  {'tesvo own, columns read as lists / uharfbuzz own':<52} {ratio('tesvo-columns')}")
        # What no change to the engine can take away: reading records that exist, and
        # (with right-to-left text) ICU resolving the bidi levels the items come from.
        share = statistics.median(t["records-list"][k] / (t["uharfbuzz"][k] - t["uharfbuzz-shape"][k])
                                  for k in range(rounds))
        print(f"  {'reading records already made (a list) / uharfbuzz own':<52} {share:8.2f} x")
        if "icu-bidi" in t:
            share = statistics.median(t["icu-bidi"][k] / (t["uharfbuzz"][k] - t["uharfbuzz-shape"][k])
                                      for k in range(rounds))
            print(f"  {'ICU bidi levels of the text / uharfbuzz own':<52} {share:8.2f} x")
        if before:
            print(f"  {'before own / uharfbuzz own':<52} {ratio('before')}")


def section_memory(tmp: Path, length: int, before: str | None) -> None:
    print(f"== peak resident memory added by one result held, {length:,} code units (VmHWM, fresh process)")
    for kind in ("arabic", "devanagari", "latin"):
        text = texts.make_text(kind, length)
        text_file, items_file = write_inputs(tmp, kind, text, items_of(kind, text))
        added = {}
        runs = [("tesvo", "tesvo", None), ("uharfbuzz", "uharfbuzz", None), ("uharfbuzz-read", "uharfbuzz-read", None)]
        if before:
            runs.append(("before", "tesvo", before))
        for name, contender, path in runs:
            env = dict(os.environ, PYTHONPATH=path) if path else None
            out = subprocess.run([sys.executable, "-c", PEAK, str(HERE), contender, kind, str(text_file),
                                  str(items_file)], check=True, capture_output=True, text=True,
                                 cwd=tempfile.gettempdir(), env=env).stdout
            added[name] = json.loads(out)["added"]
        print(f"-- {kind}: tesvo {added['tesvo'] / 1e6:.1f} MB, uharfbuzz buffers held "
              f"{added['uharfbuzz'] / 1e6:.1f} MB, uharfbuzz buffers and glyph_infos/positions held "
              f"{added['uharfbuzz-read'] / 1e6:.1f} MB; tesvo / uharfbuzz {added['tesvo'] / added['uharfbuzz']:.2f}, "
              f"tesvo / uharfbuzz read {added['tesvo'] / added['uharfbuzz-read']:.2f}" +
              (f"; before {added['before'] / 1e6:.1f} MB" if before else ""))


def numbered_arabic(length: int) -> str:
    """Arabic prose without digits, with a number every 40 code units (each one an item of its own)."""
    words = " ".join(s for s in texts.SENTENCES["arabic"] if not any(c.isdigit() for c in s)).split()
    out: list[str] = []
    size, since, n = 0, 0, 0
    while size < length:
        word = words[n % len(words)]
        n += 1
        if since >= 40:
            word = f"{n % 1000} {word}"
            since = 0
        out.append(word)
        size += len(word) + 1
        since += len(word) + 1
    return " ".join(out)[:length]


def section_json(rounds: int, floor: Path, before: str | None, tmp: Path) -> None:
    import _tesvo
    print("== shape_json, 100,000 code units of Arabic with a number every 40: against hb_floor on its items")
    text = numbered_arabic(100_000)
    data = Path(texts.FONTS["arabic"]).read_bytes()
    doc = json.loads(_tesvo.shape_json(data, text))
    import suite
    runs = [(s, e, int(r)) for s, e, r in suite.items_of(doc)]
    text_file, items_file = write_inputs(tmp, "arabic", text, runs)
    contenders: dict[str, Worker | Floor] = {"shape_json": Worker("shape_json", "arabic", text_file, items_file),
                                             "hb_floor": Floor(floor, "arabic", text, runs, tmp)}
    if before:
        contenders["before"] = Worker("shape_json", "arabic", text_file, items_file, before)
    t = alternate(rounds, contenders)
    for name, values in t.items():
        print(f"  {name:<52} {ms(values)}")
    ratio = statistics.median(t["shape_json"]) / statistics.median(t["hb_floor"])
    print(f"  {'shape_json / hb_floor (target <= 3), ' + str(len(runs)) + ' items':<52} {ratio:8.2f} x")
    if before:
        ratio = statistics.median(t["before"]) / statistics.median(t["hb_floor"])
        print(f"  {'before / hb_floor':<52} {ratio:8.2f} x")


def one_script(kind: str, length: int) -> str:
    """The sample sentences written in the kind's own script alone (no Greek letters in the
    Latin, no digits in the Arabic, no Latin acronyms in the Devanagari), one line: a single
    item of the itemizer."""
    def foreign(c: str) -> bool:
        return (kind == "latin" and 0x370 <= ord(c) < 0x400) or (kind == "arabic" and c.isdigit()) or \
               (kind == "devanagari" and c.isascii() and c.isalpha())
    sentences = [s for s in texts.SENTENCES[kind] if not any(foreign(c) for c in s)]
    return " ".join(sentences * (length // sum(len(s) + 1 for s in sentences) + 1))[:length]


def hb_shape_run(kind: str, text: str, tmp: Path) -> list[tuple[int, ...]]:
    """hb-shape's single run of the whole text (the system HarfBuzz, the backend's)."""
    source = tmp / "run.txt"
    source.write_text(text, encoding="utf-8")
    out = subprocess.run(["hb-shape", "--no-glyph-names", texts.FONTS[kind], f"--text-file={source}"],
                         check=True, capture_output=True, text=True).stdout.strip()[1:-1]
    glyphs = []
    for g in out.split("|"):
        head, _, adv = g.rpartition("+")
        gid_cl, _, offset = head.partition("@")
        gid, _, cl = gid_cl.partition("=")
        x, _, y = offset.partition(",") if offset else ("0", "", "0")
        glyphs.append((int(gid), int(cl), int(adv), int(x), int(y)))
    return glyphs


def section_long(tmp: Path, length: int) -> None:
    import tesvo
    print(f"== {length:,} code units in one script: Font.shape against hb-shape's single run")
    for kind in ("latin", "devanagari", "arabic"):
        text = one_script(kind, length)
        font = tesvo.Font(texts.FONTS[kind])
        start = time.process_time()
        result = font.shape(text)
        took = time.process_time() - start
        pieces: list[list[tuple[int, ...]]] = [[] for _ in result.items]
        for g in result.glyphs:
            pieces[g.item].append((g.id, g.cluster, g.advance, g.x_offset, g.y_offset))
        if result.items[0].rtl:
            pieces.reverse()
        ours = [g for piece in pieces for g in piece]
        same = ours == hb_shape_run(kind, text, tmp)
        print(f"-- {kind}: {len(result.glyphs):,} glyphs in {len(result.items)} items, Font.shape {took:.2f} s; "
              f"glyphs {'equal to' if same else 'DIFFERENT from'} hb-shape's; {result.warnings[0] if result.warnings else 'not cut'}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", nargs="+", choices=["cost", "memory", "json", "long", "many"],
                        default=["cost", "memory", "json", "long", "many"])
    parser.add_argument("--floor", default=str(HERE.parent / "build" / "bench" / "hb_floor"))
    parser.add_argument("--before", help="site directory of an earlier build of the package")
    args = parser.parse_args()
    rounds = 5 if args.quick else 11
    floor = Path(args.floor)
    import uharfbuzz as hb
    import tesvo
    print(f"tesvo {tesvo.__version__} at {Path(tesvo.__file__).parent}, "
          f"uharfbuzz {hb.__version__} (HarfBuzz {hb.version_string()}), Python {sys.version.split()[0]}, "
          f"load {os.getloadavg()[0]:.1f}, {time.strftime('%Y-%m-%d %H:%M')}; processor time, median (lowest .. highest) "
          f"of {rounds} alternating rounds")
    with tempfile.TemporaryDirectory() as name:
        tmp = Path(name)
        if "cost" in args.only:
            section_cost(rounds, floor, args.before, tmp)
        if "memory" in args.only:
            section_memory(tmp, 400_000, args.before)
        if "json" in args.only:
            section_json(rounds, floor, args.before, tmp)
        if "long" in args.only:
            section_long(tmp, 1_000_000)
    if "many" in args.only:
        import api
        api.section_memory(200_000 if args.quick else 1_000_000)


if __name__ == "__main__":
    main()
