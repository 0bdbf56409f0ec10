"""tesvo shape (also a bare `tesvo FONT TEXT`, and `tesvo-shape`): shape a text with a font
and print the result as JSON.

The default output is the `_tesvo.shape_json` document (its schema and text, font_info.path
naming the font file); --schema tesvo prints the package's own result schema instead;
--batch shapes a file line by line; --html also writes the trace report, traced on its own,
so that standard output is what was asked for with or without it.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import textwrap
from typing import Optional

import _tesvo
import tesvo._engine as _engine
import tesvo.cli.arguments as arguments
from tesvo.cli.batch import Notation, Request, run_batch
from tesvo.font import Font
from tesvo.fontfile import FontFile, read_font
from tesvo.result import Result

EXAMPLES = """\
examples:
  {prog} /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf "Hello"
  {prog} --trace --html report.html NotoNaskhArabic-Regular.ttf "\u0645\u0631\u062d\u0628\u0627"
  echo "Wave" | {prog} DejaVuSans.ttf -
  {prog} --text-file sample.txt --direction rtl DejaVuSans.ttf
  {prog} --batch lines.txt -j 4 DejaVuSans.ttf > results.jsonl
  {prog} --features smcp --language SRB NotoSans-Regular.ttf "Wave"
  {prog} --index 1 --schema tesvo NotoSansCJK-Regular.ttc "骨"
  {base} shape compare "Wave"       a font file named like a subcommand (or ./compare)

