"""Reading a font file once, refusing early what cannot be a font.

A font is read from a regular file or a pipe (`<(cat F.ttf)`, `/dev/stdin`), once, so that
a pipe gives its bytes to every consumer. Its first four bytes are checked before the rest
is read: a device such as /dev/zero, or gigabytes of anything that is not a font, are
refused at once rather than read into memory. A named pipe that no writer opens within
WRITER_WAIT_S is refused rather than waited for forever.
"""

from __future__ import annotations

import os
import select
import stat
from typing import NamedTuple

from tesvo.errors import FontError

__all__ = ["FontFile", "read_font", "SIGNATURES", "WRITER_WAIT_S"]

# The first four bytes of what HarfBuzz opens: TrueType, CFF, Apple TrueType, Type 1 in an
# sfnt, a collection, and a Mac resource-fork font.
SIGNATURES = (b"\x00\x01\x00\x00", b"OTTO", b"true", b"typ1", b"ttcf", b"\x00\x00\x01\x00")

WRITER_WAIT_S = 5.0
_BLOCK = 1 << 20


class FontFile(NamedTuple):
    """A font's bytes and the file they were read from (an absolute path)."""

    path: str
    data: bytes


def read_font(path: str | os.PathLike[str]) -> FontFile:
    """The bytes of the font file at `path`, read once. FontError for a file that cannot be
    read, is neither a regular file nor a pipe, or does not start as a font does."""
    try:
        name = os.path.abspath(os.fspath(path))
        fd = os.open(name, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise FontError(f"cannot read font {os.fspath(path)!r}: {e.strerror or e}") from None
    except ValueError as e:  # a NUL byte in the path
        raise FontError(f"cannot read font {os.fspath(path)!r}: {e}") from None
    try:
        return FontFile(name, _read(fd, name))
    except OSError as e:
        raise FontError(f"cannot read font {name!r}: {e.strerror or e}") from None
    finally:
        os.close(fd)


def _read(fd: int, name: str) -> bytes:
    mode = os.fstat(fd).st_mode
    if stat.S_ISFIFO(mode):
        _wait_for_writer(fd, name, _named_pipe(name))
    elif not stat.S_ISREG(mode):
        raise FontError(f"cannot read font {name!r}: not a regular file or a pipe")
    os.set_blocking(fd, True)
    regular = stat.S_ISREG(mode)
    # A regular file is looked at first and then read whole in one piece: no copy of a
    # large collection made from blocks.
    head = os.pread(fd, 4, 0) if regular else _read_up_to(fd, 4)
    if head[:4] not in SIGNATURES:
        what = "empty" if not head else f"it starts with {head[:4]!r}"
        raise FontError(f"{name!r} is not an OpenType or TrueType font or collection ({what})")
    blocks = [] if regular else [head]
    size = max(os.fstat(fd).st_size + 1, _BLOCK) if regular else _BLOCK
    while block := os.read(fd, size):
        blocks.append(block)
    return blocks[0] if len(blocks) == 1 else b"".join(blocks)


def _read_up_to(fd: int, size: int) -> bytes:
    data = b""
    while len(data) < size:
        block = os.read(fd, size - len(data))
        if not block:
            break
        data += block
    return data


def _named_pipe(name: str) -> bool:
    """Whether `name` leads to a pipe in the file system (made by mkfifo), which may have no
    writer; an anonymous pipe (`<(cat F.ttf)`, `/dev/stdin`) had one when it was made."""
    real = os.path.realpath(name)
    try:
        return stat.S_ISFIFO(os.stat(real).st_mode)
    except OSError:  # /proc/N/fd/pipe:[...]: an anonymous pipe
        return False


def _wait_for_writer(fd: int, name: str, named: bool) -> None:
    """Waits until the pipe has bytes or an end. A named pipe nobody writes to would block
    forever, so it gets WRITER_WAIT_S to start."""
    ready, _, _ = select.select([fd], [], [], WRITER_WAIT_S if named else None)
    if not ready:
        raise FontError(f"cannot read font {name!r}: no one wrote to the pipe within {WRITER_WAIT_S:g} s")

