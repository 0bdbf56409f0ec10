"""Benchmarks of the tesvo package: a corpus of short words through Font.shape_many against
a uharfbuzz loop and against shape_json calls, the command's --batch, the CJK collection,
and the memory of shape_many over a long corpus. Every timing is the median processor time
of alternating rounds taken side by side in this one run (see suite.py).

Run it through `bash bench/run.sh --api`, which sets everything up.
"""
from __future__ import annotations

import argparse
import os
import random
import resource
import shlex
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Iterator

import _tesvo
import tesvo
import uharfbuzz as hb

from suite import alternate

NOTO_SANS = Path("/usr/share/fonts/truetype/noto/NotoSans-Regular.ttf")
CJK = Path("/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc")


def words(count: int, seed: int = 13) -> list[str]:
    """Words of 3 to 10 lower-case letters, the same every run."""
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyz"
    return ["".join(rng.choice(letters) for _ in range(rng.randint(3, 10))) for _ in range(count)]


def cjk_lines(count: int, seed: int = 13) -> list[str]:
    rng = random.Random(seed)
    return ["".join(chr(rng.randint(0x4E00, 0x9FA5)) for _ in range(rng.randint(5, 20))) for _ in range(count)]


def uharfbuzz_loop(path: Path, index: int, corpus: list[str]) -> Callable[[], object]:
    face = hb.Face(hb.Blob.from_file_path(str(path)), index)
    font = hb.Font(face)

    def run() -> object:
        out = []
        for text in corpus:
            buf = hb.Buffer()
            buf.add_str(text)
            buf.guess_segment_properties()
            hb.shape(font, buf)
            out.append([(i.codepoint, i.cluster, p.x_advance, p.x_offset, p.y_offset)
                        for i, p in zip(buf.glyph_infos, buf.glyph_positions)])
        return out
    return run


def shape_many(path: Path, index: int, corpus: list[str], open_font: bool = False) -> Callable[[], object]:
    held = tesvo.Font(path, index=index)

    def run() -> object:
        font = tesvo.Font(path, index=index) if open_font else held
        return [[(g.id, g.cluster, g.advance, g.x_offset, g.y_offset) for g in r.glyphs]
                for r in font.shape_many(corpus)]
    return run


def shape_json_calls(path: Path, corpus: list[str]) -> Callable[[], object]:
    data = path.read_bytes()
    return lambda: [_tesvo.shape_json(data, text) for text in corpus]


def children_time(fn: Callable[[], object]) -> Callable[[], float]:
    """A runner measured by the processor time of the child processes it waits for."""
    def run() -> float:
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        fn()
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return run


def batch_run(command: list[str], font: Path, corpus_file: Path, lines: int) -> Callable[[], object]:
    def run() -> object:
        done = subprocess.run([*command, "--batch", str(corpus_file), "--no-progress", str(font)],
                              stdout=subprocess.PIPE, check=True)
        assert done.stdout.count(b"\n") == lines, "the command did not write one line per word"
        return done
    return run


def line(name: str, value: float, unit: str, detail: str = "") -> None:
    print(f"  {name:<58} {value:>10.3f} {unit:<4} {detail}", flush=True)


def section_words(rounds: int, count: int) -> None:
    print(f"== {count:,} words of 3 to 10 letters, Noto Sans")
    corpus = words(count)
    t = alternate(rounds, {"many": shape_many(NOTO_SANS, 0, corpus), "hb": uharfbuzz_loop(NOTO_SANS, 0, corpus),
                           "json": shape_json_calls(NOTO_SANS, corpus)})
    line("Font.shape_many, glyph tuples collected", t["many"], "s")
    line("uharfbuzz loop, glyph tuples collected", t["hb"], "s")
    line(f"{count:,} shape_json calls", t["json"], "s")
    line("shape_many / uharfbuzz loop (target <= 2)", t["many"] / t["hb"], "x")
    line("shape_json calls / shape_many (target >= 15)", t["json"] / t["many"], "x")


def section_compare(rounds: int, count: int) -> None:
    print(f"== tesvo compare of {count:,} words, Noto Sans Regular against Bold")
    from tesvo.compare import Side, compare

    corpus = words(count)
    bold = NOTO_SANS.with_name("NotoSans-Bold.ttf")
    regular_pass, bold_pass = shape_many(NOTO_SANS, 0, corpus), shape_many(bold, 0, corpus)
    sides = Side(str(NOTO_SANS)), Side(str(bold))
    t = alternate(rounds, {"compare": lambda: sum(not line.same for line in compare(*sides, corpus)),
                           "two": lambda: (regular_pass(), bold_pass())})
    line("compare(), every line", t["compare"], "s")
    line("two shape_many passes, glyph tuples collected", t["two"], "s")
    line("compare / two passes (target <= 3)", t["compare"] / t["two"], "x")


