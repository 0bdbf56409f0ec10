"""One run of 1,000,000 UTF-16 code units in one script (no item breaks but the spaces):
`Font.shape` processor time, each round in a fresh process, this build against another
build of the package given with --before (a folder to put first on sys.path), interleaved.

    .venv/bin/python bench/long_text.py --before /tmp/before_site --rounds 5
"""
from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys

NOTO = "/usr/share/fonts/truetype/noto"
TEXTS = {
    "latin": (f"{NOTO}/NotoSans-Regular.ttf", "The quick brown fox jumps over the lazy dog. "),
    "devanagari": (f"{NOTO}/NotoSansDevanagari-Regular.ttf",
                   "\u0939\u093f\u0928\u094d\u0926\u0940 \u092d\u093e\u0930\u0924 \u0915\u0940 "
                   "\u0938\u092c\u0938\u0947 \u0905\u0927\u093f\u0915 \u092c\u094b\u0932\u0940 "),
    "arabic": (f"{NOTO}/NotoNaskhArabic-Regular.ttf",
               "\u0627\u0644\u062e\u0637 \u0627\u0644\u0639\u0631\u0628\u064a \u0641\u0646 "
               "\u062c\u0645\u064a\u0644 \u064a\u062c\u0645\u0639 \u0628\u064a\u0646 "),
}
ROUND = r"""
import sys, time, tesvo
path, unit, length = sys.argv[1], sys.argv[2], int(sys.argv[3])
text = (unit * (length // len(unit) + 1))[:length]
font = tesvo.Font(path)
font.shape("warm up")
start = time.process_time()
result = font.shape(text)
print(time.process_time() - start, len(result.items))
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--before", help="site folder of the build to compare with")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--length", type=int, default=1_000_000)
    args = parser.parse_args()
    builds = {"this build": None}
    if args.before:
        builds["before"] = args.before
    times: dict[tuple[str, str], list[float]] = {}
    items: dict[str, int] = {}
    for _ in range(args.rounds):
        for script, (path, unit) in TEXTS.items():
            for build, site in builds.items():
                env = dict(os.environ)
                if site:
                    env["PYTHONPATH"] = site
                out = subprocess.run([sys.executable, "-c", ROUND, path, unit, str(args.length)], env=env,
                                     capture_output=True, text=True, check=True).stdout.split()
                times.setdefault((script, build), []).append(float(out[0]))
                items[script] = int(out[1])
    for script in TEXTS:
        cells = []
        for build in builds:
            t = times[(script, build)]
            cells.append(f"{build} {statistics.median(t):.3f} s ({min(t):.3f} .. {max(t):.3f})")
        print(f"{script}, {args.length:,} code units, {items[script]} items: " + "; ".join(cells))


if __name__ == "__main__":
    main()
