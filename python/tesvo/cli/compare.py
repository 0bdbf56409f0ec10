"""tesvo compare: shape the same texts two ways and report the lines that differ.

    tesvo compare old.ttf new.ttf --text-file words.txt     two fonts, the bundled port
    tesvo compare --engine harfbuzz font.ttf --corpus arabic   the port against HarfBuzz
    tesvo compare --usp10 other.so font.ttf TEXT             the bundled port against another

Standard output: JSON Lines, one object per line that differs (every line with --all), then
one closing {"summary": {...}}; with --trace each differing record names the step where the
sides part and what each side holds there.
"""

from __future__ import annotations

import argparse
import collections
import itertools
import json
import sys
import textwrap
from collections.abc import Generator, Iterable, Iterator, Mapping
from types import MappingProxyType
from pathlib import Path
from typing import Optional, TextIO, Union

import tesvo.cli.arguments as arguments
from tesvo.cli.pool import parallel, progress_bar
from tesvo.compare import GLYPHS, KINDS, Comparison, Line, Side, Summary, ignored_kinds
from tesvo.errors import OptionError
from tesvo.corpora import load, names
from tesvo.fontfile import FontFile

CHUNK = 256  # lines a worker process compares per task
HTML_CAP = 500  # differing lines drawn in a report; the rest are counted

EXAMPLES = """\
examples:
  {prog} old.ttf new.ttf --text-file words.txt
  {prog} --engine harfbuzz NotoSansArabic-Regular.ttf --corpus arabic
  {prog} --usp10 /opt/other/libusp.so NotoSans-Regular.ttf "office"
  {prog} old.ttf new.ttf --corpus latin --html diff.html --trace -j 2
  {prog} old.ttf new.ttf --text-file words.txt --trace     each record names the step where the sides part
  {prog} --engine harfbuzz --harfbuzz-runs line NotoNaskhArabic-Regular.ttf --corpus arabic

corpora shipped (--corpus): {corpora}
"""


