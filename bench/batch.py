"""tesvo --batch against hb-shape --batch: whole commands on 10,000 corpus lines per script,
wall-clock and processor time, in the text notation and in JSON Lines.

Each script has its own 10,000-line file and the Noto font that covers it: Latin, Greek and
Cyrillic lines with Noto Sans, Arabic with Noto Naskh Arabic, Devanagari with Noto Sans
Devanagari, ideographs with the Noto Sans CJK collection (face 0) when fonts-noto-cjk is
installed. The lines are the sentences of bench/texts.py and the package's corpora
(tesvo.corpora), drawn in a fixed order; lines holding ';' are left out, because hb-shape
--batch splits its lines at ';'.

The contenders, run in turn in every round, each writing to a file:

  tesvo --batch LINES --no-progress --format text FONT
  tesvo --batch LINES --no-progress FONT                 (JSON Lines, shape_json's documents)
  tesvo --batch LINES --no-progress --schema tesvo FONT  (JSON Lines, the package's results)
  hb-shape --batch < HB                                  (HB: a line "FONT;--text=LINE" per line)
  hb-shape --batch < HBJSON                              ("FONT;--output-format=json;--text=LINE")

and with --before SITE the same three tesvo commands of an earlier tree installed in SITE
(SITE/bin/tesvo, or `python -m tesvo`, with PYTHONPATH=SITE). hb-shape is the machine's own (Debian's
libharfbuzz-bin), on the HarfBuzz the bundled backend is built on. Times are the medians of
the rounds, with the lowest and highest; processor time is user + system of the command (its
children included), from wait4; the peak resident set is the command's.

    .venv/bin/python bench/batch.py [--rounds 11] [--scripts latin arabic] [--before SITE]
"""
from __future__ import annotations

import argparse
import os
import random
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import NamedTuple

sys.path.insert(0, str(Path(__file__).resolve().parent))

from texts import SENTENCES  # noqa: E402

from tesvo import corpora  # noqa: E402

NOTO = "/usr/share/fonts/truetype/noto"
LINES = 10_000

# script: (font, sentences of bench/texts.py, corpora of the package)
SCRIPTS = {
    "latin": (f"{NOTO}/NotoSans-Regular.ttf", "latin", ("latin", "greek", "cyrillic")),
    "arabic": (f"{NOTO}/NotoNaskhArabic-Regular.ttf", "arabic", ("arabic",)),
    "devanagari": (f"{NOTO}/NotoSansDevanagari-Regular.ttf", "devanagari", ("devanagari",)),
    "cjk": ("/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc", None, ("cjk",)),
}


def corpus(script: str, count: int = LINES) -> list[str]:
    """`count` lines: the script's sentences (each weighing as much as 20 corpus lines, so
    that about half the lines are sentences) and corpus lines, drawn in a fixed order."""
    _, sentences, names = SCRIPTS[script]
    pool = list(SENTENCES[sentences]) * 20 if sentences else []
    for name in names:
        pool += corpora.load(name)
    pool = [line for line in pool if ";" not in line and line.strip()]
    rng = random.Random(f"batch-{script}")
    return [rng.choice(pool) for _ in range(count)]


class Run(NamedTuple):
    wall: float
    cpu: float
    peak_kib: int
    size: int


def timed(command: list[str], stdin: Path | None, out: Path, env: dict[str, str] | None = None) -> Run:
    """Runs a command with standard output to `out`; its wall-clock and processor time."""
    with open(out, "wb") as sink, open(stdin or os.devnull, "rb") as source:
        start = time.perf_counter()
        proc = subprocess.Popen(command, stdin=source, stdout=sink, stderr=subprocess.PIPE, env=env)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        err = proc.stderr.read() if proc.stderr else b""
    # A line that fails (status 1) is output like any other; anything else is a broken run.
    if proc.returncode not in (0, 1):
        raise SystemExit(f"{shlex.join(command)} failed ({proc.returncode}): {err.decode(errors='replace')}")
    return Run(wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, out.stat().st_size)


class Contender(NamedTuple):
    command: list[str]
    stdin: Path | None = None
    env: dict[str, str] | None = None


