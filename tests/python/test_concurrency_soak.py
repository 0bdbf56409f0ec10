"""Soak: 8 threads x 500 requests over four fonts and mixed texts with the bundled backend,
in a child interpreter with every probe switch set. Every result equals the same request run
alone, and the report lines on standard error are whole lines, never two requests' text
mixed within one line. TESVO_SOAK_CALLS changes the number of requests per thread."""

import hashlib
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import _tesvo

FONT_FILES = [
    Path("/usr/share/fonts/truetype/noto/NotoSans-Regular.ttf"),
    Path("/usr/share/fonts/truetype/noto/NotoNaskhArabic-Regular.ttf"),
    Path("/usr/share/fonts/truetype/noto/NotoSansDevanagari-Regular.ttf"),
    Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"),
]
TEXTS = [
    "Wave AVATAR office",
    "\u0644\u0627 \u0645\u0631\u062d\u0628\u064b\u0627 123",
    "\u0915\u094d\u0937\u093f \u0928\u092e\u0938\u094d\u0924\u0947",
    "abc \u05e9\u05c1\u05b8\u05dc\u05d5\u05b9\u05dd (def) \u202egh\u202c",
    "e\u0301a\u0308\u0323 \U0001F600 \u65e5\u672c",
    "Lorem ipsum dolor sit amet \u0627\u0644\u0639\u0631\u0628\u064a\u0629 " * 6,
]
REQUESTS = [(f, t, trace, direction)
            for f in range(len(FONT_FILES)) for t in range(len(TEXTS))
            for trace, direction in ((False, "auto"), (True, "auto"), (False, "rtl"))]
THREADS = 8
CALLS = int(os.environ.get("TESVO_SOAK_CALLS", "500"))


def digest(out):
    doc = json.loads(out)
    doc["font_info"].pop("path")
    return hashlib.sha256(json.dumps(doc, sort_keys=True).encode()).hexdigest()


SOAK = r"""
import hashlib, json, os, random, sys, threading
import _tesvo
fonts = [open(p, "rb").read() for p in {fonts!r}]
texts = {texts!r}
requests = {requests!r}
def digest(out):
    doc = json.loads(out)
    doc["font_info"].pop("path")
    return hashlib.sha256(json.dumps(doc, sort_keys=True).encode()).hexdigest()
results = []
def worker(seed):
    rng = random.Random(seed)
    mine = []
    for _ in range({calls}):
        r = rng.randrange(len(requests))
        f, t, trace, direction = requests[r]
        try:
            out = digest(_tesvo.shape_json(fonts[f], texts[t], trace=trace, direction=direction))
        except Exception as exc:
            out = repr(exc)
        mine.append((r, out))
    results.extend(mine)
threads = [threading.Thread(target=worker, args=(k,)) for k in range({threads})]
for t in threads: t.start()
for t in threads: t.join()
json.dump(results, sys.stdout)
"""

# Every report line the probe switches print on this platform, whole.
GLYPHS = r"\[(?:\d+(?:, \d+)*)?\]"
LINE = re.compile("|".join([
    r"\[nativerun\] apps=0",
    rf"\[nativerun\] last_run=None shaped_final={GLYPHS} match=false",
    r"\[glyph\] fires=0 cap=\d+",
    r"\[glyph\] distinct_states=0",
    r"\[ret\] fires=0 base=0x0",
    r"\[worker\] events=0 gdi32full_base=0x0",
    r"\[callee\] fires \(ts_probe=true\):",
]))


@pytest.fixture(scope="module")
def alone():
    fonts = [p.read_bytes() for p in FONT_FILES]
    return [digest(_tesvo.shape_json(fonts[f], TEXTS[t], trace=trace, direction=direction))
            for f, t, trace, direction in REQUESTS]


def test_eight_threads_agree_with_requests_run_alone(tmp_path, alone):
    env = {k: v for k, v in os.environ.items() if not k.startswith("TESVO_")}
    env["TMPDIR"] = str(tmp_path)
    for name in ("TESVO_NATIVE_RUN", "TESVO_GLYPH_PROBE", "TESVO_RET_PROBE",
                 "TESVO_WORKER_PROBE", "TESVO_CALLEE_PROBE", "TESVO_TS_PROBE"):
        env[name] = ""
    code = SOAK.format(fonts=[str(p) for p in FONT_FILES], texts=TEXTS, requests=REQUESTS,
                       calls=CALLS, threads=THREADS)
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          timeout=900)
    assert proc.returncode == 0, proc.stderr[-2000:]
    results = json.loads(proc.stdout)
    assert len(results) == THREADS * CALLS
    wrong = [(REQUESTS[r], out) for r, out in results if out != alone[r]]
    assert wrong == [], f"{len(wrong)} results differ from the request run alone: {wrong[:3]}"
    assert os.listdir(tmp_path) == []

    lines = proc.stderr.decode().split("\n")
    assert lines[-1] == "", "the report ends with a whole line"
    bad = [line for line in lines[:-1] if not LINE.fullmatch(line)]
    assert bad == [], f"{len(bad)} mixed or unknown report lines, e.g. {bad[:3]}"
    # Seven lines per shaped item, items of every request.
    assert len(lines) - 1 >= 7 * THREADS * CALLS
    assert (len(lines) - 1) % 7 == 0
