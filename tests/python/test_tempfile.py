"""The per-call temporary font file: name, directory, creation, contents and removal."""

import os
import re
import stat

import pytest

from conftest import PANIC, TEXTSHAPING, run_in_thread, tiny_font, wait_for


def file_number(path):
    match = re.fullmatch(r"tesvo_(\d+)_(\d+)\.font", os.path.basename(path))
    assert match, path
    assert int(match.group(1)) == os.getpid()
    return int(match.group(2))


def next_path(engine, fake):
    """Shapes once and returns the path the next call will use."""
    path = engine.shape("a", fake)["font_info"]["path"]
    return os.path.join(os.path.dirname(path),
                        f"tesvo_{os.getpid()}_{file_number(path) + 1}.font")


def test_successive_calls_use_consecutive_numbers_in_tmpdir(engine, fake):
    first = engine.shape("a", fake)["font_info"]["path"]
    second = engine.shape("a", fake)["font_info"]["path"]
    assert os.path.dirname(first) == str(engine.tmpdir)
    assert file_number(second) == file_number(first) + 1
    assert not os.path.exists(first) and not os.path.exists(second)


@pytest.mark.parametrize("script, kwargs, message", [
    ("", {"text": ""}, "empty text"),
    ("shape count=-1", {}, PANIC),
    ("", {"usp10": "/nonexistent/libnothing.so"},
     "dlopen(/nonexistent/libnothing.so) failed (libvantor not built?)"),
    ("", {"textshaping": True}, TEXTSHAPING),
])
def test_file_removed_and_number_taken_after_failures(engine, fake, script, kwargs, message):
    before = file_number(engine.shape("a", fake)["font_info"]["path"])
    fake.configure(script)
    text = kwargs.pop("text", "abc")
    got = engine.error(text, fake, **kwargs)
    assert got == message
    assert engine.leftovers() == []
    after = file_number(engine.shape("a", fake.configure())["font_info"]["path"])
    assert after == before + 2


def test_missing_tmpdir_fails_write_without_calling_engine(engine, fake, monkeypatch, tmp_path):
    monkeypatch.setenv("TMPDIR", str(tmp_path / "does-not-exist"))
    assert engine.error("abc", fake) == "write font: No such file or directory (os error 2)"
    assert fake.raw_log() == ""


def test_tmpdir_with_trailing_slash_gets_no_second_slash(engine, fake, monkeypatch):
    monkeypatch.setenv("TMPDIR", str(engine.tmpdir) + "/")
    path = engine.shape("a", fake)["font_info"]["path"]
    assert path == f"{engine.tmpdir}/tesvo_{os.getpid()}_{file_number(path)}.font"


def test_empty_tmpdir_gives_path_relative_to_working_directory(engine, fake, monkeypatch):
    monkeypatch.setenv("TMPDIR", "")
    monkeypatch.chdir(engine.tmpdir)
    path = engine.shape("a", fake)["font_info"]["path"]
    assert path == f"tesvo_{os.getpid()}_{file_number(path)}.font"


def test_unset_tmpdir_uses_slash_tmp(engine, fake, monkeypatch):
    monkeypatch.delenv("TMPDIR")
    path = engine.shape("a", fake)["font_info"]["path"]
    assert path == f"/tmp/tesvo_{os.getpid()}_{file_number(path)}.font"
    assert not os.path.exists(path)


def test_file_holds_the_bytes_with_owner_only_mode(engine, fake, monkeypatch):
    data = tiny_font(upem=1000, glyphs=5, family="Staged") + bytes(range(256)) * 4
    monkeypatch.setenv("TESVO_PRESLEEP_MS", "500")
    old = os.umask(0)
    try:
        thread, box = run_in_thread(engine.raw, "a", fake, data=data)
        assert wait_for(engine.leftovers)
        staged = engine.tmpdir / engine.leftovers()[0]
        mode = stat.S_IMODE(os.lstat(staged).st_mode)
        content = staged.read_bytes()
        thread.join(10)
    finally:
        os.umask(old)
    assert "error" not in box, box
    assert mode == 0o600
    assert content == data
    assert fake.calls("setfont")[0]["len"] == str(len(data))


def test_existing_file_at_the_name_is_replaced(engine, fake):
    path = next_path(engine, fake)
    with open(path, "wb") as f:
        f.write(b"\xffstale" * 1000)
    fake.configure()
    engine.shape("a", fake)
    setfont = fake.calls("setfont")[0]
    assert setfont["len"] == str(len(engine.font))
    assert setfont["head"] == engine.font[:4].hex()
    assert not os.path.lexists(path)


@pytest.mark.parametrize("target_exists", [True, False])
def test_symlink_at_the_name_is_removed_not_followed(engine, fake, tmp_path, target_exists):
    target = tmp_path / "target.bin"
    if target_exists:
        target.write_bytes(b"keep me")
    path = next_path(engine, fake)
    os.symlink(target, path)
    fake.configure()
    engine.shape("a", fake)
    assert not os.path.lexists(path)
    if target_exists:
        assert target.read_bytes() == b"keep me"
    else:
        assert not target.exists()
    assert fake.calls("setfont")[0]["len"] == str(len(engine.font))


def test_entry_that_cannot_be_removed_fails_the_write(engine, fake):
    path = next_path(engine, fake)
    os.mkdir(path)
    with open(os.path.join(path, "inside"), "wb"):
        pass
    fake.configure()
    try:
        message = engine.error("a", fake)
    finally:
        os.remove(os.path.join(path, "inside"))
        os.rmdir(path)
    assert re.fullmatch(r"write font: .+ \(os error \d+\)", message), message
    assert fake.raw_log() == ""


def test_empty_font_bytes_are_staged_and_shaped(engine, fake):
    doc = engine.shape("ab", fake, data=b"")
    assert fake.calls("setfont")[0]["len"] == "0"
    assert doc["upem"] == 2048
    assert doc["glyph_count"] == 0
    stem = os.path.basename(doc["font_info"]["path"])[: -len(".font")]
    assert doc["font_info"]["family"] == stem