def contenders(script: str, tmp: Path, before: str | None) -> dict[str, Contender]:
    font = SCRIPTS[script][0]
    lines = corpus(script)
    text = tmp / f"{script}.txt"
    text.write_text("\n".join(lines) + "\n", encoding="utf-8")
    hb, hb_json = tmp / f"{script}.hb", tmp / f"{script}.hbjson"
    hb.write_text("".join(f"{font};--text={line}\n" for line in lines), encoding="utf-8")
    hb_json.write_text("".join(f"{font};--output-format=json;--text={line}\n" for line in lines), encoding="utf-8")
    tesvo = shutil.which("tesvo", path=str(Path(sys.executable).parent)) or "tesvo"
    forms = {"text": ["--format", "text"], "jsonl": [], "jsonl tesvo": ["--schema", "tesvo"]}
    out = {f"tesvo {name}": Contender([tesvo, "--batch", str(text), "--no-progress", *extra, font])
           for name, extra in forms.items()}
    out["hb-shape text"] = Contender(["hb-shape", "--batch"], hb)
    out["hb-shape json"] = Contender(["hb-shape", "--batch"], hb_json)
    if before:
        env = dict(os.environ, PYTHONPATH=before)
        command = [str(Path(before) / "bin" / "tesvo")]
        if not Path(command[0]).exists():
            command = [sys.executable, "-m", "tesvo"]
        out.update({f"before {name}": Contender([*command, "--batch", str(text), "--no-progress", *extra, font],
                                                env=env) for name, extra in forms.items()})
    return out


def spread(values: list[float]) -> str:
    return f"{statistics.median(values):6.3f} ({min(values):.3f} .. {max(values):.3f})"


def measure(script: str, rounds: int, before: str | None) -> dict[str, list[Run]]:
    with tempfile.TemporaryDirectory() as name:
        tmp = Path(name)
        runs = contenders(script, tmp, before)
        got: dict[str, list[Run]] = {k: [] for k in runs}
        for r in range(rounds):
            # Every contender once per round, the order turned by one each round.
            order = list(runs)
            order = order[r % len(order):] + order[:r % len(order)]
            for key in order:
                c = runs[key]
                got[key].append(timed(c.command, c.stdin, tmp / "out", c.env))
        print(f"== {script}: {LINES:,} lines, {SCRIPTS[script][0]}, {rounds} rounds")
        for key, c in runs.items():
            print(f"   {key:<18} $ {shlex.join(c.command)}{' < ' + c.stdin.name if c.stdin else ''}")
        return got


def report(script: str, got: dict[str, list[Run]]) -> None:
    print(f"   {'':<18} {'wall s (low .. high)':<26} {'cpu s (low .. high)':<26} {'peak MiB':>8} {'output MB':>9}")
    for key, runs in got.items():
        print(f"   {key:<18} {spread([r.wall for r in runs]):<26} {spread([r.cpu for r in runs]):<26} "
              f"{max(r.peak_kib for r in runs) / 1024:8.1f} {runs[0].size / 1e6:9.1f}")
    med = {key: (statistics.median(r.wall for r in runs), statistics.median(r.cpu for r in runs))
           for key, runs in got.items()}
    for ours, theirs in (("tesvo text", "hb-shape text"), ("tesvo jsonl", "hb-shape json"),
                         ("tesvo jsonl tesvo", "hb-shape json")):
        (w, c), (hw, hc) = med[ours], med[theirs]
        print(f"   {ours} / {theirs}: wall {w / hw:.2f}, cpu {c / hc:.2f}")
    for form in ("text", "jsonl", "jsonl tesvo"):
        if f"before {form}" in med:
            (w, c), (bw, bc) = med[f"tesvo {form}"], med[f"before {form}"]
            print(f"   before {form} / tesvo {form}: wall {bw / w:.2f}, cpu {bc / c:.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--scripts", nargs="+", choices=list(SCRIPTS), default=list(SCRIPTS))
    parser.add_argument("--before", metavar="SITE", help="an earlier tree's package installed with pip --target SITE")
    args = parser.parse_args()
    for script in args.scripts:
        if not Path(SCRIPTS[script][0]).exists():
            print(f"== {script}: {SCRIPTS[script][0]} is not installed, left out")
            continue
        report(script, measure(script, args.rounds, args.before))


if __name__ == "__main__":
    main()
