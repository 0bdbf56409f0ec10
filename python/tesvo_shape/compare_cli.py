"""tesvo compare: shape the same texts two ways and report the lines that differ.

    tesvo compare old.ttf new.ttf --text-file words.txt     two fonts, the bundled port
    tesvo compare --engine harfbuzz font.ttf --corpus arabic   the port against HarfBuzz
    tesvo compare --usp10 other.so font.ttf TEXT             the bundled port against another

Standard output: JSON Lines, one object per line that differs (every line with --all), then
one closing {"summary": {...}}. Exit status: 0 all lines the same, 1 some differ or failed,
2 a wrong command line or a file that cannot be read or written, 130 interrupted.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import signal
import sys
import textwrap
from collections.abc import Generator, Iterator
from pathlib import Path
from typing import Any, NoReturn, Optional, Sequence, TextIO

EXIT_SAME, EXIT_DIFFERENT, EXIT_USAGE = 0, 1, 2
CHUNK = 256  # lines a worker process compares per task
HTML_CAP = 500  # differing lines drawn in a report; the rest are counted

EXAMPLES = """\
examples:
  tesvo compare old.ttf new.ttf --text-file words.txt
  tesvo compare --engine harfbuzz NotoSansArabic-Regular.ttf --corpus arabic
  tesvo compare --usp10 /opt/other/libusp.so NotoSans-Regular.ttf "office"
  tesvo compare old.ttf new.ttf --corpus latin --html diff.html --trace -j 2

