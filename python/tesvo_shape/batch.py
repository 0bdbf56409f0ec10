"""--batch: shape every line of a file as its own request and write JSON Lines.

Lines go out in input order whatever the number of worker processes, one compact object
each: {"line": N, "text": ..., "result": {...}} for a shaped line, {"line": N, "text": ...,
"error": "message"} for a line the module refused. Line numbers start at 1.
"""

from __future__ import annotations

import json
import multiprocessing
import os
import shutil
import signal
import sys
import tempfile
from typing import Any, Dict, Generator, List, Optional, TextIO, Tuple

import _tesvo

# (line number, text, why the line could not be read as text)
Job = Tuple[int, str, Optional[str]]

PROGRESS_DELAY_S = 0.5  # a bar shows only once a run has taken this long

# Per worker process: the font and options, handed over once at its start.
_font = b""
_kwargs: Dict[str, Any] = {}


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


def _start_worker(font: bytes, kwargs: Dict[str, Any], tmpdir: Optional[str] = None) -> None:
    global _font, _kwargs
    _font, _kwargs = font, kwargs
    if tmpdir is not None:
        # A worker may be ended in the middle of a call (Ctrl-C ends the pool); its
        # temporary font files then lie in a directory of its own that the parent removes.
        os.environ["TMPDIR"] = tmpdir
        signal.signal(signal.SIGINT, signal.SIG_IGN)


def shape_job(job: Job) -> Tuple[bool, str]:
    """One line of output for one job, and whether the job was shaped."""
    number, text, unreadable = job
    record: Dict[str, Any] = {"line": number, "text": text}
    ok = False
    if unreadable is not None:
        record["error"] = unreadable
    else:
        try:
            record["result"] = json.loads(_tesvo.shape_json(_font, text, **_kwargs))
            ok = True
        except (RuntimeError, TypeError, UnicodeError) as e:
            record["error"] = " ".join(str(e).split("\n"))
    return ok, json.dumps(record, ensure_ascii=False, separators=(",", ":"))


def _results(jobs: List[Job], font: bytes, kwargs: Dict[str, Any],
             workers: int) -> Generator[Tuple[bool, str], None, None]:
    if workers <= 1:
        _start_worker(font, kwargs)
        yield from map(shape_job, jobs)
        return
    # spawn: workers start clean, whatever threads this process runs (the progress bar's).
    context = multiprocessing.get_context("spawn")
    chunk = max(1, min(32, len(jobs) // (workers * 8)))
    tmpdir = tempfile.mkdtemp(prefix="tesvo-batch-")
    try:
        # Only the parent answers Ctrl-C: the workers start with SIGINT ignored (kept across
        # exec), so none prints a traceback; leaving this block ends them.
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            pool = context.Pool(workers, initializer=_start_worker,
                                initargs=(font, kwargs, tmpdir))
        finally:
            signal.signal(signal.SIGINT, previous)
        with pool:
            yield from pool.imap(shape_job, jobs, chunksize=chunk)
    finally:
        shutil.rmtree(tmpdir, ignore_errors=True)


def run_batch(font: bytes, raw: bytes, kwargs: Dict[str, Any], *, jobs: int, progress: bool,
              out: TextIO) -> int:
    """Shapes every line of `raw` and writes the JSON Lines to `out`; returns the number of
    lines that failed. The progress bar goes to standard error when that is a terminal."""
    work = split_lines(raw)
    from tqdm import tqdm

    failed = 0
    bar = tqdm(total=len(work), file=sys.stderr, unit="line", delay=PROGRESS_DELAY_S,
               disable=not (progress and sys.stderr.isatty()))
    results = _results(work, font, kwargs, min(jobs, max(1, len(work))))
    try:
        for ok, line in results:
            out.write(line + "\n")
            failed += not ok
            bar.update(1)
        out.flush()
    finally:
        results.close()  # ends the workers and removes their files now, also on Ctrl-C
        bar.close()
    return failed
