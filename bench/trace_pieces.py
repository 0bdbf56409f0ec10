"""Long paragraphs traced as pieces: `Font.shape(text, trace=True)` on 100,000 code units of one
paragraph of one item (bench/texts.py's `paragraph_text`) of Devanagari, Arabic and Latin, the
time against the untraced call (one round each, processor time), and whether three sampled
pieces' stages are the glyph runs `hb-shape --trace` of the same HarfBuzz shows for that piece
(after the cmap and after each step, each run once).

    python bench/trace_pieces.py
"""
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import texts  # noqa: E402
import tesvo  # noqa: E402

def hb_trace_runs(path: str, text: str, flags: list[str]) -> list[str]:
    out = subprocess.run(["hb-shape", "--trace", "--no-glyph-names", "--no-positions", "--no-clusters", *flags,
                          str(path), f"--text={text}"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         check=True).stdout  # the trace goes to standard error in newer HarfBuzz
    lines = [line[len("trace: "):].split("\tbuffer: ", 1) for line in out.splitlines() if line.startswith("trace: ")]
    runs = [run.strip("[]") for message, run in lines
            if run.startswith("[") and (message.startswith("end ") or message.startswith("start table GSUB"))]
    return [r for k, r in enumerate(runs) if k == 0 or r not in (runs[k - 1], "|".join(runs[k - 1].split("|")[::-1]))]


def main() -> None:
    for kind in ("devanagari", "arabic", "latin"):
        text = texts.paragraph_text(kind, 100_000)
        path = texts.FONTS[kind]
        font = tesvo.Font(path)
        font.shape(text)
        start = time.process_time()
        font.shape(text)
        u = time.process_time() - start
        start = time.process_time()
        traced = font.shape(text, trace=True)
        tr = time.process_time() - start
        last = len(traced.items) - 1
        ok = []
        for k in (1, last // 2, last):
            item = traced.items[k]
            ids = ["|".join(map(str, s.ids)) for s in traced.stages if s.item == k and s.kind not in ("normalize", "final")]
            ours = [r for n, r in enumerate(ids) if n == 0 or r != ids[n - 1]]
            flags = ["--bot"] * (item.start == 0) + ["--eot"] * (item.end == len(text))
            ok.append(ours == hb_trace_runs(path, text[item.start:item.end], flags))
        print(f"{kind}: {len(text)} chars, {len(traced.items)} items, untraced {u*1000:.0f} ms, traced {tr*1000:.0f} ms, "
              f"ratio {tr/u:.1f}, pieces 1, {last // 2}, {last} equal hb-shape --trace: {ok}")


if __name__ == "__main__":
    main()
