"""What the subcommands share: the exit codes, the one usage error, the parser class, the
option definitions both take (as parent parsers), and reading the inputs they name."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Iterator
from typing import NoReturn, Optional, Union

from tesvo.errors import hint  # the package's hints, which FontError carries too

# The one table of exit codes.
EXIT_OK = 0  # everything shaped; compare: every line the same
EXIT_DIFFER = 1  # compare: some lines differ or failed; shape: a text or a batch line failed
EXIT_USAGE = 2  # a wrong command line, a file that cannot be read or written, an unusable font or backend
EXIT_INTERRUPTED = 130  # Ctrl-C or SIGTERM

EXIT_TABLE = """\
exit status: 0 shaped (compare: all lines the same); 1 a text or line could not be shaped
(compare: some lines differ); 2 a wrong command line, a file that cannot be read or written,
or a font or backend library that cannot be used; 130 interrupted (Ctrl-C, SIGTERM).
"""

# Installed as both `tesvo` and `tesvo-shape`; messages carry the name it was run by.
PROG = "tesvo-shape" if os.path.basename(sys.argv[0]) == "tesvo-shape" else "tesvo"

MAX_FACE_INDEX = 0xFFFFFFFF  # a collection counts its faces in 32 bits


class UsageError(Exception):
    """A wrong command line or an unreadable input: one line on standard error, status 2."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see {self.prog} --help)")


def face_index(word: str) -> int:
    """--index N: a face of a collection, 0 to 2**32 - 1."""
    try:
        index = int(word)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid face index {word!r}: give a whole number") from None
    if not 0 <= index <= MAX_FACE_INDEX:
        raise argparse.ArgumentTypeError(f"face index {index} out of range: from 0 to {MAX_FACE_INDEX}")
    return index


def parents() -> list[argparse.ArgumentParser]:
    """The option definitions shape and compare share, as one parent parser."""
    p = argparse.ArgumentParser(add_help=False)
    shaping = p.add_argument_group("shaping options")
    shaping.add_argument(
        "--direction", choices=("auto", "ltr", "rtl"), default="auto",
        help="paragraph direction; auto (the default) is the direction of the first strong character, "
        "except in shape's default output, which is right to left when the text holds a Hebrew, Arabic "
        "or related character (as shape_json decides); where the two differ, shape says which one its "
        "output took (docs/cli.md), e.g. --direction rtl")
    shaping.add_argument(
        "--features", metavar="LIST",
        help="OpenType feature list, applied to every item (a backend that cannot apply features refuses "
        "it), e.g. --features \"liga, -kern, ss01=2\"")
    shaping.add_argument(
        "--script", metavar="TAG",
        help="OpenType script tag for every item instead of the font's choice, e.g. --script mlym")
    shaping.add_argument(
        "--language", metavar="TAG",
        help="OpenType language system tag, or a BCP 47 language code mapped as HarfBuzz maps it (a warning "
        "when the font has no such language system), e.g. --language SRB or --language sr")
    shaping.add_argument(
        "--variations", metavar="LIST",
        help="a location of a variable font's axes, hb-shape's syntax (values clamped to each axis; an "
        "axis the font does not have is an error); compare: of both sides, e.g. --variations wght=700,wdth=80")
    shaping.add_argument(
        "--named-instance", metavar="N|NAME",
        help="a named instance of the font's fvar, by index or name, before --variations; compare: of both "
        "sides, e.g. --named-instance Bold")
    shaping.add_argument(
        "--index", metavar="N", type=face_index, default=0,
        help="the face of a font collection, from 0 (the default); compare: of the left side, and of the "
        "right with one font, e.g. --index 1")
    shaping.add_argument(
        "--usp10", metavar="LIBRARY",
        help="a Uniscribe port library instead of the bundled one; compare: the right side's, with the "
        "same font, e.g. --usp10 /opt/usp/libvantor.so")
    texts = p.add_argument_group("texts")
    texts.add_argument(
        "--text-file", metavar="PATH",
        help="a UTF-8 file: shape reads it as one text, compare as one text per line (one final line break "
        "removed), e.g. --text-file sample.txt")
    work = p.add_argument_group("processes")
    work.add_argument(
        "-j", "--jobs", metavar="N", type=int, default=None,
        help="work in N worker processes (shape: the lines of --batch; default 1), e.g. -j 4")
    work.add_argument(
        "--no-progress", action="store_true",
        help="no progress bar (it shows on standard error only when that is a terminal and the run takes "
        "a while), e.g. --no-progress")
    report = p.add_argument_group("report")
    report.add_argument(
        "--html", metavar="OUT.html",
        help="also write a self-contained HTML report that draws the glyphs from the font (shape: the "
        "trace of the text, traced on its own: standard output stays as asked; compare: the differing "
        "lines), e.g. --html report.html")
    report.add_argument(
        "--trace", action="store_true",
        help="shape: add one stage per GSUB lookup applied and per reordering phase; compare: follow "
        "both sides step by step (GSUB and GPOS lookups, kern table, fallback) and name in each differing "
        "record the step where they part with the values on each side (with --html, also drawn), "
        "e.g. --trace")
    return [p]


