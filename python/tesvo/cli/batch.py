"""--batch: shape every line of a file as its own text and write JSON Lines, or hb-shape's
text notation with --format text.

Lines go out in input order whatever the number of worker processes, one compact object
each: {"line": N, "text": ..., "result": {...}} for a shaped line, {"line": N, "text": ...,
"error": "message"} for a line that failed; in the notation one line of glyphs per line, an
empty line for a failure. Line numbers start at 1. Each process opens the font once
(tesvo.Font) and hands it the lines a chunk at a time; the engine writes a chunk's output
as one piece of UTF-8 (Font.lines), which goes to standard output as it is.
"""

from __future__ import annotations

import itertools
from collections.abc import Generator
from typing import BinaryIO, NamedTuple, Optional, Union

from tesvo.cli.pool import progress_bar
from tesvo.font import Font
from tesvo.fontfile import FontFile


class Job(NamedTuple):
    """One line of the file: its number, its text, and why it could not be read as text."""

    number: int
    text: str
    unreadable: Optional[str]


class Notation(NamedTuple):
    """hb-shape's text notation and which of its parts to print (Result.to_text)."""

    names: bool
    clusters: bool
    positions: bool
    advances: bool


class Request(NamedTuple):
    """What every process needs to shape the lines: the font as read once, its face and
    backend, the shaping options and the schema of the output."""

    font: FontFile
    face: int
    backend: Optional[str]
    direction: str
    features: Optional[str]
    script: Optional[str]
    language: Optional[str]
    trace: bool
    schema: str
    variations: Optional[str] = None
    named_instance: Optional[Union[int, str]] = None
    notation: Optional[Notation] = None  # None: JSON Lines


# Lines handed to the engine at a time: enough that a call costs nothing per line, few
# enough that the progress bar moves.
CHUNK = 128

# Per process: the font, opened once, and the request.
_opened: Optional[tuple[Font, Request]] = None


def split_lines(raw: bytes) -> list[Job]:
    """The lines of a UTF-8 file: split at LF, a CR before it dropped, no line after a final
    line break, a byte order mark at the start ignored. Only LF ends a line, so a text may
    hold any other separator. A line that is not UTF-8 becomes a job that fails."""
    if raw.startswith(b"\xef\xbb\xbf"):
        raw = raw[3:]
    if not raw:
        return []
    try:
        # The whole file at once when it is all UTF-8, as it mostly is.
        texts = raw.decode("utf-8").split("\n")
    except UnicodeDecodeError:
        return _split_line_by_line(raw)
    if texts[-1] == "":
        texts.pop()
    return [Job(number, text[:-1] if text.endswith("\r") else text, None)
            for number, text in enumerate(texts, start=1)]


def _split_line_by_line(raw: bytes) -> list[Job]:
    parts = raw.split(b"\n")
    if parts[-1] == b"":
        parts.pop()
    jobs: list[Job] = []
    for number, part in enumerate(parts, start=1):
        if part.endswith(b"\r"):
            part = part[:-1]
        try:
            jobs.append(Job(number, part.decode("utf-8"), None))
        except UnicodeDecodeError as e:
            jobs.append(Job(number, part.decode("utf-8", "replace"),
                            f"line is not valid UTF-8 (byte {e.start})"))
    return jobs


def open_request(request: Request) -> None:
    """Opens the font of the request in this process (FontError, OptionError when it cannot
    be used)."""
    global _opened
    font = Font(request.font, index=request.face, backend=request.backend, variations=request.variations,
                named_instance=request.named_instance)
    _opened = (font, request)
    _write([])  # the options are checked here, before any line


def _write(texts: list[str], first: int = 1) -> tuple[bytes, int]:
    assert _opened is not None
    font, r = _opened
    return font.lines(texts, first=first, schema=r.schema,
                      notation=r.notation._asdict() if r.notation is not None else None, direction=r.direction,
                      features=r.features, script=r.script, language=r.language, trace=r.trace)


def _unreadable(job: Job) -> bytes:
    """The line of a job whose line is not UTF-8: a failure, written as the engine writes one."""
    assert _opened is not None and job.unreadable is not None
    if _opened[1].notation is not None:
        return b"\n"
    import json

    record = {"line": job.number, "text": job.text, "error": job.unreadable}
    return json.dumps(record, ensure_ascii=False, separators=(",", ":")).encode() + b"\n"


def shape_jobs(jobs: list[Job]) -> tuple[bytes, int, int]:
    """The output of the jobs, their number and how many of them failed."""
    out, failed = [], 0
    for readable, group in itertools.groupby(jobs, key=lambda job: job.unreadable is None):
        run = list(group)
        if readable:
            lines, bad = _write([job.text for job in run], run[0].number)
        else:
            lines, bad = b"".join(_unreadable(job) for job in run), len(run)
        out.append(lines)
        failed += bad
    return b"".join(out), len(jobs), failed


def _chunks(jobs: list[Job], size: int) -> list[list[Job]]:
    return [jobs[i:i + size] for i in range(0, len(jobs), size)]


def _results(jobs: list[Job], request: Request, workers: int) -> Generator[tuple[bytes, int, int], None, None]:
    # The font and the options are checked here, so that a bad one is one error, not one
    # per worker.
    open_request(request)
    if workers <= 1:
        for chunk in _chunks(jobs, CHUNK):
            yield shape_jobs(chunk)
        return
    from tesvo.cli.pool import parallel  # worker processes only when asked for

    size = max(1, min(CHUNK, len(jobs) // (workers * 4)))
    yield from parallel(shape_jobs, _chunks(jobs, size), workers, open_request, (request,))


def run_batch(request: Request, raw: bytes, *, jobs: int, progress: bool, out: BinaryIO) -> int:
    """Shapes every line of `raw` and writes the output, UTF-8, to `out`; returns the number
    of lines that failed. The progress bar goes to standard error when that is a terminal."""
    work = split_lines(raw)
    failed = 0
    bar = progress_bar(len(work), progress)
    results = _results(work, request, min(jobs, max(1, len(work))))
    try:
        for lines, count, bad in results:
            out.write(lines)
            out.flush()  # a chunk at a time, as it is shaped, to a terminal or a pipe alike
            failed += bad
            bar.update(count)
    finally:
        results.close()  # ends the workers now, also on Ctrl-C
        bar.close()
    return failed