def word_lines(kind: str, count: int, seed: int = 13) -> list[str]:
    """Lines of 1 to 4 words of the sample sentences of a script (bench/texts.py), the same every run."""
    from texts import SENTENCES

    rng = random.Random(seed)
    vocabulary = sorted({w for s in SENTENCES[kind] for w in s.split()})
    return [" ".join(rng.choice(vocabulary) for _ in range(rng.randint(1, 4))) for _ in range(count)]


def font_v2(path: Path, out: Path, corpus: list[str]) -> Path:
    """The font with one value changed, as a fontTools-made second version: the advance width
    of the glyph of the character found in the share of the corpus' lines nearest a tenth,
    so that most lines are the same."""
    from collections import Counter

    from fontTools.ttLib import TTFont

    font = TTFont(path)
    cmap = font.getBestCmap()
    counts = Counter(c for text in corpus for c in set(text) if ord(c) in cmap and not c.isspace())
    char = min(counts, key=lambda c: abs(counts[c] - len(corpus) / 10))
    width, lsb = font["hmtx"][cmap[ord(char)]]
    font["hmtx"][cmap[ord(char)]] = (width + 17, lsb)
    font.save(out)
    return out


def kind_of(path: Path) -> str:
    return "arabic" if "Arabic" in path.name else "devanagari" if "Devanagari" in path.name else "latin"


def section_compare_fonts(rounds: int, count: int) -> None:
    """compare() of two fonts against two shape_many passes that read every glyph, for a
    font against its bold and against a second version of itself."""
    from tesvo.compare import Side, compare

    noto = NOTO_SANS.parent
    with tempfile.TemporaryDirectory() as tmp:
        pairs = [(NOTO_SANS, noto / "NotoSans-Bold.ttf")]
        for name in ("NotoSans-Regular", "NotoNaskhArabic-Regular", "NotoSansDevanagari-Regular"):
            path = noto / f"{name}.ttf"
            pairs.append((path, font_v2(path, Path(tmp) / f"{name}-v2.ttf", word_lines(kind_of(path), count))))
        for left, right in pairs:
            corpus = word_lines(kind_of(left), count)
            print(f"== tesvo compare of {count:,} lines, {left.name} against {right.name}")
            sides = Side(str(left)), Side(str(right))
            differ = sum(not line.same for line in compare(*sides, corpus))
            passes = shape_many(left, 0, corpus), shape_many(right, 0, corpus)
            t = alternate(rounds, {"compare": lambda: sum(not line.same for line in compare(*sides, corpus)),
                                   "two": lambda: (passes[0](), passes[1]())})
            line("compare(), every line, glyphs by name", t["compare"], "s", f"({differ:,} lines differ)")
            line("two shape_many passes, glyph tuples collected", t["two"], "s")
            line("compare / two passes (target <= 1.3)", t["compare"] / t["two"], "x")


