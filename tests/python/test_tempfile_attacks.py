"""The temporary font file under attack and under load: entries planted at the next file
name never get written through, the file is private while the engine reads it, and no
outcome of any number of calls leaves a file behind."""

import os
import re
import stat
import subprocess
import sys
import threading

import pytest

import _tesvo
from conftest import PANIC, run_in_thread, wait_for

TARGET_BYTES = b"precious, not a font\n" * 10


def next_name(tmpdir, font):
    """The path the next call of this process will use."""
    doc = _tesvo.shape_json(font, "a")
    n = int(re.search(r"_(\d+)\.font\"", doc).group(1))
    return os.path.join(tmpdir, f"tesvo_{os.getpid()}_{n + 1}.font")


@pytest.fixture
def target(tmp_path):
    path = tmp_path / "target"
    path.write_bytes(TARGET_BYTES)
    os.chmod(path, 0o644)
    return path


@pytest.mark.parametrize("plant", ["symlink", "dangling", "hardlink", "fifo", "dir-symlink"])
def test_entry_planted_at_the_next_name_is_replaced_never_written_through(engine, target, plant,
                                                                         tmp_path):
    path = next_name(engine.tmpdir, engine.font)
    if plant == "symlink":
        os.symlink(target, path)
    elif plant == "dangling":
        os.symlink(tmp_path / "would-be-created", path)
    elif plant == "hardlink":
        os.link(target, path)
    elif plant == "fifo":
        os.mkfifo(path)  # opening it for writing would block
    else:
        os.symlink(tmp_path, path)
    doc = engine.shape("ab")
    assert doc["font_info"]["path"] == path
    assert target.read_bytes() == TARGET_BYTES
    assert stat.S_IMODE(os.stat(target).st_mode) == 0o644
    assert not (tmp_path / "would-be-created").exists()
    assert not os.path.lexists(path)


PLANTER = """
import os, sys
directory, pid, base, target = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
while True:
    for n in range(base, base + 400):
        try:
            os.symlink(target, os.path.join(directory, f"tesvo_{pid}_{n}.font"))
        except FileExistsError:
            pass
"""


def test_links_planted_ahead_of_every_call_by_another_process(engine, target):
    # Another process keeps planting links to the target at the next names, also between
    # a call's removal of the link and its second create; every call either shapes, or
    # finds its name taken again and fails to write. The target is never touched.
    first = next_name(engine.tmpdir, engine.font)
    base = int(re.search(r"_(\d+)\.font$", first).group(1))
    planter = subprocess.Popen([sys.executable, "-c", PLANTER, str(engine.tmpdir),
                                str(os.getpid()), str(base), str(target)])
    outcomes = {"text": 0, "taken": 0}
    try:
        assert wait_for(lambda: os.path.lexists(first))
        for _ in range(300):
            try:
                engine.raw("ab")
                outcomes["text"] += 1
            except RuntimeError as exc:
                assert str(exc) == "write font: File exists (os error 17)"
                outcomes["taken"] += 1
    finally:
        planter.kill()
        planter.wait(10)
    assert outcomes["text"] > 0
    assert target.read_bytes() == TARGET_BYTES
    # What is left are the planter's own links, never a file of the module.
    for name in engine.leftovers():
        assert os.path.islink(engine.tmpdir / name), name
        os.unlink(engine.tmpdir / name)


def test_file_is_private_to_the_user_while_the_engine_reads_it(engine, monkeypatch):
    monkeypatch.setenv("TESVO_PRESLEEP_MS", "400")
    old = os.umask(0)
    try:
        thread, box = run_in_thread(engine.raw, "ab")
        assert wait_for(engine.leftovers)
        staged = engine.tmpdir / engine.leftovers()[0]
        info = os.lstat(staged)
        content = staged.read_bytes()
        thread.join(10)
    finally:
        os.umask(old)
    assert "error" not in box, box
    assert stat.S_ISREG(info.st_mode)
    assert stat.S_IMODE(info.st_mode) == 0o600
    assert info.st_nlink == 1 and info.st_uid == os.getuid()
    assert content == engine.font


def test_thousands_of_calls_of_every_outcome_leave_no_file(engine, make_fake):
    # Text, engine errors at every stage and contained failures, from four threads at
    # once, with the bundled backend and a test backend whose item 1 breaks the contract.
    fake = make_fake("fake_port", "item pos=0; item pos=1; shape at=1 count=-1")
    cases = [
        (dict(text="ab"), "text"),
        (dict(text="ab", trace=True, direction="rtl"), "text"),
        (dict(text="a", fake=fake), "text"),  # item 1 is empty and skipped
        (dict(text="ab", fake=fake), "panic"),
        (dict(text="ab", fake=fake, trace=True), "panic"),
        (dict(text=""), "error"),
        (dict(text="ab", features="liga=x"), "error"),
        (dict(text="ab", features="liga"), "error"),
        (dict(text="ab", data=b"not a font"), "error"),
        (dict(text="ab", textshaping=True), "error"),
        (dict(text="ab", usp10="/nonexistent/lib.so"), "error"),
    ]
    counts = {}
    lock = threading.Lock()

    def worker(offset):
        for i in range(750):
            kw, expected = cases[(i + offset) % len(cases)]
            try:
                engine.raw(**kw)
                kind = "text"
            except RuntimeError as exc:
                kind = "panic" if str(exc) == PANIC else "error"
            with lock:
                counts[(kind, expected)] = counts.get((kind, expected), 0) + 1

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert all(kind == expected for kind, expected in counts), counts
    assert sum(counts.values()) == 3000
    assert engine.leftovers() == []
    assert fake.live_caches() == 0
