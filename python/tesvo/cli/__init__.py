"""The command line: `tesvo shape`, `tesvo compare`, `tesvo coverage` and `tesvo serve`, and a
bare `tesvo FONT TEXT`, which means shape. Argument parsing only; the work is the library's.

One table of exit codes for both (see `arguments`), one way of reporting a failure: one
line on standard error, the command's name first, and for a font or backend that cannot be
used a hint from what the command can find out.
"""

from __future__ import annotations

import argparse
import os
import sys
import textwrap
from collections.abc import Callable, Sequence
from typing import Optional

from tesvo.cli import shape
from tesvo.cli.arguments import (
    EXIT_DIFFER,
    EXIT_INTERRUPTED,
    EXIT_TABLE,
    EXIT_USAGE,
    PROG,
    Parser,
    UsageError,
    one_line,
)
from tesvo.cli.pool import let_signals_through, terminate_as_interrupt
from tesvo.errors import FontError, OptionError, ShapeError, hint

__all__ = ["main"]

Run = Callable[[argparse.Namespace, str], int]

SUBCOMMANDS = ("shape", "compare", "coverage", "serve")


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
    """The top-level parser: it names the subcommands (for --help)."""
    p = Parser(
        prog=prog,
        description=textwrap.fill(
            "Shape text with OpenType fonts through a Uniscribe OpenType backend. "
            f"A bare '{prog} FONT TEXT' means '{prog} shape FONT TEXT'; a font file named like a "
            f"subcommand is given as ./compare, or after the subcommand.", width=78),
        epilog=EXIT_TABLE,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub = p.add_subparsers(title="subcommands", metavar="{shape,compare,coverage,serve}")
    sub.add_parser("shape", help="shape a text (or a file of lines) and print the result as JSON",
                   add_help=False)
    sub.add_parser("compare", help="shape the same texts two ways and report the lines that differ",
                   add_help=False)
    sub.add_parser("coverage", help="say which of a font's GSUB and GPOS lookups the texts reach",
                   add_help=False)
    sub.add_parser("serve", help="a live workbench in the browser: type, toggle, see every engine and the trace",
                   add_help=False)
    return p


def _command(words: list[str]) -> tuple[str, argparse.ArgumentParser, Run, list[str]]:
    """The subcommand the words name, its parser, its run and its own words."""
    first = words[0] if words else ""
    if first == "compare":
        from tesvo.cli import compare  # fontTools, corpora, difflib: for compare only

        return f"{PROG} compare", compare.build_parser(f"{PROG} compare"), compare.run, words[1:]
    if first == "coverage":
        from tesvo.cli import coverage  # fontTools and the corpora: for coverage only

        return f"{PROG} coverage", coverage.build_parser(f"{PROG} coverage"), coverage.run, words[1:]
    if first == "serve":
        from tesvo.cli import serve  # Starlette and uvicorn: for serve only

        return f"{PROG} serve", serve.build_parser(f"{PROG} serve"), serve.run, words[1:]
    if first == "shape":
        return PROG, shape.build_parser(f"{PROG} shape"), shape.run, words[1:]
    return PROG, shape.build_parser(PROG), shape.run, words


# Options whose value often starts with "-" ("-kern"), which argparse would take for an option.
_DASH_VALUES = ("--features", "--features2")


def _values_joined(words: list[str]) -> list[str]:
    """`--features -kern` as `--features=-kern`, as hb-shape users type it."""
    out: list[str] = []
    at = 0
    while at < len(words):
        if words[at] in _DASH_VALUES and at + 1 < len(words) and words[at + 1].startswith("-"):
            out.append(f"{words[at]}={words[at + 1]}")
            at += 2
            continue
        if words[at] == "--":
            return out + words[at:]
        out.append(words[at])
        at += 1
    return out


def _run(words: list[str], say: Callable[[str], None]) -> int:
    if words[:1] in (["-h"], ["--help"]) and PROG == "tesvo":
        build_parser().print_help()
        return 0
    name, parser, run, rest = _command(words)
    try:
        # Options may come after FONT (`tesvo FONT --features smcp TEXT`), as hb-shape takes them.
        return run(parser.parse_intermixed_args(_values_joined(rest)), name)
    except (UsageError, OptionError) as e:
        say(f"{name}: {one_line(e)}")
        return EXIT_USAGE
    except (FontError, RuntimeError, MemoryError) as e:
        # A font or a backend that cannot be used (RuntimeError: shape_json's refusals), or a
        # font too large for the memory there is.
        _say_with_hint(say, name, e)
        return EXIT_USAGE
    except (ShapeError, TypeError, UnicodeError) as e:
        # A text that could not be shaped; a TypeError here would be an argument this
        # command got wrong, reported the same way rather than as a traceback.
        _say_with_hint(say, name, e)
        return EXIT_DIFFER


def _say_with_hint(say: Callable[[str], None], name: str, error: BaseException) -> None:
    """The error's one line, and a hint line where the command can tell more. A FontError
    carries its hint apart from the module's own message."""
    message = " ".join(error.message.split("\n")) if isinstance(error, FontError) else one_line(error)
    say(f"{name}: {message}")
    extra = hint(message)
    if extra:
        say(f"{name}: hint: {extra}")


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The command: `tesvo [shape|compare|coverage] ...`; returns the exit status."""
    words = list(sys.argv[1:] if argv is None else argv)

    def say(line: str) -> None:
        print(line, file=sys.stderr)

    try:
        with terminate_as_interrupt():
            let_signals_through()  # held back by the entry point (tesvo_shape.entry) until now
            return _run(words, say)
    except KeyboardInterrupt:
        say(f"{_command(words)[0]}: interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (e.g. "| head"); say nothing more on a closed pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_DIFFER
    except OSError as e:
        # Output that cannot be written (a full disk, /dev/full): a file that cannot be
        # written, in one line; what is still buffered goes nowhere at exit.
        where = f" {e.filename}" if e.filename else " standard output"
        say(f"{_command(words)[0]}: cannot write{where}: {e.strerror or e}")
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_USAGE
