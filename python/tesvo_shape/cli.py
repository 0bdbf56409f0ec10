"""tesvo-shape: shape a text with a font through the tesvo package and print the result as JSON.

The default output is the `_tesvo.shape_json` document (its schema and text, font_info.path
naming the font file); --schema tesvo prints the package's own result schema instead.

Exit status: 0 when everything was shaped; 1 when the module refused or failed (for
--batch: when any line failed); 2 for a wrong command line or a file that cannot be read
or written.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import textwrap
from pathlib import Path
from typing import Any, Dict, List, NoReturn, Optional, Sequence, Tuple

import _tesvo
from tesvo.errors import TesvoError

# Installed as both `tesvo` and `tesvo-shape`; messages carry the name it was run by.
PROG = "tesvo" if Path(sys.argv[0]).name == "tesvo" else "tesvo-shape"
EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2

EXAMPLES = """\
examples:
  tesvo-shape /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf "Hello"
  tesvo-shape --trace --html report.html NotoNaskhArabic-Regular.ttf "\u0645\u0631\u062d\u0628\u0627"
  echo "Wave" | tesvo-shape DejaVuSans.ttf -
  tesvo-shape --text-file sample.txt --direction rtl DejaVuSans.ttf
  tesvo-shape --batch lines.txt -j 4 DejaVuSans.ttf > results.jsonl
  tesvo-shape --features smcp --language SRB NotoSans-Regular.ttf "Wave"
  tesvo-shape --index 1 --schema tesvo NotoSansCJK-Regular.ttc "骨"

exit status: 0 shaped; 1 the module refused or failed (with --batch: a line failed);
2 a wrong command line or a file that cannot be read or written.
"""


def one_line(error: BaseException) -> str:
    return " ".join(str(error).split("\n")) or type(error).__name__


# What the bundled backend's usp_set_font_bytes codes most likely mean for a user's file.
FONT_CODE_HINTS = {
    1: "the font file is empty?",
    2: "not an OpenType or TrueType font or collection?",
    3: "the font has no glyphs?",
    4: "not enough memory for a copy of the font?",
}


def hint(message: str) -> Optional[str]:
    """One line that helps with a module message, or None. The message itself is left as the
    module wrote it; the hint only adds what the command can find out."""
    if message.startswith("usp_set_font_bytes failed (rc="):
        code = message[len("usp_set_font_bytes failed (rc="):].rstrip(")")
        if code.isdigit() and int(code) in FONT_CODE_HINTS:
            return f"{FONT_CODE_HINTS[int(code)]} (code {code} as the bundled backend uses it)"
        return None
    if message.startswith("dlopen(") and ") failed" in message:
        path = message[len("dlopen("):message.rindex(") failed")]
        return _loader_error(path)
    if message.endswith(" missing in module"):
        return ("the backend library does not export the Uniscribe OpenType entry points; "
                "is it a Uniscribe port?")
    return None


def _loader_error(path: str) -> Optional[str]:
    """The dynamic loader's own reason for refusing a library."""
    import ctypes

    try:
        ctypes.CDLL(path)
    except OSError as e:
        return str(e) or None
    return None


