"""Work spread over worker processes, and what a long run shows and answers meanwhile: the
progress bar, Ctrl-C and SIGTERM. --batch and compare -j use them alike.

Only the parent answers a signal. While the workers start, the parent ignores SIGINT, which the
workers inherit across exec, so that a Ctrl-C sent to the whole terminal group prints nothing
from them even while their interpreter starts; and it holds SIGINT and SIGTERM blocked, so that
one that comes meanwhile is kept pending (Linux keeps a blocked signal even while it is
ignored) and arrives as soon as the pool stands and the parent's handlers are back. One that
came just before is answered before SIGINT is ignored. The workers
take SIGTERM's default.
SIGTERM to the parent raises KeyboardInterrupt in it, as Ctrl-C does, so that leaving the pool
ends the workers and the parent exits with the interrupted status, its semaphores released.

A bounded number of tasks is in flight: a reader that does not keep up holds the workers back
instead of letting their results pile up in the parent.
"""

from __future__ import annotations

import collections
import contextlib
import itertools
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


_HELD = {signal.SIGINT, signal.SIGTERM}


def let_signals_through() -> None:
    """Unblocks SIGINT and SIGTERM and answers one that came while they were blocked, here
    (as KeyboardInterrupt, in the caller's try)."""
    if threading.current_thread() is threading.main_thread():
        signal.pthread_sigmask(signal.SIG_UNBLOCK, _HELD)
        _answer_pending()
IN_FLIGHT_PER_WORKER = 4  # tasks handed out ahead of the reader, per worker


def _start_worker(initializer: Callable[..., None], initargs: tuple[object, ...]) -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent answers Ctrl-C
    signal.signal(signal.SIGTERM, signal.SIG_DFL)  # ended by the pool: quietly
    signal.pthread_sigmask(signal.SIG_UNBLOCK, _HELD)
    initializer(*initargs)


def _answer_pending() -> None:
    """Nothing, run as Python: a signal that came just before the block was taken by the C
    handler and waits for the interpreter to answer it, which it does on entering this; once
    SIGINT is ignored, the interpreter would drop it instead."""


END_WAIT_S = 2.0  # how long an interrupted run waits for the pool's own ending


def _end_workers(pool: _Pool) -> None:
    """Kills every worker at once, then lets the pool end its threads, waiting for that a
    bounded time: a worker killed while it held one of the pool's queues would hold the
    pool's ending for ever, and with it the command's exit. The pool ends once only, so
    leaving its block and the interpreter's exit do not wait for it again."""
    import multiprocessing

    for child in multiprocessing.active_children():
        child.kill()
    ending = threading.Thread(target=pool.terminate, daemon=True)
    ending.start()
    ending.join(END_WAIT_S)


def parallel(work: Callable[[T], R], tasks: Iterable[T], jobs: int, initializer: Callable[..., None],
             initargs: tuple[object, ...]) -> Iterator[R]:
    """work(task) for each task in `jobs` worker processes, the results in task order. Each
    worker first runs initializer(*initargs). Closing the iterator ends the workers."""
    import multiprocessing  # not for a run in one process

    # spawn: workers start clean, whatever threads this process runs (the progress bar's).
    context = multiprocessing.get_context("spawn")
    # The pool's resource tracker, started first: starting it unblocks SIGINT and SIGTERM.
    from multiprocessing import resource_tracker

    resource_tracker.ensure_running()
    held = signal.pthread_sigmask(signal.SIG_BLOCK, _HELD)
    try:
        _answer_pending()
    except BaseException:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)
        raise
    answer = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        pool = context.Pool(jobs, initializer=_start_worker, initargs=(initializer, initargs))
    except BaseException:
        signal.signal(signal.SIGINT, answer)
        signal.pthread_sigmask(signal.SIG_SETMASK, held)
        raise
    with pool:  # terminates the workers however the block is left
        try:
            signal.signal(signal.SIGINT, answer)
            signal.pthread_sigmask(signal.SIG_SETMASK, held)  # a signal held back arrives here
            yield from _in_order(pool, work, tasks, jobs * IN_FLIGHT_PER_WORKER)
        except BaseException:
            _end_workers(pool)
            raise


def _in_order(pool: _Pool, work: Callable[[T], R], tasks: Iterable[T], window: int) -> Iterator[R]:
    """The results of work(task) in task order, at most `window` tasks handed out ahead."""
    pending: collections.deque[_Async[R]] = collections.deque()
    remaining = iter(tasks)
    for task in itertools.islice(remaining, window):
        pending.append(pool.apply_async(work, (task,)))
    while pending:
        result = pending.popleft().get()
        for task in itertools.islice(remaining, 1):
            pending.append(pool.apply_async(work, (task,)))
        yield result


R_co = TypeVar("R_co", covariant=True)


class _Async(Protocol[R_co]):
    def get(self) -> R_co: ...


class _Pool(Protocol):
    def apply_async(self, func: Callable[..., R], args: tuple[object, ...]) -> _Async[R]: ...

    def terminate(self) -> None: ...


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