def build_parser(prog: str) -> argparse.ArgumentParser:
    p = arguments.Parser(
        prog=prog,
        description=textwrap.fill(
            "Shape the same texts on two sides and report where the glyphs differ. The sides are "
            "two fonts through the same Uniscribe port, or one font through the bundled port and "
            "another engine (--engine harfbuzz: HarfBuzz itself on the port's items; --usp10: "
            "another Uniscribe port). Glyphs are compared as id (by name between two fonts), cluster, "
            "advance and offsets, "
            "offsets as HarfBuzz gives them (x_offset, y_offset).", width=78),
        epilog=EXAMPLES.format(prog=prog, corpora=", ".join(names())) + arguments.EXIT_TABLE,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        parents=arguments.parents(),
    )
    p.add_argument("inputs", metavar="FONT [FONT2] [TEXT]", nargs="+",
                   help="the font of the left side, the font of the right side unless --engine or "
                   "--usp10 gives the right side, then the one text to compare, e.g. old.ttf new.ttf")
    side = p.add_argument_group("sides")
    side.add_argument("--engine", choices=("port", "harfbuzz"), default="port",
                      help="the right side's engine with the same font: harfbuzz shapes the items the "
                      "port formed through uharfbuzz, e.g. --engine harfbuzz")
    side.add_argument("--harfbuzz-runs", choices=("items", "line"), default="items",
                      help="what the HarfBuzz side shapes as one run: items (the default), each of the "
                      "items the port formed, so that only shaping differs; line, the whole line as "
                      "hb-shape does, so that differences of itemization show (kind items), "
                      "e.g. --harfbuzz-runs line")
    side.add_argument("--left-usp10", metavar="LIBRARY",
                      help="the left side's port library instead of the bundled one, "
                      "e.g. --left-usp10 /opt/usp/libvantor.so")
    side.add_argument("--index2", metavar="N", type=arguments.face_index, default=None,
                      help="face of a collection on the right side, e.g. --index2 2")
    side.add_argument("--variations2", metavar="LIST",
                      help="the right side's location (default: --variations); with one font and no "
                      "--engine or --usp10, compares the font at two locations, e.g. --variations2 wght=700")
    side.add_argument("--named-instance2", metavar="N|NAME",
                      help="the right side's named instance (default: --named-instance), e.g. "
                      "--named-instance2 Bold")
    side.add_argument("--features2", metavar="LIST",
                      help="the right side's feature list (default: --features; \"\" for none); with one "
                      "font, compares the font with two feature lists, e.g. --features2 \"-liga\"")
    side.add_argument("--script2", metavar="TAG", help="the right side's script tag (default: --script), "
                      "e.g. --script2 dev2")
    side.add_argument("--language2", metavar="TAG", help="the right side's language (default: --language), "
                      "e.g. --language2 MAR")
    what = p.add_argument_group("what is compared")
    what.add_argument("--glyphs", choices=GLYPHS, default=None,
                      help="how the glyphs of two fonts are told the same: names (the default for two fonts "
                      "that name their glyphs: a glyph moved to another id is the same, one renamed at the "
                      "same id with the same drawing differs in kind names) or ids (the default for one "
                      "font), e.g. --glyphs ids")
    what.add_argument("--ignore", metavar="KIND[,KIND...]", type=_kinds, default=(),
                      help=f"kinds of difference neither reported nor looked at, of {', '.join(KINDS)}, "
                      "e.g. --ignore advances,offsets")
    what.add_argument("--props", action="store_true",
                      help="also compare what the two ports' Uniscribe entry points return beyond the glyphs: "
                      "item analyses, glyph properties (justification classes, cluster starts, diacritics), "
                      "log clusters; kind props (two port sides only)")
    src = p.add_argument_group("more texts")
    src.add_argument("--corpus", metavar="NAME",
                     help="a corpus shipped with tesvo, one text per line, e.g. --corpus arabic")
    src.add_argument("--generate", action="store_true",
                     help="add texts made from the left font that reach its lookups, their kerning pairs, "
                     "ligatures and marks (as tesvo coverage --generate makes them), after the others, "
                     "e.g. --generate")
    src.add_argument("--all", action="store_true", help="a record for every line, e.g. --all")
    return p


def _kinds(word: str) -> tuple[str, ...]:
    """--ignore: kinds of difference, separated by commas."""
    try:
        return ignored_kinds(word)
    except OptionError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def sides(args: argparse.Namespace) -> tuple[Side, Side, Optional[str]]:
    """The two sides and the one text, from the positional words and the side options."""
    words = list(args.inputs)
    right_options = (args.variations2, args.named_instance2, args.features2, args.script2, args.language2)
    two_ways = any(option is not None for option in right_options)
    one_font = args.engine == "harfbuzz" or args.usp10 is not None or (two_ways and len(words) < 3 and not (
        len(words) == 2 and Path(words[1]).is_file()))
    if args.engine == "harfbuzz" and args.usp10 is not None:
        raise arguments.UsageError("--engine harfbuzz and --usp10 both name the right side; give one")
    fonts = 1 if one_font else 2
    if len(words) < fonts:
        raise arguments.UsageError("give two fonts, or one font with --engine harfbuzz or --usp10")
    if len(words) > fonts + 1:
        raise arguments.UsageError(f"unexpected argument {words[fonts + 1]!r}")
    text = words[fonts] if len(words) > fonts else None
    instance = arguments.named_instance(args.named_instance)
    left = Side(words[0], args.index, "port", args.left_usp10, args.variations, instance)
    right_index = args.index if args.index2 is None else args.index2
    at = (args.variations if args.variations2 is None else args.variations2,
          instance if args.named_instance2 is None else arguments.named_instance(args.named_instance2),
          args.features2, args.script2, args.language2)
    if args.engine == "harfbuzz":
        right = Side(words[0], right_index, "harfbuzz", None, *at)
    elif args.usp10 is not None:
        right = Side(words[0], right_index, "port", args.usp10, *at)
    elif one_font:
        right = Side(words[0], right_index, "port", args.left_usp10, *at)
    else:
        right = Side(words[1], right_index, "port", args.left_usp10, *at)
    return left, right, text