def cli_compare(left: Path, right: Path, corpus_file: Path, jobs: int) -> tuple[float, float, int]:
    """Wall seconds, processor seconds and peak resident KiB of one `tesvo compare` run."""
    probe = ("import resource, runpy, sys; sys.argv = ['tesvo'] + sys.argv[1:]\n"
             "try: runpy.run_module('tesvo', run_name='__main__')\n"
             "except SystemExit: pass\n"
             "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr)")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    done = subprocess.run([sys.executable, "-c", probe, "compare", str(left), str(right), "--text-file",
                           str(corpus_file), "--no-progress", "-j", str(jobs)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, int(done.stderr.decode().split()[-1])


def section_compare_jobs(rounds: int, counts: list[int]) -> None:
    """tesvo compare -j 2 against -j 1 in wall time, and the parent's peak memory."""
    noto = NOTO_SANS.parent
    left = noto / "NotoSansDevanagari-Regular.ttf"
    with tempfile.TemporaryDirectory() as tmp:
        right = font_v2(left, Path(tmp) / "v2.ttf", word_lines("devanagari", 10_000))
        for count in counts:
            corpus_file = Path(tmp) / "corpus.txt"
            corpus_file.write_text("\n".join(word_lines("devanagari", count)) + "\n", encoding="utf-8")
            print(f"== tesvo compare -j 1 and -j 2, {count:,} Devanagari lines, {left.name} against a v2"
                  f" (load {os.getloadavg()[0]:.2f})")
            runs: dict[int, list[tuple[float, float, int]]] = {1: [], 2: []}
            for _ in range(rounds):
                for jobs in runs:
                    runs[jobs].append(cli_compare(left, right, corpus_file, jobs))
            wall = {jobs: sorted(r[0] for r in v)[len(v) // 2] for jobs, v in runs.items()}
            for jobs, v in runs.items():
                line(f"-j {jobs}: wall", wall[jobs], "s",
                     f"processor {sorted(r[1] for r in v)[len(v) // 2]:.2f} s, peak {max(r[2] for r in v):,} KiB")
            line("-j 1 wall / -j 2 wall (target >= 1.7)", wall[1] / wall[2], "x")


def section_compare_memory(count: int) -> None:
    """The resident set of compare() over lines given one at a time, two fonts."""
    from tesvo.compare import Side, compare

    print(f"== memory of compare() over {count:,} Devanagari lines, a font against a v2 (resident set, KiB)")
    left = NOTO_SANS.with_name("NotoSansDevanagari-Regular.ttf")
    block = word_lines("devanagari", 10_000)
    with tempfile.TemporaryDirectory() as tmp:
        right = font_v2(left, Path(tmp) / "v2.ttf", block)
        corpus: Iterator[str] = (text for _ in range(count // len(block)) for text in block)
        samples, differ = [], 0
        for n, compared in enumerate(compare(Side(str(left)), Side(str(right)), corpus), 1):
            differ += not compared.same
            if n % (count // 10) == 0:
                samples.append(resident_kib())
    line("after 10% of the lines", samples[0], "KiB")
    line("after 100% of the lines", samples[-1], "KiB", f"({differ:,} lines differ)")
    line("growth from 10% to 100% (flat: about 0)", samples[-1] - samples[0], "KiB")


def section_cjk(rounds: int, count: int) -> None:
    print(f"== {count:,} lines of 5 to 20 ideographs, Noto Sans CJK collection (face 0)")
    corpus = cjk_lines(count)
    t = alternate(rounds, {"many": shape_many(CJK, 0, corpus, open_font=True), "hb": uharfbuzz_loop(CJK, 0, corpus),
                           "json": shape_json_calls(CJK, corpus)})
    line("Font(...) + shape_many, font opened inside the timing", t["many"], "s")
    line("uharfbuzz loop, font opened before", t["hb"], "s")
    line(f"{count:,} shape_json calls", t["json"], "s")
    line("shape_many / uharfbuzz loop", t["many"] / t["hb"], "x")
    line("shape_json calls / shape_many", t["json"] / t["many"], "x")


def section_batch(rounds: int, font: Path, corpus: list[str], what: str, before: list[str] | None) -> None:
    count = len(corpus)
    with tempfile.TemporaryDirectory() as tmp:
        corpus_file = Path(tmp) / "corpus.txt"
        corpus_file.write_text("\n".join(corpus) + "\n", encoding="utf-8")
        runners = {"after": batch_run([sys.executable, "-m", "tesvo_shape"], font, corpus_file, count)}
        if before:
            runners["before"] = batch_run(before, font, corpus_file, count)
        times: dict[str, list[float]] = {name: [] for name in runners}
        for _ in range(rounds):
            for name, fn in runners.items():
                times[name].append(children_time(fn)())
    median = {name: sorted(v)[len(v) // 2] for name, v in times.items()}
    print(f"== tesvo-shape --batch, {what} (processor time of the command)")
    line("this tree's --batch", median["after"], "s")
    if before:
        line("--batch of the command given by --batch-before", median["before"], "s")
        line("before / after (target >= 10)", median["before"] / median["after"], "x")


def resident_kib() -> int:
    for text in Path("/proc/self/status").read_text().splitlines():
        if text.startswith("VmRSS:"):
            return int(text.split()[1])
    return 0


def section_memory(count: int) -> None:
    print(f"== memory of shape_many over {count:,} lines (resident set, KiB)")
    font = tesvo.Font(NOTO_SANS)
    corpus: Iterator[str] = (w for w in words(1000) * (count // 1000))
    samples = []
    start = time.monotonic()
    for n, result in enumerate(font.shape_many(corpus), 1):
        if n % (count // 10) == 0:
            samples.append(resident_kib())
    line("after 10% of the lines", samples[0], "KiB")
    line("after 100% of the lines", samples[-1], "KiB")
    line("growth from 10% to 100% (flat: about 0)", samples[-1] - samples[0], "KiB",
         f"({time.monotonic() - start:.1f} s wall)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--only", nargs="+", choices=["words", "compare", "fonts", "jobs", "cmpmemory", "cjk", "batch", "memory"],
                        default=["words", "compare", "cjk", "batch", "memory"])
    parser.add_argument("--batch-before", metavar="COMMAND",
                        help="the command line of an earlier tesvo-shape to compare --batch with, "
                        "as one shell-quoted string")
    args = parser.parse_args()
    rounds = 3 if args.quick else 5
    if "words" in args.only:
        section_words(rounds, 10_000)
    if "compare" in args.only:
        section_compare(rounds, 10_000)
    if "fonts" in args.only:
        section_compare_fonts(rounds, 100_000)
    if "jobs" in args.only:
        section_compare_jobs(max(1, rounds - 2), [100_000, 1_000_000])
    if "cmpmemory" in args.only:
        section_compare_memory(1_000_000)
    if "cjk" in args.only:
        section_cjk(rounds, 500)
    if "batch" in args.only:
        before = shlex.split(args.batch_before) if args.batch_before else None
        section_batch(max(1, rounds - 2), NOTO_SANS, words(10_000), "10,000 words, Noto Sans", before)
        section_batch(max(1, rounds - 2), CJK, cjk_lines(500), "500 lines of ideographs, Noto Sans CJK", before)
    if "memory" in args.only:
        section_memory(1_000_000)


if __name__ == "__main__":
    main()
