"""Work spread over worker processes, and what a long run shows and answers meanwhile: the
progress bar, Ctrl-C and SIGTERM. --batch and compare -j use them alike.

Only the parent answers a signal. The workers start with SIGINT ignored, so a Ctrl-C sent to
the whole terminal group prints nothing from them; SIGTERM to the parent raises
KeyboardInterrupt in it, as Ctrl-C does, so that leaving the pool ends the workers and the
parent exits with the interrupted status, its semaphores released.
"""

from __future__ import annotations

import contextlib
import signal
import sys
import threading
from collections.abc import Callable, Iterable, Iterator
from types import FrameType
from typing import Optional, Protocol, TypeVar

T = TypeVar("T")
R = TypeVar("R")

PROGRESS_DELAY_S = 0.5  # a bar shows only once a run has taken this long


def _interrupt(signum: int, frame: Optional[FrameType]) -> None:
    raise KeyboardInterrupt


@contextlib.contextmanager
def terminate_as_interrupt() -> Iterator[None]:
    """SIGTERM raises KeyboardInterrupt in the main thread while the block runs."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _interrupt)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def _start_worker(initializer: Callable[..., None], initargs: tuple[object, ...]) -> None:
    signal.signal(signal.SIGTERM, signal.SIG_DFL)  # ended by the pool: quietly
    initializer(*initargs)


def parallel(work: Callable[[T], R], tasks: Iterable[T], jobs: int, initializer: Callable[..., None],
             initargs: tuple[object, ...]) -> Iterator[R]:
    """work(task) for each task in `jobs` worker processes, the results in task order. Each
    worker first runs initializer(*initargs). Closing the iterator ends the workers."""
    import multiprocessing  # not for a run in one process

    # spawn: workers start clean, whatever threads this process runs (the progress bar's).
    context = multiprocessing.get_context("spawn")
    # The workers inherit SIGINT ignored across exec, so none prints a traceback on Ctrl-C.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        pool = context.Pool(jobs, initializer=_start_worker, initargs=(initializer, initargs))
    finally:
        signal.signal(signal.SIGINT, previous)
    with pool:  # terminates the workers however the block is left
        yield from pool.imap(work, tasks)


class Progress(Protocol):
    def update(self, n: int = 1) -> object: ...

    def close(self) -> None: ...


class _NoBar:
    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass


def progress_bar(total: int, wanted: bool) -> Progress:
    """tqdm's bar on standard error when wanted and that is a terminal; otherwise nothing, and
    tqdm is not even imported, which a short run would feel in its start-up time."""
    if not wanted or not sys.stderr.isatty():
        return _NoBar()
    from tqdm import tqdm

    bar: Progress = tqdm(total=total, file=sys.stderr, unit="line", delay=PROGRESS_DELAY_S)
    return bar