def check_right_options(args: argparse.Namespace) -> None:
    """The right side's tags, checked as --script and --language are."""
    if args.script2 and not arguments.is_opentype_tag(args.script2):
        raise arguments.UsageError(f"--script2 {args.script2!r} is not an OpenType tag: 1 to 4 printable ASCII "
                                   "characters, not starting with a space (e.g. arab, mlym)")
    language = args.language2
    if language and not (arguments.is_opentype_tag(language) or arguments.is_language_code(language)):
        raise arguments.UsageError(f"--language2 {language!r} is neither an OpenType tag (1 to 4 printable ASCII "
                                   "characters, e.g. URD) nor a BCP 47 code (e.g. ur, zh-Hant)")


class Texts:
    """The texts of a run, in order: the given ones (a text file's read as they are used),
    then the generated ones. Iterated once for the comparison; its length is known up front."""

    def __init__(self, *parts: Union[list[str], arguments.TextFileLines]) -> None:
        self.parts = parts

    def __len__(self) -> int:
        return sum(len(part) for part in self.parts)

    def __iter__(self) -> Iterator[str]:
        return itertools.chain.from_iterable(self.parts)


def texts(args: argparse.Namespace, text: Optional[str], left: Optional[Side] = None) -> Texts:
    given = [n for n, v in (("TEXT", text), ("--text-file", args.text_file), ("--corpus", args.corpus))
             if v is not None]
    if len(given) > 1 or (not given and not args.generate):
        raise arguments.UsageError("give the texts as TEXT, --text-file or --corpus (one of them)")
    if not given:
        return Texts(generated(args, left))
    given_texts = _given_texts(args, text)
    return Texts(given_texts, generated(args, left)) if args.generate else Texts(given_texts)


def generated(args: argparse.Namespace, left: Optional[Side]) -> list[str]:
    """The texts made from the left font that reach its lookups, with the left side's options."""
    from tesvo.coverage import generate_texts

    assert left is not None
    return list(generate_texts(left.font, index=left.face, features=args.features, script=args.script,
                               language=args.language, variations=left.variations,
                               named_instance=left.named_instance, backend=left.backend, direction=args.direction))


def _given_texts(args: argparse.Namespace, text: Optional[str]) -> Union[list[str], arguments.TextFileLines]:
    if text is not None:
        return [text]
    if args.corpus is not None:
        try:
            return load(args.corpus)
        except KeyError as e:
            raise arguments.UsageError(str(e.args[0])) from None
    return arguments.TextFileLines(args.text_file)  # checked now, read as compared


# ---- work, possibly in worker processes ----

_comparison: Optional[Comparison] = None
_NO_ERRORS: Mapping[str, str] = MappingProxyType({})


def _open(left: Side, right: Side, options: Mapping[str, Optional[str]], files: Mapping[str, FontFile],
          glyphs: str, ignore: tuple[str, ...], props: bool = False) -> None:
    global _comparison
    _comparison = Comparison(left, right, direction=options["direction"] or "auto", features=options["features"],
                             script=options["script"], language=options["language"], files=files,
                             harfbuzz_runs=options["harfbuzz_runs"] or "items", glyphs=glyphs, ignore=ignore,
                             props=props)


def _compare_chunk(task: tuple[int, list[str], bool]) -> list[Optional[Line]]:
    """A chunk's lines as Comparison.differing gives them: a same line travels back to the
    parent as None, which knows its number and text."""
    assert _comparison is not None
    start, chunk, trace = task
    return list(_comparison.differing(chunk, start=start, trace=trace))


def _chunks(work: Iterable[str], trace: bool, given: collections.deque[list[str]]
            ) -> Iterator[tuple[int, list[str], bool]]:
    """The work in chunks of CHUNK texts, each also put in `given` for the parent, which
    takes them back in the same order as the results come."""
    pending = iter(work)
    at = 1
    while chunk := list(itertools.islice(pending, CHUNK)):
        given.append(chunk)
        yield at, chunk, trace
        at += len(chunk)


