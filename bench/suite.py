"""The benchmark suite of _tesvo: every figure is a ratio of two timings (or of two
amounts) taken side by side in this one run, on the same font and text, so that the
figures hold on a noisy shared machine. Each timing is the median of several rounds,
and the rounds of the things compared alternate.

Run it through bench/run.sh, which sets everything up; `--quick` runs fewer rounds.
"""
from __future__ import annotations

import argparse
import itertools
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import _tesvo
import uharfbuzz as hb
from fontTools.ttLib import TTFont

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import texts  # noqa: E402

ITEM_LINE = re.compile(r"^Uniscribe item \d+: script \d+ tag 0x[0-9a-f]{8} chars (\d+)\.\.(\d+) -> \d+ glyphs( \(RTL)?")
KINDS = ("latin", "arabic", "devanagari", "mixed")


@dataclass
class Figure:
    section: str
    name: str
    value: float
    target: str
    ok: bool | None  # None: reported, no target
    detail: str = ""


@dataclass
class Report:
    figures: list[Figure] = field(default_factory=list)

    def add(self, section: str, name: str, value: float, target: str, ok: bool | None, detail: str = "") -> None:
        fig = Figure(section, name, value, target, ok, detail)
        self.figures.append(fig)
        mark = {True: "met", False: "MISSED", None: "-"}[ok]
        print(f"  {name:<52} {value:>9.2f}   {target:<14} {mark:<6} {detail}", flush=True)


def cpu_time(fn: Callable[[], object]) -> float:
    """The processor time (user and system) of one run of fn in this process. Unlike
    the wall time it does not count the time other processes of a shared machine
    take the processor away, so ratios of it hold steady under load."""
    start = time.process_time()
    fn()
    return time.process_time() - start


def alternate(rounds: int, runners: dict[str, Callable[[], object]]) -> dict[str, float]:
    """Runs each runner once per round, in turn, and returns the median processor
    seconds of each. Each runs once unmeasured first: caches, heaps and page tables
    warm up as they would in a program that shapes again and again."""
    times: dict[str, list[float]] = {name: [] for name in runners}
    for fn in runners.values():
        fn()
    for _ in range(rounds):
        for name, fn in runners.items():
            times[name].append(cpu_time(fn))
    return {name: statistics.median(values) for name, values in times.items()}


# ---- the things compared ------------------------------------------------------------


_TRIP_NAMES = itertools.count()  # unique names across threads, as the module's counter


def file_round_trip(data: bytes, count: int) -> None:
    """What every call of the module does with the font bytes: a new private file,
    written, read back and removed."""
    directory = os.environ.get("TMPDIR") or "/tmp"
    pid = os.getpid()
    for _ in range(count):
        path = os.path.join(directory, f"bench_{pid}_{next(_TRIP_NAMES)}.font")
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
        finally:
            os.close(fd)
        with open(path, "rb") as f:
            f.read()
        os.unlink(path)


def items_of(document: dict) -> list[tuple[int, int, bool]]:
    """The item runs of a shape_json result: (start, end, right-to-left)."""
    runs = []
    for message in document["messages"]:
        match = ITEM_LINE.match(message)
        if match:
            runs.append((int(match[1]), int(match[2]), bool(match[3])))
    return runs


def uharfbuzz_shape(font: hb.Font, text: str, runs: list[tuple[int, int, bool]]) -> int:
    """uharfbuzz shaping the same item runs with a cached font; no output."""
    glyphs = 0
    for start, end, rtl in runs:
        buf = hb.Buffer()
        buf.add_str(text[start:end])
        buf.guess_segment_properties()
        buf.direction = "rtl" if rtl else "ltr"
        hb.shape(font, buf)
        glyphs += len(buf.glyph_infos)
    return glyphs


