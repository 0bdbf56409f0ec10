"""Requests from several threads: the interpreter lock is released around the engine, the
port's shared font slot is not mixed up between requests, file names stay distinct."""

import re
import time

from conftest import default_glyphs, run_in_thread, wait_for


def progress_while(thread, seconds=0.2):
    """Counts loop turns of this Python thread for a while; returns (turns, still_running)."""
    turns = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        turns += 1
    return turns, thread.is_alive()


def test_interpreter_lock_released_during_pause(engine, fake, monkeypatch):
    monkeypatch.setenv("TESVO_PRESLEEP_MS", "800")
    thread, box = run_in_thread(engine.shape, "ab", fake)
    assert wait_for(engine.leftovers), "the request never staged its font"
    turns, running = progress_while(thread)
    thread.join(10)
    assert running, "this thread could not run while the request was inside the engine"
    assert turns > 1000
    assert box["result"]["final"] == default_glyphs("ab")


def test_interpreter_lock_released_during_backend_work(engine, fake):
    fake.configure("sleep ms=800")
    thread, box = run_in_thread(engine.shape, "ab", fake)
    assert wait_for(lambda: "tags" in fake.raw_log())
    turns, running = progress_while(thread)
    thread.join(10)
    assert running
    assert turns > 1000
    assert box["result"]["final"] == default_glyphs("ab")


def test_interpreter_lock_released_while_waiting_for_another_request(engine, fake):
    # Two requests with the backend busy for 600 ms each: the second waits for the first,
    # and must not hold the interpreter lock while it waits.
    fake.configure("sleep ms=600")
    first, box1 = run_in_thread(engine.shape, "ab", fake)
    second, box2 = run_in_thread(engine.shape, "cd", fake)
    assert wait_for(lambda: "tags" in fake.raw_log())
    assert wait_for(lambda: len(engine.leftovers()) == 2)
    turns, running = progress_while(first, 0.2)
    assert running and second.is_alive()
    assert turns > 1000
    first.join(10)
    second.join(10)
    assert box1["result"]["final"] == default_glyphs("ab")
    assert box2["result"]["final"] == default_glyphs("cd")


def test_threads_with_different_fonts_each_get_their_own_glyphs(engine, fake):
    # The fake maps a code unit to code unit + first font byte, read after sleeping inside
    # shaping: a request whose font bytes were replaced meanwhile gets the wrong glyphs.
    fake.configure("sleep ms=150")
    fonts = {k: bytes([k]) + b"\0" * 64 for k in (1, 2, 3, 4, 5)}
    start = time.monotonic()
    runs = {k: run_in_thread(engine.shape, "abc", fake, data=data) for k, data in fonts.items()}
    for thread, _ in runs.values():
        thread.join(20)
    elapsed = time.monotonic() - start
    for k, (_, box) in runs.items():
        assert "error" not in box, box
        assert box["result"]["final"] == default_glyphs("abc", font_byte=k)
    assert elapsed >= 5 * 0.15
    numbers = [int(re.search(r"_(\d+)\.font$", box["result"]["font_info"]["path"]).group(1))
               for _, box in runs.values()]
    assert len(set(numbers)) == len(numbers)
    names = fake.call_names()
    # Each request's port calls run as one block: set, shape, free, clear.
    blocks = [names[i:i + 7] for i in range(0, len(names), 7)]
    assert blocks == [["setfont", "itemize", "tags", "shape", "place", "free",
                       "clearfont"]] * 5
    assert fake.live_caches() == 0