corpora shipped (--corpus): {corpora}
exit status: 0 all the same; 1 some lines differ or could not be shaped; 2 usage.
"""


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see {self.prog} --help)")


def build_parser(prog: str) -> argparse.ArgumentParser:
    from tesvo.corpora import names

    p = _Parser(
        prog=f"{prog} compare",
        description=textwrap.fill(
            "Shape the same texts on two sides and report where the glyphs differ. The sides are "
            "two fonts through the same Uniscribe port, or one font through the bundled port and "
            "another engine (--engine harfbuzz: HarfBuzz itself on the port's items; --usp10: "
            "another Uniscribe port). Glyphs are compared as id, cluster, advance and offsets, "
            "offsets as HarfBuzz gives them (x_offset, y_offset).", width=78),
        epilog=EXAMPLES.format(corpora=", ".join(names())),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("inputs", metavar="FONT [FONT2] [TEXT]", nargs="+",
                   help="the font of the left side, the font of the right side unless --engine or "
                   "--usp10 gives the right side, then the one text to compare, e.g. old.ttf new.ttf")
    side = p.add_argument_group("sides")
    side.add_argument("--engine", choices=("port", "harfbuzz"), default="port",
                      help="the right side's engine with the same font: harfbuzz shapes the items the "
                      "port formed through uharfbuzz, e.g. --engine harfbuzz")
    side.add_argument("--usp10", metavar="LIBRARY",
                      help="the right side's Uniscribe port library, with the same font, "
                      "e.g. --usp10 /opt/other/libusp.so")
    side.add_argument("--left-usp10", metavar="LIBRARY",
                      help="the left side's port library instead of the bundled one, "
                      "e.g. --left-usp10 /opt/usp/libvantor.so")
    side.add_argument("--index", metavar="N", type=int, default=0,
                      help="face of a collection on the left side (and the right with one font), "
                      "e.g. --index 1")
    side.add_argument("--index2", metavar="N", type=int, default=None,
                      help="face of a collection on the right side, e.g. --index2 2")
    src = p.add_argument_group("texts (one of them, or TEXT)")
    src.add_argument("--text-file", metavar="PATH",
                     help="a UTF-8 file of one text per line, e.g. --text-file words.txt")
    src.add_argument("--corpus", metavar="NAME",
                     help="a corpus shipped with tesvo, one text per line, e.g. --corpus arabic")
    shape = p.add_argument_group("shaping options (the same on both sides)")
    shape.add_argument("--direction", choices=("auto", "ltr", "rtl"), default="auto",
                       help="paragraph direction; auto takes the first strong character, "
                       "e.g. --direction rtl")
    shape.add_argument("--features", metavar="LIST", help='OpenType features, e.g. --features "smcp, -liga"')
    shape.add_argument("--script", metavar="TAG", help="OpenType script tag, e.g. --script cyrl")
    shape.add_argument("--language", metavar="TAG", help="OpenType language tag, e.g. --language SRB")
    out = p.add_argument_group("output")
    out.add_argument("--all", action="store_true", help="a record for every line, e.g. --all")
    out.add_argument("--html", metavar="OUT.html",
                     help=f"a report drawing the differing lines (the first {HTML_CAP} by what "
                     "differs, glyph ids first), e.g. --html diff.html")
    out.add_argument("--trace", action="store_true",
                     help="with --html: both sides' stages up to where they part, e.g. --trace")
    out.add_argument("-j", "--jobs", metavar="N", type=int, default=1,
                     help="compare in N worker processes, e.g. -j 2")
    out.add_argument("--no-progress", action="store_true",
                     help="no progress bar on standard error, e.g. --no-progress")
    return p


def sides(args: argparse.Namespace) -> tuple[Any, Any, Optional[str]]:
    """The two sides and the one text, from the positional words and the side options."""
    from tesvo.compare import Side

    words = list(args.inputs)
    one_font = args.engine == "harfbuzz" or args.usp10 is not None
    if args.engine == "harfbuzz" and args.usp10 is not None:
        raise UsageError("--engine harfbuzz and --usp10 both name the right side; give one")
    fonts = 1 if one_font else 2
    if len(words) < fonts:
        raise UsageError("give two fonts, or one font with --engine harfbuzz or --usp10")
    if len(words) > fonts + 1:
        raise UsageError(f"unexpected argument {words[fonts + 1]!r}")
    text = words[fonts] if len(words) > fonts else None
    for path in words[:fonts]:
        if not Path(path).is_file():
            raise UsageError(f"cannot read font {path!r}")
    left = Side(words[0], args.index, "port", args.left_usp10)
    right_index = args.index if args.index2 is None else args.index2
    if args.engine == "harfbuzz":
        right = Side(words[0], right_index, "harfbuzz")
    elif args.usp10 is not None:
        right = Side(words[0], right_index, "port", args.usp10)
    else:
        right = Side(words[1], right_index, "port", args.left_usp10)
    return left, right, text


def texts(args: argparse.Namespace, text: Optional[str]) -> list[str]:
    given = [n for n, v in (("TEXT", text), ("--text-file", args.text_file), ("--corpus", args.corpus))
             if v is not None]
    if len(given) != 1:
        raise UsageError("give the texts as TEXT, --text-file or --corpus (one of them)")
    if text is not None:
        return [text]
    if args.corpus is not None:
        from tesvo.corpora import load

        try:
            return load(args.corpus)
        except KeyError as e:
            raise UsageError(str(e.args[0])) from None
    from . import cli

    try:
        raw = cli.read_bytes(args.text_file, "text file")
        content = cli.decode_text(raw, f"text file {args.text_file!r}")  # one final break dropped
    except cli.UsageError as e:
        raise UsageError(str(e)) from None
    return [line.rstrip("\r") for line in content.split("\n")]


# ---- work, possibly in worker processes ----

_job: dict[str, Any] = {}


def _start(left: Any, right: Any, options: dict[str, Any]) -> None:
    _job.update(left=left, right=right, options=options)
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _compare_chunk(task: tuple[int, list[str]]) -> list[Any]:
    from tesvo.compare import compare

    start, chunk = task
    lines = list(compare(_job["left"], _job["right"], chunk, start=start, **_job["options"]))
    for line in lines:  # results stay in the worker; the parent gets rows
        line.left_result = line.right_result = None
    return lines


def _chunks(work: list[str]) -> Iterator[tuple[int, list[str]]]:
    for at in range(0, len(work), CHUNK):
        yield at + 1, work[at:at + CHUNK]


def compared(left: Any, right: Any, work: list[str], options: dict[str, Any],
             jobs: int) -> Generator[Any, None, None]:
    if jobs <= 1 or len(work) <= CHUNK:
        from tesvo.compare import compare

        yield from compare(left, right, work, **options)
        return
    context = multiprocessing.get_context("spawn")
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        pool = context.Pool(jobs, initializer=_start, initargs=(left, right, options))
    finally:
        signal.signal(signal.SIGINT, previous)
    with pool:
        for lines in pool.imap(_compare_chunk, _chunks(work)):
            yield from lines


def run(argv: Sequence[str], prog: str, out: TextIO) -> int:
    from tesvo.compare import Summary
    from tesvo.errors import TesvoError

    args = build_parser(prog).parse_args(argv)
    if args.jobs < 1:
        raise UsageError("-j/--jobs must be 1 or more")
    if args.trace and args.html is None:
        raise UsageError("--trace draws stages in the --html report; give --html OUT.html")
    left, right, text = sides(args)
    work = texts(args, text)
    options = {"direction": args.direction, "features": args.features, "script": args.script,
               "language": args.language}
    from tqdm import tqdm

    summary = Summary()
    shown: list[Any] = []
    bar = tqdm(total=len(work), file=sys.stderr, unit="line", delay=0.5,
               disable=args.no_progress or not sys.stderr.isatty())
    lines = compared(left, right, work, options, args.jobs)
    try:
        for line in lines:
            summary.add(line)
            if args.all or not line.same:
                out.write(json.dumps(line.to_dict(), ensure_ascii=False, separators=(",", ":")) + "\n")
            if not line.same and args.html is not None:
                shown.append(line)
            bar.update(1)
    except TesvoError as e:
        raise RuntimeError(str(e)) from None
    finally:
        lines.close()
        bar.close()
    out.write(json.dumps(summary.to_dict(left, right), ensure_ascii=False, separators=(",", ":")) + "\n")
    out.flush()
    if args.html is not None:
        from .compare_report import render_comparison

        page = render_comparison(left, right, shown, summary, options, cap=HTML_CAP, trace=args.trace)
        try:
            Path(args.html).write_text(page, encoding="utf-8")
        except OSError as e:
            raise UsageError(f"cannot write {args.html!r}: {e.strerror or e}") from None
        print(f"{prog} compare: report written to {Path(args.html).resolve()}", file=sys.stderr)
    return EXIT_SAME if summary.same == summary.lines else EXIT_DIFFERENT


def main(argv: Sequence[str], prog: str) -> int:
    from tesvo.errors import OptionError

    try:
        return run(argv, prog, sys.stdout)
    except (UsageError, OptionError) as e:
        print(f"{prog} compare: {e}", file=sys.stderr)
        return EXIT_USAGE
    except (RuntimeError, TypeError, ValueError) as e:
        print(f"{prog} compare: {' '.join(str(e).split())}", file=sys.stderr)
        return EXIT_DIFFERENT
    except KeyboardInterrupt:
        print(f"{prog} compare: interrupted", file=sys.stderr)
        return 130
