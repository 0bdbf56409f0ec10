"""Leak benchmark: many shape_json calls in one process, with every kind of outcome, and the
resident memory and interpreter allocations sampled as they go. After warm-up both must stay
flat; the script prints the growth per 1,000 calls.

    python tools/leak_bench.py                    # 20,000 calls, 2,000 of warm-up
    python tools/leak_bench.py --calls 4000 --warmup 1000 --json

Outcomes mixed in: results traced and untraced over four fonts and both directions, bad
feature lists, the feature refusal, empty texts, font bytes the port rejects, damaged fonts,
a missing backend library, and, when TESVO_TEST_BACKENDS_DIR names the test backends,
contained engine failures (a backend breaking its contract). TMPDIR is a private directory,
checked to be empty at the end.
"""

import argparse
import array
import ctypes
import gc
import json
import os
import sys
import tempfile
import time
from pathlib import Path

import _tesvo

FONTS = [
    "/usr/share/fonts/truetype/noto/NotoSans-Regular.ttf",
    "/usr/share/fonts/truetype/noto/NotoNaskhArabic-Regular.ttf",
    "/usr/share/fonts/truetype/noto/NotoSansDevanagari-Regular.ttf",
    "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
]
TEXTS = [
    "Wave AVATAR office",
    "\u0644\u0627 \u0645\u0631\u062d\u0628\u064b\u0627 123",
    "\u0915\u094d\u0937\u093f \u0928\u092e\u0938\u094d\u0924\u0947",
    "abc \u05e9\u05c1\u05b8\u05dc\u05d5\u05b9\u05dd (def)",
    "e\u0301a\u0308\u0323 \U0001F600 \u65e5\u672c",
]
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def make_requests():
    fonts = [Path(p).read_bytes() for p in FONTS if Path(p).is_file()]
    damaged = bytearray(fonts[0][: len(fonts[0]) // 3])
    for at in range(100, len(damaged), 997):
        damaged[at] ^= 0x5A
    requests = []
    for i, font in enumerate(fonts):
        for j, text in enumerate(TEXTS):
            requests.append((font, text, dict(trace=(i + j) % 2 == 0)))
            requests.append((font, text, dict(direction="rtl")))
    requests += [
        (fonts[0], "ab", dict(features="liga=x")),
        (fonts[0], "ab", dict(features="liga, -kern")),
        (fonts[0], "", {}),
        (b"not a font at all", "ab", {}),
        (bytes(damaged), "abc", dict(trace=True)),
        (fonts[0], "ab", dict(usp10="/nonexistent/libnothing.so")),
        (fonts[0], "ab", dict(textshaping=True)),
    ]
    backends = os.environ.get("TESVO_TEST_BACKENDS_DIR")
    if backends:
        path = str(Path(backends) / "libfake_port.so")
        fake = ctypes.CDLL(path)
        fake.fake_configure(b"item pos=0; item pos=1; shape at=1 count=-1; "
                            b"stage name=s glyphs=1,2")
        # The fake keeps a log of every call: clear it now and then (see run()).
        requests += [(fonts[0], "ab", dict(usp10=path, trace=True)),   # contained failure
                     (fonts[0], "a", dict(usp10=path, trace=True))]    # text
    else:
        fake = None
    return requests, fake


def run(calls, warmup, every):
    requests, fake = make_requests()
    outcomes = {"text": 0, "error": 0, "panic": 0}
    # (calls done, rss, allocated blocks) per sample, in storage made up front, so that
    # taking a sample allocates nothing that the next one would count.
    slots = (calls - warmup) // every + 1
    samples = array.array("q", bytes(8 * 3 * slots))
    taken = 0
    # The engine's report of each contained failure goes to standard error: not shown.
    saved_stderr = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    with tempfile.TemporaryDirectory() as tmpdir:
        os.environ["TMPDIR"] = tmpdir
        start = time.monotonic()
        for n in range(1, calls + 1):
            font, text, kw = requests[n % len(requests)]
            try:
                _tesvo.shape_json(font, text, **kw)
                outcomes["text"] += 1
            except RuntimeError as exc:
                outcomes["panic" if "panicked" in str(exc) else "error"] += 1
            if fake is not None and n % 500 == 0:
                fake.fake_configure(b"item pos=0; item pos=1; shape at=1 count=-1; "
                                    b"stage name=s glyphs=1,2")
            if n >= warmup and (n - warmup) % every == 0:
                gc.collect()
                samples[3 * taken] = n
                samples[3 * taken + 1] = rss_bytes()
                samples[3 * taken + 2] = sys.getallocatedblocks()
                taken += 1
        elapsed = time.monotonic() - start
        left = os.listdir(tmpdir)
    os.dup2(saved_stderr, 2)
    os.close(saved_stderr)
    os.close(null)
    samples = [tuple(samples[3 * i:3 * i + 3]) for i in range(taken)]
    live_caches = fake.fake_live_caches() if fake is not None else None
    return outcomes, samples, elapsed, left, live_caches


def slope(points):
    """Least-squares growth per 1,000 calls."""
    n = len(points)
    if n < 2:
        return 0.0
    mx = sum(x for x, _ in points) / n
    my = sum(y for _, y in points) / n
    sxx = sum((x - mx) ** 2 for x, _ in points)
    sxy = sum((x - mx) * (y - my) for x, y in points)
    return 1000 * sxy / sxx


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--warmup", type=int, default=2000)
    parser.add_argument("--every", type=int, default=1000, help="sample every N calls")
    parser.add_argument("--json", action="store_true", help="print one JSON object")
    args = parser.parse_args()

    outcomes, samples, elapsed, left, live_caches = run(args.calls, args.warmup, args.every)
    rss = [(n, r) for n, r, _ in samples]
    blocks = [(n, b) for n, _, b in samples]
    figures = {
        "calls": args.calls,
        "warmup": args.warmup,
        "seconds": round(elapsed, 2),
        "outcomes": outcomes,
        "rss_first_mib": round(rss[0][1] / 2**20, 2),
        "rss_last_mib": round(rss[-1][1] / 2**20, 2),
        "rss_max_mib": round(max(r for _, r in rss) / 2**20, 2),
        "rss_growth_kib_per_1000": round(slope(rss) / 1024, 2),
        "blocks_growth_per_1000": round(slope(blocks), 2),
        "left_in_tmpdir": left,
        "live_caches": live_caches,
    }
    if args.json:
        print(json.dumps(figures))
        return
    print(f"{args.calls} calls in {elapsed:.1f} s: {outcomes}")
    print(f"resident memory after {args.warmup} calls of warm-up: "
          f"{figures['rss_first_mib']} MiB, at the end {figures['rss_last_mib']} MiB, "
          f"at most {figures['rss_max_mib']} MiB")
    print(f"growth per 1,000 calls: resident {figures['rss_growth_kib_per_1000']} KiB, "
          f"interpreter blocks {figures['blocks_growth_per_1000']}")
    for n, r, b in samples:
        print(f"  after {n:6d} calls: {r / 2**20:8.2f} MiB resident, {b} blocks")
    print(f"temporary files left: {len(left)}; script caches alive: {live_caches}")


if __name__ == "__main__":
    main()