def check_common(args: argparse.Namespace) -> None:
    if args.jobs is not None and args.jobs < 1:
        raise UsageError("-j/--jobs must be 1 or more")
    if args.script and not is_opentype_tag(args.script):
        raise UsageError(f"--script {args.script!r} is not an OpenType tag: 1 to 4 printable ASCII "
                         "characters, not starting with a space (e.g. arab, mlym)")
    language = args.language
    if language and not (is_opentype_tag(language) or is_language_code(language)):
        raise UsageError(f"--language {language!r} is neither an OpenType tag (1 to 4 printable ASCII "
                         "characters, e.g. URD) nor a BCP 47 code (e.g. ur, zh-Hant)")


def named_instance(word: Optional[str]) -> Optional[Union[int, str]]:
    """--named-instance: an index when it is a whole number, else a name."""
    if word is None:
        return None
    return int(word) if word.isdigit() else word


def is_language_code(code: str) -> bool:
    """A BCP 47 code as a user writes it: letters, digits and hyphens (sr, zh-Hant, x-hbot-abcd)."""
    return all(part and part.isascii() and part.isalnum() for part in code.split("-"))


def is_opentype_tag(tag: str) -> bool:
    """An OpenType tag as a user writes it: 1 to 4 characters of printable ASCII (space to
    tilde), padded with spaces to four; a leading space is not a tag."""
    return 1 <= len(tag) <= 4 and all(" " <= ch <= "~" for ch in tag) and tag[0] != " "


def read_bytes(path: str, what: str, stdin: bool = False) -> bytes:
    try:
        if stdin and path == "-":
            return sys.stdin.buffer.read()
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise UsageError(f"cannot read {what} {path!r}: {e.strerror or e}") from None


def decode_text(raw: bytes, origin: str) -> str:
    """UTF-8 text, a byte order mark and one final line break (LF or CRLF) removed."""
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise UsageError(f"{origin} is not valid UTF-8 (byte {e.start})") from None
    if text.endswith("\r\n"):
        return text[:-2]
    return text[:-1] if text.endswith("\n") else text


def read_text_file(path: str) -> str:
    return decode_text(read_bytes(path, "text file"), f"text file {path!r}")


class TextFileLines:
    """The lines of a text file as read_text_file gives them split at LF (a byte order mark
    and one final line break dropped, each line's trailing CRs too), read as they are used: a
    first pass checks the UTF-8 and counts the lines, each pass after it reads them one by
    one, so a file of millions of lines is never in memory whole."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._count = 0
        offset = 0
        try:
            with open(path, "rb") as f:
                for raw in f:
                    try:
                        raw.decode("utf-8-sig" if offset == 0 else "utf-8")
                    except UnicodeDecodeError as e:
                        raise UsageError(f"text file {path!r} is not valid UTF-8 (byte {offset + e.start})") from None
                    offset += len(raw)
                    self._count += 1
        except OSError as e:
            raise UsageError(f"cannot read text file {path!r}: {e.strerror or e}") from None
        self._count = max(self._count, 1)  # an empty file is one empty line

    def __len__(self) -> int:
        return self._count

    def __iter__(self) -> Iterator[str]:
        given = 0
        with open(self.path, "rb") as f:
            for raw in f:
                try:
                    line = raw.decode("utf-8-sig" if given == 0 else "utf-8")
                except UnicodeDecodeError:
                    raise UsageError(f"text file {self.path!r} changed while it was read: line {given + 1} "
                                     "is not valid UTF-8 any more") from None
                yield line.rstrip("\n").rstrip("\r")
                given += 1
        if given == 0:
            yield ""


def one_line(error: BaseException) -> str:
    return " ".join(str(error).split("\n")) or type(error).__name__