class UsageError(Exception):
    """A wrong command line or an unreadable input: one line on standard error, status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see {PROG} --help)")


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog=PROG,
        description=textwrap.fill(
            "Shape TEXT with the OpenType font FONT through the Uniscribe OpenType backend of "
            "the tesvo package and print the result as JSON: by default the _tesvo module's "
            "shape_json document (font_info.path naming FONT), with --schema tesvo the "
            "package's own schema.", width=78
        ),
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("font", metavar="FONT", help="font file: OpenType, TrueType or a collection "
                   "(see --index), e.g. DejaVuSans.ttf")
    p.add_argument("text", metavar="TEXT", nargs="?",
                   help='the text to shape, e.g. "Hello"; "-" reads it from standard input '
                   "(UTF-8, one final line break removed)")
    src = p.add_argument_group("other text sources (instead of TEXT)")
    src.add_argument("--text-file", metavar="PATH",
                     help="read the text from a UTF-8 file, one final line break removed, "
                     "e.g. --text-file sample.txt")
    src.add_argument("--batch", metavar="FILE",
                     help="shape every line of a UTF-8 file (\"-\": standard input) as its own "
                     "request and write JSON Lines: one compact object per line, in input "
                     'order, {"line": N, "text": ..., "result": {...}} or {"line": N, '
                     '"text": ..., "error": "message"}, e.g. --batch lines.txt')
    src.add_argument("-j", "--jobs", metavar="N", type=int, default=None,
                     help="with --batch: shape in N worker processes (default 1), e.g. -j 4")
    src.add_argument("--no-progress", action="store_true",
                     help="with --batch: no progress bar (it shows on standard error only when "
                     "that is a terminal and the run takes a while), e.g. --no-progress")

    shape = p.add_argument_group("shaping options")
    shape.add_argument("--direction", choices=("auto", "ltr", "rtl"), default="auto",
                       help="paragraph direction; auto (the default) is, for the default output, "
                       "right to left when the text holds a Hebrew, Arabic or related character "
                       "(as shape_json decides), and with --schema tesvo the direction of the "
                       "first strong character, e.g. --direction rtl")
    shape.add_argument("--features", metavar="LIST",
                       help="OpenType feature list, applied to every item (a backend that cannot "
                       "apply features refuses it), e.g. --features \"liga, -kern, ss01=2\"")
    shape.add_argument("--trace", action="store_true",
                       help="add one stage per GSUB lookup the backend applied and per "
                       "reordering phase of the script's shaper (after cmap, before final), "
                       "e.g. --trace")
    shape.add_argument("--usp10", metavar="LIBRARY",
                       help="load this backend library instead of the bundled one, "
                       "e.g. --usp10 /opt/usp/libvantor.so")
    shape.add_argument("--script", metavar="TAG", default="",
                       help="OpenType script tag for every item instead of the font's choice, "
                       "e.g. --script mlym")
    shape.add_argument("--language", metavar="TAG", default="",
                       help="OpenType language system tag, e.g. --language SRB")
    shape.add_argument("--index", metavar="N", type=int, default=0,
                       help="the face of a font collection, from 0 (the default), "
                       "e.g. --index 1")
    shape.add_argument("--wine-bytes", action="store_true",
                       help="accepted for compatibility; does not change the result, "
                       "e.g. --wine-bytes")
    shape.add_argument("--textshaping", action="store_true",
                       help="use the Windows TextShaping engine; refused on Linux, "
                       "e.g. --textshaping")

    out = p.add_argument_group("output")
    out.add_argument("--schema", choices=("shape_json", "tesvo"), default="shape_json",
                     help="shape_json (the default): the _tesvo module's document; tesvo: the "
                     "package's schema (items, glyphs with both offset conventions, stages), "
                     "e.g. --schema tesvo")
    out.add_argument("--html", metavar="OUT.html",
                     help="also write a self-contained trace report that draws each stage's "
                     "glyphs from the font; turns on --trace, e.g. --html report.html")
    out.add_argument("--version", action="version", version=f"_tesvo {_tesvo.__version__}",
                     help="print the _tesvo module's version and exit")
    return p


def font_options(args: argparse.Namespace) -> Dict[str, Any]:
    """The tesvo.Font arguments of a parsed command line, the path included."""
    return {"source": args.font, "index": args.index, "backend": args.usp10}


def shape_options(args: argparse.Namespace) -> Dict[str, Any]:
    """The Font.shape options of a parsed command line."""
    return {
        "direction": args.direction,
        "features": args.features,
        "script": args.script or None,
        "language": args.language or None,
        "trace": bool(args.trace or args.html),
    }


def shape_kwargs(args: argparse.Namespace) -> Dict[str, Any]:
    """The shape_json keyword arguments of a parsed command line."""
    return {
        "script": args.script,
        "language": args.language,
        "direction": args.direction,
        "features": args.features,
        "usp10": args.usp10,
        "trace": bool(args.trace or args.html),
        "wine_bytes": bool(args.wine_bytes),
        "textshaping": bool(args.textshaping),
    }


def read_bytes(path: str, what: str, stdin: bool = False) -> bytes:
    try:
        if stdin and path == "-":
            return sys.stdin.buffer.read()
        return Path(path).read_bytes()
    except OSError as e:
        raise UsageError(f"cannot read {what} {path!r}: {e.strerror or e}") from None


def decode_text(raw: bytes, origin: str) -> str:
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise UsageError(f"{origin} is not valid UTF-8 (byte {e.start})") from None
    if text.endswith("\r\n"):
        return text[:-2]
    return text[:-1] if text.endswith("\n") else text


def read_text(args: argparse.Namespace) -> str:
    if args.text_file is not None:
        return decode_text(read_bytes(args.text_file, "text file"), f"text file {args.text_file!r}")
    if args.text == "-":
        return decode_text(read_bytes("-", "standard input", stdin=True), "standard input")
    text: str = args.text
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise UsageError("TEXT is not valid UTF-8") from None
    return text


def is_opentype_tag(tag: str) -> bool:
    """An OpenType tag as a user writes it: 1 to 4 characters of printable ASCII (space to
    tilde), padded with spaces to four; a leading space is not a tag."""
    return 1 <= len(tag) <= 4 and all(" " <= ch <= "~" for ch in tag) and tag[0] != " "


def _check_sources(args: argparse.Namespace) -> None:
    given = [name for name, value in (("TEXT", args.text), ("--text-file", args.text_file),
                                      ("--batch", args.batch)) if value is not None]
    if not given:
        raise UsageError(f"give the text as TEXT, --text-file or --batch (see {PROG} --help)")
    if len(given) > 1:
        raise UsageError(f"{' and '.join(given)} cannot be used together")
    if args.jobs is not None and args.batch is None:
        raise UsageError("-j/--jobs spreads the lines of --batch over processes; give --batch FILE")
    if args.jobs is not None and args.jobs < 1:
        raise UsageError("-j/--jobs must be 1 or more")
    for option, tag in (("--script", args.script), ("--language", args.language)):
        if tag and not is_opentype_tag(tag):
            raise UsageError(f"{option} {tag!r} is not an OpenType tag: 1 to 4 printable ASCII "
                             "characters, not starting with a space (e.g. arab, URD)")
    if args.batch is not None and args.html is not None:
        raise UsageError("--html draws one text; it cannot be used with --batch")
    if args.index < 0:
        raise UsageError("--index must be 0 or more")


def _options_shown(kwargs: Dict[str, Any]) -> List[Tuple[str, str]]:
    defaults = {"script": "", "language": "", "direction": "auto", "features": None,
                "usp10": None, "trace": False, "wine_bytes": False, "textshaping": False}
    return [(k, str(v)) for k, v in kwargs.items() if v != defaults[k]]


def report_direction(args: argparse.Namespace, text: str) -> str:
    """The paragraph direction of the default output, made explicit, so that the report's
    shaping has the same items: shape_json's automatic rule, as the engine decides it."""
    if args.direction != "auto":
        return str(args.direction)
    from tesvo import _engine

    return "rtl" if _engine.compat_rtl(text) else "ltr"