def python_document(font_path: str, font: hb.Font, text: str, runs: list[tuple[int, int, bool]]) -> str:
    """What a Python user would write to get the same document: uharfbuzz shaping,
    fontTools for the font's facts, and json.dumps of the dictionary tree."""
    tt = TTFont(font_path, lazy=True, fontNumber=0)
    name = tt["name"].getDebugName(1) or Path(font_path).stem
    final: list[dict] = []
    stages: list[dict] = []
    messages: list[str] = []
    for index, (start, end, rtl) in enumerate(runs):
        buf = hb.Buffer()
        buf.add_str(text[start:end])
        buf.guess_segment_properties()
        buf.direction = "rtl" if rtl else "ltr"
        hb.shape(font, buf)
        records = [
            {"g": info.codepoint, "cl": start + info.cluster, "ax": pos.x_advance, "ay": 0,
             "dx": pos.x_offset, "dy": pos.y_offset, "flags": 0}
            for info, pos in zip(buf.glyph_infos, buf.glyph_positions)
        ]
        final.extend(records)
        stages.append({"depth": 0, "effective": True, "glyphs": [dict(r) for r in records],
                       "m": f"Uniscribe shape item {index} (script 0, tag 0x00000000)"})
        messages.append(f"Uniscribe item {index}: chars {start}..{end} -> {len(records)} glyphs")
    document = {
        "engine": "uniscribe", "final": final, "stages": stages, "messages": messages,
        "font_info": {"family": name, "path": font_path},
        "glyph_count": tt["maxp"].numGlyphs, "upem": tt["head"].unitsPerEm,
    }
    return json.dumps(document, indent=2, sort_keys=True, ensure_ascii=False)


def hb_floor_times(binary: Path, font_path: str, text: str, runs: list[tuple[int, int, bool]],
                   repeats: int) -> list[float] | None:
    """The backend's own HarfBuzz (the system library) shaping the same runs from C++."""
    if not binary.is_file():
        return None
    with tempfile.TemporaryDirectory() as tmp:
        text_file = Path(tmp, "text.u16")
        text_file.write_bytes(text.encode("utf-16-le"))
        items_file = Path(tmp, "items.txt")
        items_file.write_text("".join(f"{s} {e} {int(r)}\n" for s, e, r in runs))
        out = subprocess.run([str(binary), font_path, str(text_file), str(items_file), str(repeats)],
                             check=True, capture_output=True, text=True).stdout
    return [float(line.split()[0]) for line in out.splitlines()]


# ---- sections ---------------------------------------------------------------------


def short_text(report: Report, rounds: int) -> None:
    print("\n1. Short text per call: shape_json vs (file round trip + uharfbuzz), same font and text")
    for kind, path, count in (("latin", texts.FONTS["latin"], 300), ("cjk", texts.FONTS["cjk"], 20)):
        data = Path(path).read_bytes()
        font = hb.Font(hb.Face(hb.Blob(data)))
        text = texts.SHORT_TEXT
        _tesvo.shape_json(data, text)
        uharfbuzz_shape(font, text, [(0, len(text), False)])

        def module(data: bytes = data) -> None:
            for _ in range(count):
                _tesvo.shape_json(data, text)

        def uhb(font: hb.Font = font) -> None:
            for _ in range(count):
                uharfbuzz_shape(font, text, [(0, len(text), False)])

        t = alternate(rounds, {"module": module, "trip": lambda d=data: file_round_trip(d, count), "uhb": uhb})
        per = {k: v / count * 1e6 for k, v in t.items()}
        ratio = per["module"] / (per["trip"] + per["uhb"])
        report.add("short", f"{kind}: shape_json / (round trip + uharfbuzz)", ratio, "<= 1.5", ratio <= 1.5,
                   f"{per['module']:.0f} us vs {per['trip']:.0f} + {per['uhb']:.1f} us ({len(data):,} font bytes)")