"""


def build_parser(prog: str = "tesvo-shape") -> argparse.ArgumentParser:
    p = arguments.Parser(
        prog=prog,
        description=textwrap.fill(
            "Shape TEXT with the OpenType font FONT through the Uniscribe OpenType backend of "
            "the tesvo package and print the result as JSON: by default the _tesvo module's "
            "shape_json document (font_info.path naming FONT), with --schema tesvo the "
            "package's own schema.", width=78
        ),
        epilog=EXAMPLES.format(prog=prog, base=prog.split()[0]) + arguments.EXIT_TABLE,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        parents=arguments.parents(),
    )
    p.add_argument("font", metavar="FONT", help="font file: OpenType, TrueType or a collection "
                   "(see --index), a regular file or a pipe, e.g. DejaVuSans.ttf")
    p.add_argument("text", metavar="TEXT", nargs="?",
                   help='the text to shape, e.g. "Hello"; "-" reads it from standard input '
                   "(UTF-8, one final line break removed)")
    p.add_argument("--batch", metavar="FILE",
                   help="shape every line of a UTF-8 file (\"-\": standard input) as its own "
                   "request and write JSON Lines: one compact object per line, in input "
                   'order, {"line": N, "text": ..., "result": {...}} or {"line": N, '
                   '"text": ..., "error": "message"}, e.g. --batch lines.txt')
    p.add_argument("--wine-bytes", action="store_true",
                   help="accepted for compatibility; does not change the result, e.g. --wine-bytes")
    p.add_argument("--textshaping", action="store_true",
                   help="use the Windows TextShaping engine; refused on Linux, e.g. --textshaping")
    p.add_argument("--schema", choices=("shape_json", "tesvo"), default="shape_json",
                   help="shape_json (the default): the _tesvo module's document; tesvo: the "
                   "package's schema (items, glyphs with both offset conventions, stages), "
                   "e.g. --schema tesvo")
    notation = p.add_argument_group(
        "hb-shape's notation",
        "--format text prints the glyphs as hb-shape does, [name=cluster@dx,dy+advance|...], one line per "
        "text (per line of --batch), so that the output can be diffed with hb-shape's: the whole line in "
        "visual order, clusters as code-point indices into the text, offsets and advances in HarfBuzz's "
        "convention. A text of several items is printed as one line of glyphs; each item was shaped on its "
        "own, so the glyphs can differ from hb-shape's single run where itemization matters.")
    notation.add_argument("--format", choices=("json", "text"), default="json",
                          help="json (the default, see --schema) or text, e.g. --format text")
    for switch, what in (("--no-glyph-names", "glyph ids instead of names"),
                         ("--no-clusters", "no cluster indices"),
                         ("--no-positions", "no offsets and no advances"),
                         ("--no-advances", "no advances")):
        notation.add_argument(switch, action="store_true",
                              help=f"with --format text: {what}, e.g. --format text {switch}")
    p.add_argument("--version", action="version", version=f"_tesvo {_tesvo.__version__}",
                   help="print the _tesvo module's version and exit")
    return p


def _check_sources(args: argparse.Namespace) -> None:
    given = [name for name, value in (("TEXT", args.text), ("--text-file", args.text_file),
                                      ("--batch", args.batch)) if value is not None]
    if not given:
        raise arguments.UsageError("give the text as TEXT, --text-file or --batch")
    if len(given) > 1:
        raise arguments.UsageError(f"{' and '.join(given)} cannot be used together")
    if args.jobs is not None and args.batch is None:
        raise arguments.UsageError("-j/--jobs spreads the lines of --batch over processes; give --batch FILE")
    if args.batch is not None and args.html is not None:
        raise arguments.UsageError("--html draws one text; it cannot be used with --batch")


def _readable_json(result: Result) -> str:
    """The result's JSON for a reader: a member a line, and each item, glyph and stage on a
    line of its own (a traced long text stays a few times its compact size, where
    json.dumps's indent puts every number on a line)."""
    members = []
    for key, value in result.to_dict().items():
        if isinstance(value, list) and value and isinstance(value[0], dict):
            rows = ",\n".join("    " + json.dumps(row, ensure_ascii=False) for row in value)
            members.append(f"  {json.dumps(key)}: [\n{rows}\n  ]")
        else:
            members.append(f"  {json.dumps(key)}: " + json.dumps(value, ensure_ascii=False, indent=2).replace("\n", "\n  "))
    return "{\n" + ",\n".join(members) + "\n}"


def _read_text(args: argparse.Namespace) -> str:
    if args.text_file is not None:
        return arguments.read_text_file(args.text_file)
    if args.text == "-":
        return arguments.decode_text(arguments.read_bytes("-", "standard input", stdin=True), "standard input")
    text: str = args.text
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise arguments.UsageError("TEXT is not valid UTF-8") from None
    return text


def _shown_options(args: argparse.Namespace) -> list[tuple[str, str]]:
    """The options given on the command line, as the report's facts list them."""
    given: dict[str, object] = {
        "script": args.script, "language": args.language, "direction": args.direction,
        "features": args.features, "usp10": args.usp10, "trace": bool(args.trace),
        "variations": args.variations, "named instance": args.named_instance,
        "wine_bytes": args.wine_bytes, "textshaping": args.textshaping}
    defaults: dict[str, object] = {
        "script": None, "language": None, "direction": "auto", "features": None, "usp10": None,
        "variations": None, "named instance": None,
        "trace": False, "wine_bytes": False, "textshaping": False}
    return [(k, str(v)) for k, v in given.items() if v != defaults[k] and v != ""]


def _request(args: argparse.Namespace, font: FontFile) -> Request:
    return Request(font, args.index, args.usp10, args.direction, args.features, args.script or None,
                   args.language or None, bool(args.trace), args.schema, args.variations,
                   arguments.named_instance(args.named_instance), _notation(args))


def _notation(args: argparse.Namespace) -> Optional[Notation]:
    """The text notation's switches, or None for JSON output."""
    switches = [args.no_glyph_names, args.no_clusters, args.no_positions, args.no_advances]
    if args.format != "text":
        if any(switches):
            raise arguments.UsageError("--no-glyph-names, --no-clusters, --no-positions and --no-advances "
                                       "go with --format text")
        return None
    if args.schema != "shape_json":
        raise arguments.UsageError("--schema goes with --format json")
    return Notation(not args.no_glyph_names, not args.no_clusters, not args.no_positions, not args.no_advances)


def _refuse_textshaping(args: argparse.Namespace, font: FontFile) -> None:
    """Only shape_json knows the Windows engine, and refuses it here with its own message."""
    text = _read_text(args) if args.batch is None else "a"
    _tesvo.shape_json(font.data, text, script=args.script or "", language=args.language or "",
                      direction=args.direction, features=args.features, usp10=args.usp10, trace=bool(args.trace),
                      wine_bytes=bool(args.wine_bytes), textshaping=True)


def _auto_rules(text: str) -> tuple[bool, bool]:
    """Whether `--direction auto` makes the text right to left by shape_json's rule (a
    right-to-left character anywhere) and by the package's (the first strong character)."""
    return _engine.compat_rtl(text), _engine.first_strong_rtl(text)


def _note_auto_direction(args: argparse.Namespace, prog: str, text: str) -> None:
    """Where the two automatic rules part for this text, says that --schema tesvo and --format
    text took the first strong character (the default JSON keeps shape_json's rule, quietly)."""
    if args.direction != "auto" or (args.schema != "tesvo" and args.format != "text"):
        return
    compat, strong = _auto_rules(text)
    if compat == strong:
        return
    side = {True: "right to left", False: "left to right"}
    print(f"{prog}: note: --direction auto: this output is {side[strong]} by the first strong character; the "
          f"default JSON takes shape_json's rule ({side[compat]}: a right-to-left character anywhere); "
          f"--direction ltr or rtl decides for all", file=sys.stderr)


def _write_report(args: argparse.Namespace, font: Font, text: str) -> None:
    from tesvo.report.trace import render_report  # fontTools is needed for the report only

    # The paragraph direction of the output printed beside it, made explicit, so that the
    # report's shaping has the same items: shape_json's automatic rule for the default JSON,
    # the first strong character for --schema tesvo and --format text.
    direction = str(args.direction)
    if direction == "auto":
        compat, strong = _auto_rules(text)
        direction = "rtl" if (compat if args.schema == "shape_json" and args.format == "json" else strong) else "ltr"
    result = font.shape(text, direction=direction, features=args.features, script=args.script or None,
                        language=args.language or None, trace=True)
    page = render_report(result, font.data, font_label=args.font, index=args.index,
                         paragraph_rtl=direction == "rtl", options=_shown_options(args))
    try:
        with open(args.html, "w", encoding="utf-8") as f:
            f.write(page)
    except OSError as e:
        raise arguments.UsageError(f"cannot write {args.html!r}: {e.strerror or e}") from None


def run(args: argparse.Namespace, prog: str) -> int:
    """The shape subcommand on a parsed command line; returns the exit status."""
    arguments.check_common(args)
    _check_sources(args)
    font_file = read_font(args.font)
    if args.textshaping:
        _refuse_textshaping(args, font_file)
    if args.batch is not None:
        raw = arguments.read_bytes(args.batch, "batch file", stdin=True)
        sys.stdout.flush()
        failed = run_batch(_request(args, font_file), raw, jobs=args.jobs or 1, progress=not args.no_progress,
                           out=sys.stdout.buffer)
        return arguments.EXIT_DIFFER if failed else arguments.EXIT_OK
    text = _read_text(args)
    font = Font(font_file, index=args.index, backend=args.usp10, variations=args.variations,
                named_instance=arguments.named_instance(args.named_instance))
    r = _request(args, font_file)
    warnings: Optional[tuple[str, ...]] = None
    if r.notation is not None or args.schema == "tesvo":
        result = font.shape(text, direction=r.direction, features=r.features, script=r.script,
                            language=r.language, trace=r.trace)
        warnings = result.warnings
        out = result.to_text(**r.notation._asdict()) if r.notation is not None else _readable_json(result)
    else:
        out = font.shape_json(text, direction=r.direction, features=r.features, script=r.script,
                              language=r.language, trace=r.trace)
    _note_auto_direction(args, prog, text)
    if args.html is not None:
        _write_report(args, font, text)
    for warning in warnings if warnings is not None else font.tag_warnings(r.script, r.language, r.features):
        print(f"{prog}: warning: {warning}", file=sys.stderr)
    sys.stdout.write(out + "\n")
    sys.stdout.flush()
    if args.html is not None:
        print(f"{prog}: trace report written to {os.path.realpath(args.html)}", file=sys.stderr)
    return arguments.EXIT_OK