def compared(comparison: Comparison, work: Texts, options: Mapping[str, Optional[str]],
             jobs: int, trace: bool = False) -> Generator[Line, None, None]:
    if jobs <= 1 or len(work) <= CHUNK:
        # The comparison reads a chunk of texts ahead of its lines: tee holds no more than that.
        compared_texts, line_texts = itertools.tee(work)
        yield from _filled(comparison.differing(compared_texts, trace=trace), line_texts, 1)
        return
    left, right = comparison.sides
    given: collections.deque[list[str]] = collections.deque()  # the chunks sent, not yet answered
    at = 1
    for lines in parallel(_compare_chunk, _chunks(work, trace, given), jobs, _open,
                          (left, right, options, comparison.files, comparison.glyphs, comparison.ignore,
                           comparison.props)):
        yield from _filled(lines, given.popleft(), at)
        at += len(lines)


def _filled(lines: Iterable[Optional[Line]], texts: Iterable[str], start: int) -> Iterator[Line]:
    """Comparison.differing's lines with each same line (None) made a Line again, without
    its glyphs: the records and the report write none for a same line."""
    for number, (line, text) in enumerate(zip(lines, texts), start):
        yield Line(number, text, None, None, None, (), _NO_ERRORS) if line is None else line


def _summarize(lines: Iterator[Line], total: int, args: argparse.Namespace, out: TextIO) -> tuple[Summary, list[Line]]:
    summary = Summary()
    shown: list[Line] = []
    bar = progress_bar(total, not args.no_progress)
    try:
        for line in lines:
            summary.add(line)
            if args.all or not line.same:
                out.write(json.dumps(line.to_dict(), ensure_ascii=False, separators=(",", ":")) + "\n")
            if not line.same and args.html is not None:
                shown.append(line)
            bar.update(1)
    finally:
        bar.close()
    return summary, shown


def run(args: argparse.Namespace, prog: str) -> int:
    """The compare subcommand on a parsed command line; returns the exit status."""
    arguments.check_common(args)
    check_right_options(args)
    left, right, text = sides(args)
    if args.harfbuzz_runs != "items" and args.engine != "harfbuzz":
        raise arguments.UsageError("--harfbuzz-runs says how the HarfBuzz side shapes; give --engine harfbuzz")
    work = texts(args, text, left)
    options = {"direction": args.direction, "features": args.features, "script": args.script,
               "language": args.language, "harfbuzz_runs": args.harfbuzz_runs}
    comparison = Comparison(left, right, direction=args.direction, features=args.features, script=args.script,
                            language=args.language, harfbuzz_runs=args.harfbuzz_runs, glyphs=args.glyphs,
                            ignore=args.ignore, props=args.props)
    # With --html alone, the drawn lines are traced again for the report; with --trace every
    # line is traced, and each differing record names its parting step.
    lines = compared(comparison, work, options, args.jobs or 1, trace=args.trace)
    try:
        summary, shown = _summarize(lines, len(work), args, sys.stdout)
    finally:
        lines.close()
    sys.stdout.write(json.dumps(summary.to_dict(left, right, comparison.facts()), ensure_ascii=False, separators=(",", ":")) + "\n")
    sys.stdout.flush()
    if args.html is not None:
        from tesvo.report.comparison import render_comparison  # fontTools is needed for the report only

        page = render_comparison(comparison, shown, summary, options, cap=HTML_CAP, trace=args.trace)
        try:
            Path(args.html).write_text(page, encoding="utf-8")
        except OSError as e:
            raise arguments.UsageError(f"cannot write {args.html!r}: {e.strerror or e}") from None
        print(f"{prog}: report written to {Path(args.html).resolve()}", file=sys.stderr)
    return arguments.EXIT_OK if summary.same == summary.lines else arguments.EXIT_DIFFER
