"""tesvo coverage: which of a font's GSUB and GPOS lookups the texts reach.

    tesvo coverage NotoSans-Regular.ttf                  the corpora of the font's scripts
    tesvo coverage font.ttf --text-file words.txt --json
    tesvo coverage font.ttf --generate --write-texts reach.txt

Standard output: a table, one row per lookup, then the lookups never reached and why; with
--json one document (docs/json.md, "Lookup coverage").
"""

from __future__ import annotations

import argparse
import json
import sys
import textwrap
from pathlib import Path

import tesvo.cli.arguments as arguments
from tesvo.corpora import names
from tesvo.coverage import coverage

EXAMPLES = """\
examples:
  {prog} NotoSans-Regular.ttf
  {prog} NotoNaskhArabic-Regular.ttf --corpus arabic --generate
  {prog} NotoSansDevanagari-Regular.ttf --generate --write-texts reach.txt
  {prog} font.ttf --text-file words.txt --features smcp --json

corpora shipped (--corpus): {corpora}
"""


def build_parser(prog: str) -> argparse.ArgumentParser:
    p = arguments.Parser(
        prog=prog,
        description=textwrap.fill(
            "Shape every text traced and say, for each GSUB and GPOS lookup of the font, on how many "
            "lines it changed the run, on how many it ran without changing anything, and which lookups "
            "were never reached and why. Without --corpus or --text-file, the shipped corpora of the "
            "font's scripts are shaped.", width=78),
        epilog=EXAMPLES.format(prog=prog, corpora=", ".join(names())) + arguments.EXIT_TABLE,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("font", metavar="FONT", help="the font file, e.g. NotoSans-Regular.ttf")
    src = p.add_argument_group("texts")
    src.add_argument("--corpus", metavar="NAME", action="append", default=[],
                     help="a corpus shipped with tesvo (repeatable), e.g. --corpus arabic")
    src.add_argument("--text-file", metavar="PATH", help="a UTF-8 file of texts, one per line, e.g. --text-file words.txt")
    src.add_argument("--generate", action="store_true",
                     help="add texts made from the font that reach its lookups and rules (each checked by "
                     "shaping it), e.g. --generate")
    src.add_argument("--write-texts", metavar="FILE",
                     help="with --generate, write the generated texts to FILE, one per line, e.g. --write-texts reach.txt")
    shaping = p.add_argument_group("shaping options")
    shaping.add_argument("--features", metavar="LIST", help="OpenType feature list, e.g. --features \"smcp, -kern\"")
    shaping.add_argument("--script", metavar="TAG", help="OpenType script tag for every item, e.g. --script dev2")
    shaping.add_argument("--language", metavar="TAG", help="OpenType language system tag or BCP 47 code, e.g. --language MAR")
    shaping.add_argument("--direction", choices=("auto", "ltr", "rtl"), default="auto",
                         help="paragraph direction (auto: the first strong character), e.g. --direction rtl")
    shaping.add_argument("--variations", metavar="LIST", help="a variable font's location, e.g. --variations wght=700")
    shaping.add_argument("--named-instance", metavar="N|NAME", help="a named instance, e.g. --named-instance Bold")
    shaping.add_argument("--index", metavar="N", type=arguments.face_index, default=0,
                         help="the face of a collection, e.g. --index 1")
    shaping.add_argument("--usp10", metavar="LIBRARY", help="a Uniscribe port library instead of the bundled one")
    p.add_argument("--json", action="store_true", help="one JSON document instead of the table, e.g. --json")
    return p


def run(args: argparse.Namespace, prog: str) -> int:
    """The coverage subcommand on a parsed command line; returns the exit status."""
    args.jobs = None
    arguments.check_common(args)
    if args.write_texts is not None and not args.generate:
        raise arguments.UsageError("--write-texts writes the generated texts; give --generate")
    texts = None
    if args.text_file is not None:
        texts = [line.rstrip("\r") for line in arguments.read_text_file(args.text_file).split("\n")]
    try:
        found = coverage(args.font, texts, corpus=args.corpus, generate=args.generate, index=args.index,
                         features=args.features, script=args.script, language=args.language,
                         variations=args.variations, named_instance=arguments.named_instance(args.named_instance),
                         backend=args.usp10, direction=args.direction)
    except KeyError as e:
        raise arguments.UsageError(str(e.args[0])) from None
    if args.write_texts is not None:
        try:
            Path(args.write_texts).write_text("".join(t + "\n" for t in found.generated), encoding="utf-8")
        except OSError as e:
            raise arguments.UsageError(f"cannot write {args.write_texts!r}: {e.strerror or e}") from None
        print(f"{prog}: {len(found.generated)} generated texts written to {Path(args.write_texts).resolve()}",
              file=sys.stderr)
    if args.json:
        sys.stdout.write(json.dumps(found.to_dict(), ensure_ascii=False) + "\n")
    else:
        sys.stdout.write(found.to_text())
    return arguments.EXIT_OK