def long_text(report: Report, rounds: int, lengths: tuple[int, ...], floor_binary: Path, python: bool) -> None:
    """Sections 2 and 3: both lengths of a text are measured in the same rounds, so
    that the scaling figure is a ratio taken side by side as well."""
    print("\n2. Long text: shape_json (output included) vs uharfbuzz on the same item runs (no output),")
    print("   vs the backend's own HarfBuzz from C++ (the shaping floor, no target), and vs the Python")
    print("   way to the same document (uharfbuzz + json.dumps(indent=2, sort_keys=True, ensure_ascii=False))")
    scaling: list[tuple[str, float, float, float, float]] = []
    for kind in KINDS:
        path = texts.FONTS[kind]
        data = Path(path).read_bytes()
        font = hb.Font(hb.Face(hb.Blob(data)))
        cases = {}
        for length in lengths:
            text = texts.make_text(kind, length)
            result = _tesvo.shape_json(data, text)
            runs = items_of(json.loads(result))
            cases[length] = (text, runs, result.encode())
            del result
        runners: dict[str, Callable[[], object]] = {}
        for length, (text, runs, _) in cases.items():
            runners[f"module {length}"] = lambda t=text: _tesvo.shape_json(data, t)
            runners[f"uhb {length}"] = lambda t=text, r=runs: uharfbuzz_shape(font, t, r)
            runners[f"str {length}"] = lambda b=cases[length][2]: b.decode("utf-8")
        t = alternate(rounds, runners)
        for length, (text, runs, encoded) in cases.items():
            label = f"{kind} {length // 1000}k"
            module, uhb = t[f"module {length}"], t[f"uhb {length}"]
            ratio = module / uhb
            report.add("long-a", f"{label}: shape_json / uharfbuzz", ratio, "<= 3", ratio <= 3,
                       f"{module * 1e3:.0f} ms vs {uhb * 1e3:.1f} ms; {len(runs)} items, "
                       f"{len(encoded) / 1e6:.0f} MB JSON")
            floor = hb_floor_times(floor_binary, path, text, runs, max(rounds, 3))
            if floor:
                hb6 = statistics.median(floor)
                report.add("long-a", f"{label}: shape_json / backend's HarfBuzz (C++)", module / hb6, "(floor)",
                           None, f"{hb6 * 1e3:.1f} ms; that HarfBuzz / uharfbuzz = {hb6 / uhb:.2f}")
                # The two steps no change to the module can avoid: the backend's shaping and
                # the str of the result. What the target leaves beside them is the budget
                # for everything else (items, records, the JSON text).
                made_str = t[f"str {length}"]
                report.add("long-a", f"{label}: (str of the JSON + backend's HarfBuzz) / uharfbuzz",
                           (made_str + hb6) / uhb, "(floor)", None,
                           f"str {made_str * 1e3:.0f} ms; the rest took {(module - made_str - hb6) * 1e3:.0f} ms, "
                           f"the target leaves {(3 * uhb - made_str - hb6) * 1e3:.0f} ms")
            if python:
                # One run of the Python way (tens of seconds at 1M) against the median above.
                way = cpu_time(lambda t=text, r=runs: python_document(path, font, t, r))
                speedup = way / module
                report.add("long-b", f"{label}: Python json.dumps way / shape_json", speedup, ">= 20",
                           speedup >= 20, f"{way:.2f} s vs {module:.3f} s")
        if len(lengths) == 2:
            small, large = lengths
            scaling.append((kind, t[f"module {large}"], t[f"module {small}"], t[f"str {large}"], t[f"str {small}"]))
    if scaling:
        print(f"\n3. Scaling: time for {lengths[1]:,} code units / time for {lengths[0]:,}; the floor line is the")
        print("   same ratio for making a Python str of the JSON's length (bytes.decode), which shape_json does too")
        for kind, large, small, str_large, str_small in scaling:
            r = large / small
            report.add("scaling", f"{kind}: shape_json 1M / 100k", r, "9 .. 11", 9 <= r <= 11,
                       f"{large:.3f} s / {small * 1e3:.1f} ms")
            report.add("scaling", f"{kind}: a str of the JSON's length 1M / 100k", str_large / str_small, "(floor)",
                       None, f"{str_large * 1e3:.0f} ms / {str_small * 1e3:.1f} ms; without it: "
                       f"{(large - str_large) / (small - str_small):.2f}")


def traced_scaling(report: Report, rounds: int, kinds: tuple[str, ...]) -> None:
    print("\n3b. Scaling of the traced run (trace=True): 1M / 100k, and the same for a str of the JSON's length")
    for kind in kinds:
        data = Path(texts.FONTS[kind]).read_bytes()
        small, large = texts.make_text(kind, 100_000), texts.make_text(kind, 1_000_000)
        small_json = _tesvo.shape_json(data, small, trace=True).encode()
        large_json = _tesvo.shape_json(data, large, trace=True).encode()
        t = alternate(rounds, {
            "small": lambda: _tesvo.shape_json(data, small, trace=True),
            "large": lambda: _tesvo.shape_json(data, large, trace=True),
            "str small": lambda: small_json.decode("utf-8"),
            "str large": lambda: large_json.decode("utf-8"),
        })
        r = t["large"] / t["small"]
        report.add("scaling", f"{kind} traced: shape_json 1M / 100k", r, "9 .. 11", 9 <= r <= 11,
                   f"{t['large']:.2f} s / {t['small']:.3f} s; {len(large_json) / 1e6:.0f} MB JSON")
        report.add("scaling", f"{kind} traced: a str of the JSON's length 1M / 100k", t["str large"] / t["str small"],
                   "(floor)", None, f"{t['str large']:.2f} s / {t['str small']:.3f} s; without it: "
                   f"{(t['large'] - t['str large']) / (t['small'] - t['str small']):.2f}")
        del small_json, large_json


