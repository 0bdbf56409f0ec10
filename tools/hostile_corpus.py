"""Shapes every file of a corpus of hostile fonts through shape_json, plain and traced, with
texts of several scripts, each font in a child process with a deadline and a memory cap, and
prints the figures: files, outcomes, the slowest call and the largest memory.

    python tools/hostile_corpus.py                        # ../shared/fonts/hostile
    python tools/hostile_corpus.py DIR --jobs 2 --json    # one JSON object per font

A font whose file ends in 64 bytes that read as 16 Unicode scalar values (little-endian
UTF-32) is also shaped with that text: the text HarfBuzz's shaping fuzzer took from it.

Each call must end in a result or one of the documented errors (ERRORS), within CALL_SECONDS
of processor time and CALL_RSS_BYTES of resident memory, and leave no file in the child's
private TMPDIR. The exit status is 1 when a call or a child breaks any of these.
"""

import argparse
import concurrent.futures
import json
import os
import re
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

DEFAULT_CORPUS = Path(__file__).resolve().parents[2] / "shared" / "fonts" / "hostile"

TEXTS = [
    "lol Wave ffi",
    "\u0645\u0631\u062d\u0628\u0627 \u0628\u0627\u0644\u0639\u0627\u0644\u0645",
    "\u0928\u092e\u0938\u094d\u0924\u0947 \u0915\u094d\u0937\u093f\u0924\u093f",
    "\u05e9\u05c1\u05b8\u05dc\u05d5\u05b9\u05dd \u05e2\u05d5\u05dc\u05dd",
    "\u6f22\u5b57\u304b\u306a\u30ab\u30ca \ud55c\uae00 \u0e20\u0e32\u0e29\u0e32",
]

# What a hostile font may make a call end in, besides a result (README, "Hostile fonts").
ERRORS = re.compile(
    r"usp_set_font_bytes failed \(rc=[1-4]\)"
    r"|no glyphs produced"
    r"|ScriptShapeOpenType: glyph buffer overflow"
    r"|cannot trace with this font: .+"
    r"|cannot trace this text: .+"
)

CALL_SECONDS = 1.0
CALL_RSS_BYTES = 512 << 20
CHILD_ADDRESS_SPACE = 1536 << 20  # virtual memory: the interpreter and libraries count too
CHILD_DEADLINE = 60.0

# One JSON line per call: the outcome, processor and wall seconds, and the peak resident
# memory of the process so far (so the largest value bounds every call).
CHILD = r"""
import json, resource, sys, time
import _tesvo
data = open(sys.argv[1], "rb").read()
for text in json.loads(sys.argv[2]):
    for trace in (False, True):
        cpu = time.process_time()
        wall = time.perf_counter()
        try:
            doc = json.loads(_tesvo.shape_json(data, text, trace=trace))
            outcome = {"glyphs": len(doc["final"])}
        except RuntimeError as e:
            outcome = {"error": str(e)}
        outcome.update(trace=trace, text=text, cpu=time.process_time() - cpu,
                       wall=time.perf_counter() - wall,
                       rss=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
        print(json.dumps(outcome), flush=True)
"""


def fuzzer_text(data):
    """The last 64 bytes as 16 little-endian UTF-32 code points, when all are scalar values."""
    if len(data) < 64:
        return None
    tail = data[-64:]
    points = [int.from_bytes(tail[i : i + 4], "little") for i in range(0, 64, 4)]
    if any(p > 0x10FFFF or 0xD800 <= p <= 0xDFFF for p in points):
        return None
    return "".join(map(chr, points))


def _cap_memory():
    resource.setrlimit(resource.RLIMIT_AS, (CHILD_ADDRESS_SPACE, CHILD_ADDRESS_SPACE))
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def run_font(path, python=sys.executable):
    """Shapes one font in a child; returns its calls and every broken rule."""
    texts = list(TEXTS)
    extra = fuzzer_text(Path(path).read_bytes())
    if extra is not None:
        texts.append(extra)
    with tempfile.TemporaryDirectory(prefix="tesvo-hostile-") as tmp:
        env = dict(os.environ, TMPDIR=tmp)
        started = time.perf_counter()
        try:
            proc = subprocess.run([python, "-c", CHILD, str(path), json.dumps(texts)], env=env,
                                  capture_output=True, timeout=CHILD_DEADLINE, preexec_fn=_cap_memory)
            code, out, err = proc.returncode, proc.stdout, proc.stderr
        except subprocess.TimeoutExpired as e:
            code, out, err = "deadline", e.stdout or b"", e.stderr or b""
        left = os.listdir(tmp)
    calls = [json.loads(line) for line in out.decode().splitlines()]
    broken = []
    if code != 0:
        tail = err.decode(errors="replace").strip().splitlines()[-1:]
        broken.append(f"child ended with {code} after {time.perf_counter() - started:.1f} s: {tail}")
    if len(calls) != 2 * len(texts) and code == 0:
        broken.append(f"{len(calls)} calls reported, {2 * len(texts)} made")
    if left:
        broken.append(f"files left behind: {left}")
    for call in calls:
        what = f"trace={call['trace']} text={call['text']!r}"
        if "error" in call and not ERRORS.fullmatch(call["error"]):
            broken.append(f"{what}: undocumented error {call['error']!r}")
        if call["cpu"] >= CALL_SECONDS:
            broken.append(f"{what}: {call['cpu']:.2f} s of processor time")
        if call["rss"] >= CALL_RSS_BYTES:
            broken.append(f"{what}: {call['rss'] >> 20} MiB resident")
    return {"font": Path(path).name, "calls": calls, "broken": broken}


def run_corpus(directory, jobs=2):
    fonts = sorted(p for p in Path(directory).iterdir() if p.is_file() and p.name != "README.md")
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        return list(pool.map(run_font, fonts))


def figures(reports):
    calls = [c for r in reports for c in r["calls"]]
    outcomes = {}
    for c in calls:
        error = c.get("error", "result")
        key = error.split(":")[0] if error.startswith("cannot trace") else error
        outcomes[key] = outcomes.get(key, 0) + 1
    slowest = max(calls, key=lambda c: c["cpu"], default=None)
    largest = max(calls, key=lambda c: c["rss"], default=None)
    font_of = {id(c): r["font"] for r in reports for c in r["calls"]}
    lines = [f"{len(reports)} files, {len(calls)} calls"]
    lines += [f"  {n:6d}  {k}" for k, n in sorted(outcomes.items(), key=lambda kv: -kv[1])]
    if slowest:
        lines.append(f"slowest call: {slowest['cpu']:.3f} s processor, {slowest['wall']:.3f} s wall "
                     f"({font_of[id(slowest)]}, trace={slowest['trace']})")
        lines.append(f"slowest wall: {max(c['wall'] for c in calls):.3f} s")
        lines.append(f"largest memory: {largest['rss'] / 2**20:.1f} MiB resident "
                     f"({font_of[id(largest)]}, trace={largest['trace']})")
    broken = [f"{r['font']}: {b}" for r in reports for b in r["broken"]]
    lines.append(f"broken: {len(broken)}")
    lines += [f"  {b}" for b in broken]
    return "\n".join(lines), broken


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("directory", nargs="?", default=DEFAULT_CORPUS, type=Path)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--json", action="store_true", help="one JSON object per font")
    args = parser.parse_args()
    started = time.perf_counter()
    reports = run_corpus(args.directory, args.jobs)
    if args.json:
        for r in reports:
            print(json.dumps(r, ensure_ascii=False))
    text, broken = figures(reports)
    print(text)
    print(f"{time.perf_counter() - started:.1f} s in all")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
