"""The trace report's size and drawing time for long texts: 4,000 characters of a shipped
corpus (its lines joined by spaces, repeated as needed), written with `tesvo shape --html`
and opened in headless Chromium. Prints figures; asserts nothing.

    python bench/report_draw.py [--chars N] [--rounds R] [PAGE.html ...]

With pages given, it times those instead (a report made by an older version, for example).
The drawing time is the page's own: from its start to its load event with the page's style
and layout brought up to date (its painting not included), read back through --dump-dom;
the best of R rounds. An empty page is timed too, as the floor; the wall time of a whole
Chromium run (start, load, exit) is printed beside it.
"""

from __future__ import annotations

import argparse
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from tesvo.corpora import load

NOTO = Path("/usr/share/fonts/truetype/noto")
CASES = (("arabic", "NotoNaskhArabic-Regular.ttf"), ("devanagari", "NotoSansDevanagari-Regular.ttf"))
PROBE = ('<script>addEventListener("load",function(){document.body.getBoundingClientRect();'
         'document.body.setAttribute("data-drawn-ms",String(Math.round(performance.now())))})</script>')


def long_text(corpus: str, chars: int) -> str:
    lines = load(corpus)
    text = " ".join(lines)
    while len(text) < chars:
        text += " " + " ".join(lines)
    return text[:chars]


def drawn_ms(chromium: str, page: Path, rounds: int, work: Path) -> tuple[int, float]:
    """The best drawing time in milliseconds, and the best wall time of a run in seconds."""
    probed = work / f"probe-{page.name}"
    probed.write_text(page.read_text(encoding="utf-8").replace("<head>", "<head>" + PROBE, 1), encoding="utf-8")
    best, wall = 10**9, float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        done = subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu",
                               f"--user-data-dir={work / 'profile'}", "--window-size=1100,1700",
                               "--dump-dom", probed.as_uri()],
                              capture_output=True, timeout=300)
        wall = min(wall, time.perf_counter() - start)
        found = re.search(rb'data-drawn-ms="(\d+)"', done.stdout)
        if found:
            best = min(best, int(found.group(1)))
    return best, wall


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("pages", nargs="*", type=Path)
    parser.add_argument("--chars", type=int, default=4000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    chromium = next((c for c in ("chromium", "chromium-browser", "google-chrome") if shutil.which(c)), None)
    if chromium is None:
        print("no headless Chromium (apt-get install chromium)", file=sys.stderr)
        return 2
    tesvo = Path(sys.executable).parent / "tesvo"
    with tempfile.TemporaryDirectory() as folder:
        work = Path(folder)
        empty = work / "empty.html"
        empty.write_text("<!DOCTYPE html><html><head></head><body>empty</body></html>", encoding="utf-8")
        pages = [(empty, None)] + [(p, None) for p in args.pages]
        if not args.pages:
            for corpus, font in CASES:
                text = work / f"{corpus}.txt"
                text.write_text(long_text(corpus, args.chars), encoding="utf-8")
                page = work / f"{corpus}-{args.chars}.html"
                start = time.perf_counter()
                subprocess.run([str(tesvo), "shape", "--html", str(page), "--text-file", str(text),
                                str(NOTO / font)], check=True, capture_output=True)
                pages.append((page, time.perf_counter() - start))
        for page, written in pages:
            ms, wall = drawn_ms(chromium, page, args.rounds, work)
            made = f", written in {written:.2f} s" if written is not None else ""
            print(f"{page.name}: {page.stat().st_size:,} bytes{made}; drawn {ms} ms after its start "
                  f"(best of {args.rounds}), a Chromium run {wall:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
