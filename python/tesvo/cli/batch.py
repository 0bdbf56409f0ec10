"""--batch: shape every line of a file as its own text and write JSON Lines.

Lines go out in input order whatever the number of worker processes, one compact object
each: {"line": N, "text": ..., "result": {...}} for a shaped line, {"line": N, "text": ...,
"error": "message"} for a line that failed. Line numbers start at 1. Each process opens the
font once (tesvo.Font) and streams its lines through it (shape_many, or shape_json_many for
the default schema), a chunk at a time.
"""

from __future__ import annotations

import json
from collections.abc import Generator, Iterator
from typing import NamedTuple, Optional, TextIO, Union

from tesvo.cli.pool import parallel, progress_bar
from tesvo.errors import ShapeError
from tesvo.font import Font
from tesvo.fontfile import FontFile
from tesvo.result import JsonValue, Result


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


# Lines handed to a worker at a time.
CHUNK = 256

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
    _outcomes([])


def _outcomes(texts: list[str]) -> Iterator[Union[Result, ShapeError, str]]:
    assert _opened is not None
    font, r = _opened
    if r.schema == "tesvo" or r.notation is not None:
        return font.shape_many(texts, direction=r.direction, features=r.features, script=r.script,
                               language=r.language, trace=r.trace)
    return font.shape_json_many(texts, direction=r.direction, features=r.features, script=r.script,
                                language=r.language, trace=r.trace, compact=True)


def shape_jobs(jobs: list[Job]) -> list[tuple[bool, str]]:
    """One line of output per job, and whether the job was shaped."""
    assert _opened is not None
    notation = _opened[1].notation
    outcomes = _outcomes([job.text for job in jobs if job.unreadable is None])
    lines = []
    for number, text, unreadable in jobs:
        record: dict[str, JsonValue] = {"line": number, "text": text}
        outcome = next(outcomes) if unreadable is None else None
        if notation is not None:  # one line of glyphs per text; an empty line for a failure
            if isinstance(outcome, Result):
                lines.append((True, outcome.to_text(**notation._asdict())))
            else:
                lines.append((False, ""))
            continue
        if isinstance(outcome, str):
            # The engine's compact document goes in as it is: what json.dumps would write.
            head = json.dumps(record, ensure_ascii=False, separators=(",", ":"))[:-1]
            lines.append((True, f'{head},"result":{outcome}}}'))
            continue
        if unreadable is not None:
            record["error"] = unreadable
        elif isinstance(outcome, ShapeError):
            record["error"] = " ".join(str(outcome).split("\n"))
        elif isinstance(outcome, Result):
            record["result"] = outcome.to_dict()
        lines.append(("result" in record, json.dumps(record, ensure_ascii=False, separators=(",", ":"))))
    return lines


def _chunks(jobs: list[Job], size: int) -> list[list[Job]]:
    return [jobs[i:i + size] for i in range(0, len(jobs), size)]


def _results(jobs: list[Job], request: Request, workers: int) -> Generator[tuple[bool, str], None, None]:
    # The font and the options are checked here, so that a bad one is one error, not one
    # per worker.
    open_request(request)
    if workers <= 1:
        for chunk in _chunks(jobs, CHUNK):
            yield from shape_jobs(chunk)
        return
    size = max(1, min(CHUNK, len(jobs) // (workers * 4)))
    for lines in parallel(shape_jobs, _chunks(jobs, size), workers, open_request, (request,)):
        yield from lines


def run_batch(request: Request, raw: bytes, *, jobs: int, progress: bool, out: TextIO) -> int:
    """Shapes every line of `raw` and writes the JSON Lines to `out`; returns the number of
    lines that failed. The progress bar goes to standard error when that is a terminal."""
    work = split_lines(raw)
    failed = 0
    bar = progress_bar(len(work), progress)
    results = _results(work, request, min(jobs, max(1, len(work))))
    try:
        for ok, line in results:
            out.write(line + "\n")
            failed += not ok
            bar.update(1)
        out.flush()
    finally:
        results.close()  # ends the workers now, also on Ctrl-C
        bar.close()
    return failed
