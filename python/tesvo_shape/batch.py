"""--batch: shape every line of a file as its own text and write JSON Lines.

Lines go out in input order whatever the number of worker processes, one compact object
each: {"line": N, "text": ..., "result": {...}} for a shaped line, {"line": N, "text": ...,
"error": "message"} for a line that failed. Line numbers start at 1. Each process opens the
font once (tesvo.Font) and streams its lines through it (shape_many, or shape_json_many for
the default schema), a chunk at a time.
"""

from __future__ import annotations

import json
import multiprocessing
import signal
import sys
from typing import Any, Dict, Generator, Iterator, List, Optional, TextIO, Tuple

import tesvo

# (line number, text, why the line could not be read as text)
Job = Tuple[int, str, Optional[str]]

PROGRESS_DELAY_S = 0.5  # a bar shows only once a run has taken this long

# Lines handed to a worker at a time.
CHUNK = 256

# Per process: the font, opened once, the options and the schema.
_font: Optional[tesvo.Font] = None
_options: Dict[str, Any] = {}
_schema = "shape_json"


def split_lines(raw: bytes) -> List[Job]:
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
    jobs: List[Job] = []
    for number, part in enumerate(parts, start=1):
        if part.endswith(b"\r"):
            part = part[:-1]
        try:
            jobs.append((number, part.decode("utf-8"), None))
        except UnicodeDecodeError as e:
            jobs.append((number, part.decode("utf-8", "replace"),
                         f"line is not valid UTF-8 (byte {e.start})"))
    return jobs


def _start_worker(font: Dict[str, Any], options: Dict[str, Any], schema: str, worker: bool = False) -> None:
    global _font, _options, _schema
    _font, _options, _schema = tesvo.Font(**font), options, schema
    if worker:
        signal.signal(signal.SIGINT, signal.SIG_IGN)


def _outcomes(texts: List[str]) -> Iterator[Any]:
    assert _font is not None
    if _schema == "tesvo":
        return _font.shape_many(texts, **_options)
    return _font.shape_json_many(texts, compact=True, **_options)


def shape_jobs(jobs: List[Job]) -> List[Tuple[bool, str]]:
    """One line of output per job, and whether the job was shaped."""
    outcomes = _outcomes([text for _, text, unreadable in jobs if unreadable is None])
    lines = []
    for number, text, unreadable in jobs:
        record: Dict[str, Any] = {"line": number, "text": text}
        outcome = next(outcomes) if unreadable is None else None
        if isinstance(outcome, str):
            # The engine's compact document goes in as it is: what json.dumps would write.
            head = json.dumps(record, ensure_ascii=False, separators=(",", ":"))[:-1]
            lines.append((True, f'{head},"result":{outcome}}}'))
            continue
        if unreadable is not None:
            record["error"] = unreadable
        elif isinstance(outcome, tesvo.ShapeError):
            record["error"] = " ".join(str(outcome).split("\n"))
        elif isinstance(outcome, tesvo.Result):
            record["result"] = outcome.to_dict()
        lines.append(("result" in record, json.dumps(record, ensure_ascii=False, separators=(",", ":"))))
    return lines


def _chunks(jobs: List[Job], size: int) -> List[List[Job]]:
    return [jobs[i:i + size] for i in range(0, len(jobs), size)]


def _results(jobs: List[Job], font: Dict[str, Any], options: Dict[str, Any], schema: str,
             workers: int) -> Generator[Tuple[bool, str], None, None]:
    if workers <= 1:
        _start_worker(font, options, schema)
        for chunk in _chunks(jobs, CHUNK):
            yield from shape_jobs(chunk)
        return
    # The font and the options are checked here, so that a bad one is one error, not one
    # per worker. spawn: workers start clean, whatever threads this process runs (the
    # progress bar's).
    _start_worker(font, options, schema)
    _outcomes([])
    context = multiprocessing.get_context("spawn")
    size = max(1, min(CHUNK, len(jobs) // (workers * 4)))
    # Only the parent answers Ctrl-C: the workers start with SIGINT ignored (kept across
    # exec), so none prints a traceback; leaving this block ends them.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        pool = context.Pool(workers, initializer=_start_worker, initargs=(font, options, schema, True))
    finally:
        signal.signal(signal.SIGINT, previous)
    with pool:
        for lines in pool.imap(shape_jobs, _chunks(jobs, size)):
            yield from lines


class _NoBar:
    def update(self, n: int) -> None:
        pass

    def close(self) -> None:
        pass


def _progress_bar(total: int, shown: bool) -> Any:
    """tqdm's bar on standard error, or, when none can show, nothing: tqdm is then not even
    imported, which a short batch would feel in its start-up time."""
    if not shown:
        return _NoBar()
    from tqdm import tqdm

    return tqdm(total=total, file=sys.stderr, unit="line", delay=PROGRESS_DELAY_S)


def run_batch(font: Dict[str, Any], raw: bytes, options: Dict[str, Any], *, schema: str, jobs: int,
              progress: bool, out: TextIO) -> int:
    """Shapes every line of `raw` and writes the JSON Lines to `out`; returns the number of
    lines that failed. The progress bar goes to standard error when that is a terminal."""
    work = split_lines(raw)
    failed = 0
    bar = _progress_bar(len(work), progress and sys.stderr.isatty())
    results = _results(work, font, options, schema, min(jobs, max(1, len(work))))
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