# The peak is read from VmHWM, the high-water mark of this process's own memory.
# ru_maxrss would do in a process started by fork and exec, but Python starts
# subprocesses with vfork where it can, and then the child's ru_maxrss starts at
# the parent's peak, which here is several gigabytes.
MEMORY_PROBE = r"""
import sys, json
sys.path.insert(0, sys.argv[1])
import _tesvo, texts

def peak():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM")

kind, length, trace = sys.argv[2], int(sys.argv[3]), sys.argv[4] == "1"
data = open(texts.FONTS[kind], "rb").read()
text = texts.make_text(kind, length)
_tesvo.shape_json(data, "warm up", trace=trace)
before = peak()
result = _tesvo.shape_json(data, text, trace=trace)
after = peak()
print(json.dumps({"added": after - before, "json": len(result)}))
"""


def memory(report: Report, kinds: tuple[str, ...], traced: tuple[str, ...]) -> None:
    print("\n4. Memory: peak resident memory added by one call on 1,000,000 code units / length of the JSON")
    for kind, trace in [(k, False) for k in kinds] + [(k, True) for k in traced]:
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(HERE), kind, "1000000", "1" if trace else "0"],
                             check=True, capture_output=True, text=True).stdout
        m = json.loads(out)
        r = m["added"] / m["json"]
        report.add("memory", f"{kind}{' traced' if trace else ''}: peak added / JSON length", r, "<= 3", r <= 3,
                   f"{m['added'] / 1e6:.0f} MB for {m['json'] / 1e6:.0f} MB of JSON")


WORKER = r"""
import os, sys, time
sys.path.insert(0, sys.argv[1])
import _tesvo, texts
data = open(texts.FONTS["latin"], "rb").read()
what, seconds = sys.argv[2], float(sys.argv[3])
from suite import file_round_trip
call = (lambda: _tesvo.shape_json(data, texts.SHORT_TEXT)) if what == "module" else (lambda: file_round_trip(data, 1))
call()
sys.stdout.write("ready\n"); sys.stdout.flush()
sys.stdin.readline()
calls, end, cpu = 0, time.perf_counter() + seconds, time.process_time()
while time.perf_counter() < end:
    call()
    calls += 1
print(calls, time.process_time() - cpu)
"""


def processes_rate(count: int, seconds: float, what: str) -> tuple[float, float]:
    """Calls per second of `count` processes started together, and the processor
    seconds they got per second."""
    workers = [subprocess.Popen([sys.executable, "-c", WORKER, str(HERE), what, str(seconds)], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True) for _ in range(count)]
    for w in workers:
        assert w.stdout is not None and w.stdin is not None
        w.stdout.readline()
    for w in workers:  # start together
        assert w.stdin is not None
        w.stdin.write("go\n")
        w.stdin.flush()
    results = [w.communicate()[0].split() for w in workers]
    return sum(int(r[0]) for r in results) / seconds, sum(float(r[1]) for r in results) / seconds


def threads_rate(count: int, seconds: float, call: Callable[[], object]) -> tuple[float, float]:
    """Calls per second of `count` threads of this process, and the processor seconds
    the process got per second."""
    calls = [0] * count
    barrier = threading.Barrier(count + 1)

    def work(i: int) -> None:
        barrier.wait()
        end = time.perf_counter() + seconds
        n = 0
        while time.perf_counter() < end:
            call()
            n += 1
        calls[i] = n

    pool = [threading.Thread(target=work, args=(i,)) for i in range(count)]
    for t in pool:
        t.start()
    cpu = time.process_time()
    barrier.wait()
    for t in pool:
        t.join()
    return sum(calls) / seconds, (time.process_time() - cpu) / seconds


