"""The cost of a trace: `Font.shape(text, trace=True)` against the same call untraced, on
100,000 code units of Latin, Devanagari and Arabic (bench/texts.py's `make_text` with
`FONTS[kind]`), what the traced result holds, and the memory it takes.

Every contender runs in a worker process of its own (so that an earlier build of the package
can run beside this one), and the rounds alternate the contenders: the parent asks each worker
in turn for one round and collects the processor time the worker took for it, as
bench/binding.py does. The ratio is taken round by round (a traced call over the untraced call of
the same round); every figure is a median of rounds with the spread (lowest .. highest) beside it.

    python bench/trace.py [--quick] [--kinds latin devanagari arabic] [--length N] [--before SITE]

A kind ending in -paragraph is one paragraph of one item (bench/texts.py's `paragraph_text`), which
the package traces as pieces.

SITE is a directory holding an earlier build of the package (`pip install --target SITE
OLD_CHECKOUT`); its traced call then runs as one more contender ("before").
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

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import texts  # noqa: E402

# One worker: reads a command per line, answers with the processor seconds one call took.
WORKER = r"""
import sys, time
sys.path.insert(0, sys.argv[1])
import texts, tesvo
kind, length, traced = sys.argv[2], int(sys.argv[3]), sys.argv[4] == "traced"
text = texts.text_of(kind, length)
font = tesvo.Font(texts.FONTS[kind.split('-')[0]])
font.shape(text, trace=traced)  # warm up: caches, heaps and page tables as in a program that shapes again and again
print("ready", flush=True)
for command in sys.stdin:
    start = time.process_time()
    font.shape(text, trace=traced)
    print(time.process_time() - start, flush=True)
"""

# Peak resident memory added by one result held, in a fresh process; and what the trace holds.
PEAK = r"""
import sys, json
sys.path.insert(0, sys.argv[1])
import texts, tesvo
kind, length, traced = sys.argv[2], int(sys.argv[3]), sys.argv[4] == "traced"

def peak():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024

text = texts.text_of(kind, length)
font = tesvo.Font(texts.FONTS[kind.split('-')[0]])
font.shape("warm up", trace=traced)
before = peak()
held = font.shape(text, trace=traced)
facts = {"added": peak() - before}
if traced and hasattr(held.stages[0], "change"):
    facts.update(stages=len(held.stages), whole=sum(len(s.glyphs) for s in held.stages),
                 changed=sum(len(s.change.glyphs) for s in held.stages))
print(json.dumps(facts))
"""


class Worker:
    def __init__(self, kind: str, length: int, traced: bool, site: str | None = None) -> None:
        env = dict(os.environ, PYTHONPATH=site) if site else None
        self.proc = subprocess.Popen([sys.executable, "-c", WORKER, str(HERE), kind, str(length),
                                      "traced" if traced else "plain"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, env=env, cwd=tempfile.gettempdir())
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


def alternate(rounds: int, workers: dict[str, Worker]) -> dict[str, list[float]]:
    times: dict[str, list[float]] = {name: [] for name in workers}
    for _ in range(rounds):
        for name, worker in workers.items():
            times[name].append(worker.round())
    for worker in workers.values():
        worker.close()
    return times


def spread(values: list[float], scale: float = 1.0, unit: str = "") -> str:
    return (f"{statistics.median(values) * scale:8.2f}{unit}  "
            f"({min(values) * scale:.2f} .. {max(values) * scale:.2f})")


def peak(kind: str, length: int, traced: bool, site: str | None) -> dict[str, int]:
    env = dict(os.environ, PYTHONPATH=site) if site else None
    out = subprocess.run([sys.executable, "-c", PEAK, str(HERE), kind, str(length), "traced" if traced else "plain"],
                         check=True, capture_output=True, text=True, env=env, cwd=tempfile.gettempdir()).stdout
    facts: dict[str, int] = json.loads(out)
    return facts


def section(kind: str, length: int, rounds: int, before: str | None) -> None:
    workers = {"untraced": Worker(kind, length, False), "traced": Worker(kind, length, True)}
    if before:
        workers["before"] = Worker(kind, length, True, before)
    t = alternate(rounds, workers)
    print(f"-- {kind}, {length:,} code units")
    for name, values in t.items():
        print(f"  {name + ' call (ms)':<44} {spread(values, 1e3)}")
    ratio = [traced / plain for traced, plain in zip(t["traced"], t["untraced"])]
    print(f"  {'traced / untraced, per round (target <= 8)':<44} {spread(ratio, unit=' x')}")
    if before:
        old = [traced / plain for traced, plain in zip(t["before"], t["untraced"])]
        print(f"  {'before traced / untraced, per round':<44} {spread(old, unit=' x')}")
    held = peak(kind, length, True, None)
    plain = peak(kind, length, False, None)
    line = (f"  {held['stages']:,} stages of {held['whole']:,} glyphs in all, kept as changes of "
            f"{held['changed']:,} glyphs ({held['whole'] / held['changed']:.1f} x fewer); peak memory added by the "
            f"traced result {held['added'] / 1e6:.1f} MB, untraced {plain['added'] / 1e6:.1f} MB")
    if before:
        line += f", before traced {peak(kind, length, True, before)['added'] / 1e6:.1f} MB"
    print(line)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="3 rounds instead of 9")
    parser.add_argument("--kinds", nargs="+", choices=["latin", "devanagari", "arabic", "mixed", "latin-paragraph", "devanagari-paragraph", "arabic-paragraph"],
                        default=["latin", "devanagari", "arabic"])
    parser.add_argument("--length", type=int, default=100_000)
    parser.add_argument("--before", help="site directory of an earlier build of the package")
    args = parser.parse_args()
    rounds = 3 if args.quick else 9
    import tesvo
    print(f"tesvo {tesvo.__version__} at {Path(tesvo.__file__).parent}, Python {sys.version.split()[0]}, "
          f"load {os.getloadavg()[0]:.1f}, {time.strftime('%Y-%m-%d %H:%M')}; processor time, median (lowest .. "
          f"highest) of {rounds} alternating rounds")
    for kind in args.kinds:
        section(kind, args.length, rounds, args.before)


if __name__ == "__main__":
    main()