def _write_report(args: argparse.Namespace, shaper: Any, text: str, font: bytes) -> None:
    from .report import render_report  # fontTools is needed for the report only

    direction = report_direction(args, text)
    options = dict(shape_options(args), direction=direction, trace=True)
    result = shaper.shape(text, **options)
    shown = _options_shown(shape_kwargs(args))
    try:
        page = render_report(result, font, font_label=args.font, index=args.index,
                             paragraph_rtl=direction == "rtl", options=shown)
    except Exception as e:  # fontTools reports unreadable fonts with many exception types
        raise RuntimeError(f"cannot draw glyphs from {args.font!r}: {e}") from None
    try:
        Path(args.html).write_text(page, encoding="utf-8")
    except OSError as e:
        raise UsageError(f"cannot write {args.html!r}: {e.strerror or e}") from None


def open_font(args: argparse.Namespace) -> Any:
    import tesvo

    return tesvo.Font(**font_options(args))


def run(argv: Optional[Sequence[str]]) -> int:
    args = build_parser().parse_args(argv)
    _check_sources(args)
    font = read_bytes(args.font, "font")
    kwargs = shape_kwargs(args)
    if args.textshaping:
        # Only shape_json knows the Windows engine (and refuses it here with its message).
        _tesvo.shape_json(font, read_text(args) if args.batch is None else "a", **kwargs)
    if args.batch is not None:
        from .batch import run_batch

        raw = read_bytes(args.batch, "batch file", stdin=True)
        failed = run_batch(font_options(args), raw, shape_options(args), schema=args.schema,
                           jobs=args.jobs or 1, progress=not args.no_progress, out=sys.stdout)
        return EXIT_FAILED if failed else EXIT_OK
    text = read_text(args)
    shaper = open_font(args)
    options = shape_options(args)
    if args.schema == "tesvo":
        out = shaper.shape(text, **options).to_json(indent=2)
    else:
        out = shaper.shape_json(text, **options)
    if args.html is not None:
        _write_report(args, shaper, text, font)
    sys.stdout.write(out + "\n")
    sys.stdout.flush()
    if args.html is not None:
        print(f"{PROG}: trace report written to {Path(args.html).resolve()}", file=sys.stderr)
    return EXIT_OK


def main(argv: Optional[Sequence[str]] = None) -> int:
    words = sys.argv[1:] if argv is None else list(argv)
    if words[:1] == ["compare"]:
        from .compare_cli import main as compare_main

        return compare_main(words[1:], PROG)
    try:
        return run(argv)
    except UsageError as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return EXIT_USAGE
    except (RuntimeError, TypeError, UnicodeError, TesvoError) as e:
        # The module's one-line messages; a TypeError here would be an argument this
        # command got wrong, reported the same way rather than as a traceback.
        message = one_line(e)
        print(f"{PROG}: {message}", file=sys.stderr)
        extra = hint(message) if isinstance(e, (RuntimeError, TesvoError)) else None
        if extra:
            print(f"{PROG}: hint: {extra}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. "| head"); say nothing more on a closed pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