def concurrency(report: Report, rounds: int, seconds: float) -> None:
    print("\n5. Concurrency: many short calls with the same font (Latin), calls per second of wall time;")
    print("   the floor lines are the same for the file round trip alone, in Python")
    data = Path(texts.FONTS["latin"]).read_bytes()
    module = lambda: _tesvo.shape_json(data, texts.SHORT_TEXT)  # noqa: E731
    trip = lambda: file_round_trip(data, 1)  # noqa: E731
    runs: dict[str, list[tuple[float, float]]] = {"m1": [], "m4": [], "t1": [], "t4": []}
    for _ in range(rounds):
        runs["m1"].append(threads_rate(1, seconds, module))
        runs["m4"].append(threads_rate(4, seconds, module))
        runs["t1"].append(threads_rate(1, seconds, trip))
        runs["t4"].append(threads_rate(4, seconds, trip))
    rate = {k: statistics.median(r[0] for r in v) for k, v in runs.items()}
    cpu = {k: statistics.median(r[1] for r in v) for k, v in runs.items()}
    r = rate["m4"] / rate["m1"]
    report.add("concurrency", "4 threads / 1 thread, calls per second", r, ">= 1", r >= 1,
               f"{rate['m4']:.0f} vs {rate['m1']:.0f} calls/s; processor {cpu['m4']:.2f} vs {cpu['m1']:.2f} s/s")
    report.add("concurrency", "4 threads / 1 thread, file round trip alone", rate["t4"] / rate["t1"], "(floor)", None,
               f"{rate['t4']:.0f} vs {rate['t1']:.0f} round trips/s")

    procs: dict[str, list[tuple[float, float]]] = {"m1": [], "m2": [], "t1": [], "t2": []}
    for _ in range(rounds):
        procs["m1"].append(processes_rate(1, seconds, "module"))
        procs["m2"].append(processes_rate(2, seconds, "module"))
        procs["t1"].append(processes_rate(1, seconds, "trip"))
        procs["t2"].append(processes_rate(2, seconds, "trip"))
    rate = {k: statistics.median(r[0] for r in v) for k, v in procs.items()}
    cpu = {k: statistics.median(r[1] for r in v) for k, v in procs.items()}
    r = rate["m2"] / rate["m1"]
    report.add("concurrency", "2 processes / 1 process, calls per second", r, "about 2 (>= 1.7)", r >= 1.7,
               f"{rate['m2']:.0f} vs {rate['m1']:.0f} calls/s; the processes got {cpu['m2']:.2f} vs "
               f"{cpu['m1']:.2f} processor s/s")
    per_cpu = (rate["m2"] / cpu["m2"]) / (rate["m1"] / cpu["m1"])
    report.add("concurrency", "2 processes / 1 process, calls per processor second", per_cpu, "(no target)", None,
               "about 1: two processes lose nothing to each other; 2 free cores would give about 2 x")
    report.add("concurrency", "2 processes / 1 process, file round trip alone", rate["t2"] / rate["t1"], "(floor)",
               None, f"{rate['t2']:.0f} vs {rate['t1']:.0f} round trips/s")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--only", nargs="*", default=[],
                        help="sections: short long python traced memory concurrency (default: all)")
    parser.add_argument("--floor", default=str(HERE.parent / "build" / "bench" / "hb_floor"),
                        help="the hb_floor binary (built by run.sh)")
    parser.add_argument("--lengths", type=int, nargs="*", default=[100_000, 1_000_000],
                        help="text lengths of the long-text section, in UTF-16 code units")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    wanted = set(args.only) or {"short", "long", "python", "traced", "memory", "concurrency"}
    rounds = 3 if args.quick else 5
    report = Report()
    started = time.perf_counter()
    print(f"_tesvo {_tesvo.__version__}, uharfbuzz {hb.__version__} (HarfBuzz {hb.version_string()}), "
          f"Python {sys.version.split()[0]}, {os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}, "
          f"{time.strftime('%Y-%m-%d %H:%M')}")
    print("Times are processor time (user + system) of the measuring process, medians of rounds that alternate")
    print("the things compared; concurrency figures are wall-clock rates.")
    print(f"  {'figure':<52} {'measured':>9}   {'target':<14} result")
    if "short" in wanted:
        short_text(report, rounds)
    if "long" in wanted:
        long_text(report, 3, tuple(args.lengths), Path(args.floor), python="python" in wanted)
    if "traced" in wanted:
        traced_scaling(report, 2, ("latin", "devanagari"))
    if "memory" in wanted:
        memory(report, KINDS, ("latin",))
    if "concurrency" in wanted:
        concurrency(report, 3, 1.0 if args.quick else 2.0)
    judged = [f for f in report.figures if f.ok is not None]
    missed = [f for f in judged if not f.ok]
    print(f"\n{len(judged) - len(missed)} targets met, {len(missed)} missed, in {time.perf_counter() - started:.0f} s")
    if args.json:
        Path(args.json).write_text(json.dumps([f.__dict__ for f in report.figures], indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
