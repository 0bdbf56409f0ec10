"""The package's writers of shaped text, side by side with an earlier build: tesvo --batch's
package-schema lines and notation lines (Font.lines), Result.to_text and Result.to_dict, over
the Latin corpus. Prints the best of five rounds of each, per build; asserts nothing.

    python bench/writers.py [--before DIR] [--lines N]

DIR holds an earlier build's tesvo package and native modules (as a site-packages folder
does); TESVO_VANTOR_BEFORE names its libvantor.so. Without --before only this build runs.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

ROUND = r"""
import json, sys, time
import importlib.resources as resources
import tesvo
lines = int(sys.argv[1])
texts = (resources.files("tesvo") / "corpora" / "latin.txt").read_text(encoding="utf-8").splitlines()
texts = (texts * (lines // len(texts) + 1))[:lines]
font = tesvo.Font("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")
results = list(font.shape_many(texts[:2000]))
best = {}
for _ in range(5):
    for name, run in (("lines schema tesvo", lambda: font.lines(texts, schema="tesvo")),
                      ("lines notation", lambda: font.lines(texts, notation={})),
                      ("to_text x2000", lambda: [r.to_text() for r in results]),
                      ("to_dict x2000", lambda: [r.to_dict() for r in results])):
        start = time.perf_counter()
        run()
        best[name] = min(best.get(name, 1e9), time.perf_counter() - start)
print(json.dumps(best))
"""


def measure(site: str | None, vantor: str | None, lines: int) -> dict[str, float]:
    env = dict(os.environ)
    if site:
        env["PYTHONPATH"] = site
    if vantor:
        env["TESVO_VANTOR"] = vantor
    done = subprocess.run([sys.executable, "-c", ROUND, str(lines)], env=env, capture_output=True, text=True,
                          check=True)
    figures: dict[str, float] = json.loads(done.stdout)
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before")
    parser.add_argument("--lines", type=int, default=10_000)
    args = parser.parse_args()
    builds = [("this build", None, None)]
    if args.before:
        builds.insert(0, ("before", args.before, os.environ.get("TESVO_VANTOR_BEFORE")))
    for round_ in range(2):  # interleaved, as the machine's speed drifts
        for name, site, vantor in builds:
            figures = measure(site, vantor, args.lines)
            print(f"{name:10} " + "  ".join(f"{k} {v * 1000:.1f} ms" for k, v in figures.items()))


if __name__ == "__main__":
    main()
