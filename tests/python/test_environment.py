"""Odd environments: every TESVO_ variable and TMPDIR with values nobody should set, and a
standard error that cannot be written. Each gives its documented behaviour, and the process
goes on. Cases that need their own environment before the first call, or their own standard
error, run in a child interpreter."""

import json
import os
import signal
import subprocess
import sys

import pytest

import _tesvo
from conftest import NOTO_SANS, PANIC

FONT = NOTO_SANS.read_bytes()
PROBES = ("TESVO_NATIVE_RUN", "TESVO_GLYPH_PROBE", "TESVO_RET_PROBE", "TESVO_TS_RET",
          "TESVO_WORKER_PROBE", "TESVO_CALLEE_PROBE", "TESVO_TS_PROBE")
PAUSES = ("TESVO_PRESLEEP_MS", "TESVO_PRELOAD_TS", "TESVO_POSTLOAD_MS")


def clean_environb(tmpdir, **extra):
    """The test's environment without any TESVO_ variable, TMPDIR set; extra values may be
    bytes."""
    env = {k: v for k, v in os.environb.items() if not k.startswith(b"TESVO_")}
    env[b"TMPDIR"] = os.fsencode(tmpdir)
    for key, value in extra.items():
        env[key.encode()] = value if isinstance(value, bytes) else value.encode()
    return env


# The child shapes "ab" with Noto Sans and prints one JSON line per call: the outcome
# kind, the message or the glyph ids, and what is left in its TMPDIR.
CHILD = r"""
import json, os, sys, time
import _tesvo
font = open({font!r}, "rb").read()
def call(**kw):
    start = time.monotonic()
    try:
        out = json.loads(_tesvo.shape_json(font, "ab", **kw))
        res = {{"ok": [g["g"] for g in out["final"]]}}
    except Exception as exc:
        res = {{"error": type(exc).__name__, "message": str(exc)}}
    res["elapsed"] = time.monotonic() - start
    res["left"] = sorted(os.listdir(os.environb.get(b"TMPDIR", b"/tmp")))
    print(json.dumps(res), flush=True)
{body}
"""


def child(tmp_path, body="call()", env=None, timeout=60, **extra):
    env = clean_environb(tmp_path, **extra) if env is None else env
    code = CHILD.format(font=str(NOTO_SANS), body=body)
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          timeout=timeout)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    lines = [json.loads(line) for line in proc.stdout.decode().splitlines()]
    return lines, proc.stderr.decode(errors="replace")


@pytest.fixture(scope="module")
def expected_ids():
    return [g["g"] for g in json.loads(_tesvo.shape_json(FONT, "ab"))["final"]]


# ---- pauses ----


@pytest.mark.parametrize("variable", ["TESVO_PRESLEEP_MS", "TESVO_POSTLOAD_MS"])
# Each value holds a number of seconds somewhere: a parser that took any part of it would
# pause long enough to be seen.
@pytest.mark.parametrize("value", [
    b"", b"+", b"-", b"--9000", b"+-9000", b"++9000", b"-+9000", b"0x9000", b"9000e0",
    b"9000.5", b"9000_0", b"9000ms",
    "\uff19\uff10\uff10\uff10".encode(),  # fullwidth digits
    "\u0669\u0660\u0660\u0660".encode(),  # Arabic-Indic digits
    b"18446744073709560616",  # 2**64 + 9000: wrapping would pause 9 s
    b"9" * 400, b"\xff9000", b"9000\xff", b"\t9000", b" 9000", b"9000 ", b"9 000",
])
def test_pause_values_that_are_not_plain_numbers_mean_no_pause(tmp_path, variable, value,
                                                              expected_ids):
    extra = {"TESVO_PRELOAD_TS": ""} if variable == "TESVO_POSTLOAD_MS" else {}
    (result,), _ = child(tmp_path, **{variable: value}, **extra)
    assert result["ok"] == expected_ids
    assert result["elapsed"] < 0.5
    assert result["left"] == []


@pytest.mark.parametrize("preload", [b"", b"0", b"\xff", b"x" * 10000])
def test_preload_switch_counts_as_set_whatever_its_value(tmp_path, preload):
    (result,), _ = child(tmp_path, TESVO_PRELOAD_TS=preload, TESVO_POSTLOAD_MS="600")
    assert result["elapsed"] >= 0.6
    assert "ok" in result


def test_largest_pause_value_sleeps_and_the_process_can_still_be_stopped(tmp_path):
    # 2**64 - 1 ms is a valid value: the thread sleeps; nothing wraps it into a short pause.
    env = clean_environb(tmp_path, TESVO_PRESLEEP_MS="18446744073709551615")
    code = CHILD.format(font=str(NOTO_SANS), body="call()")
    proc = subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    try:
        with pytest.raises(subprocess.TimeoutExpired):
            proc.wait(1.5)
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait(10)
    assert proc.returncode == -signal.SIGTERM
    # The staged file of the killed call is the only thing it leaves.
    assert len(os.listdir(tmp_path)) <= 1


# ---- the backend library variable ----


@pytest.mark.parametrize("value, message", [
    (b"", "ScriptItemizeOpenType missing in module"),  # dlopen("") is the program itself
    (b"/", "dlopen(/) failed (libvantor not built?)"),
    (b"/dev/zero", "dlopen(/dev/zero) failed (libvantor not built?)"),
    (b"/dev/null", "dlopen(/dev/null) failed (libvantor not built?)"),
    (str(NOTO_SANS).encode(), f"dlopen({NOTO_SANS}) failed (libvantor not built?)"),
    (b"/" + b"x" * 5000 + b".so", "dlopen(/" + "x" * 5000 + ".so) failed (libvantor not built?)"),
    (b"-1", "dlopen(-1) failed (libvantor not built?)"),
])
def test_backend_variable_with_odd_values(tmp_path, value, message):
    (result,), _ = child(tmp_path, TESVO_VANTOR=value)
    assert (result.get("error"), result.get("message")) == ("RuntimeError", message)
    assert result["left"] == []


def test_backend_variable_naming_the_interpreter_itself_is_refused(tmp_path):
    exe = os.path.realpath(sys.executable)
    (result,), _ = child(tmp_path, TESVO_VANTOR=exe.encode())
    assert result.get("error") == "RuntimeError", result
    assert result["message"] in (f"dlopen({exe}) failed (libvantor not built?)",
                                 "ScriptItemizeOpenType missing in module")


@pytest.mark.parametrize("value", [b"\xff", b"/tmp/\xc3(.so", b"\xed\xa0\x80"])
def test_backend_variable_that_is_not_unicode_means_the_bundled_backend(tmp_path, value,
                                                                        expected_ids):
    (result,), _ = child(tmp_path, TESVO_VANTOR=value)
    assert result["ok"] == expected_ids


# ---- the probe switches ----


@pytest.mark.parametrize("value", [b"", b"0", b"no", b"\xff\xfe", b"x" * 100000])
def test_probe_switches_count_as_set_whatever_their_value(tmp_path, value, expected_ids):
    extra = {name: value for name in PROBES}
    (result,), stderr = child(tmp_path, **extra)
    assert result["ok"] == expected_ids
    tags = [line.split(" ")[0] for line in stderr.splitlines()]
    assert tags == ["[nativerun]", "[nativerun]", "[glyph]", "[glyph]", "[ret]", "[worker]",
                    "[callee]"]


# Standard error that cannot be written: report lines are then an engine failure, the
# request ends with the panic message, and the next request without switches works.
STDERR_BODY = r"""
import os
{setup}
os.environ["TESVO_NATIVE_RUN"] = ""
call()
del os.environ["TESVO_NATIVE_RUN"]
call()
"""


@pytest.mark.parametrize("setup", [
    "os.close(2)",
    "fd = os.open('/dev/full', os.O_WRONLY); os.dup2(fd, 2)",
    "r, w = os.pipe(); os.dup2(w, 2); os.close(r)",  # EPIPE: the interpreter ignores SIGPIPE
    "fd = os.open('/dev/null', os.O_RDONLY); os.dup2(fd, 2)",
])
def test_unwritable_standard_error_with_probe_switch_is_contained(tmp_path, setup, expected_ids):
    lines, _ = child(tmp_path, body=STDERR_BODY.format(setup=setup))
    failed, after = lines
    assert (failed.get("error"), failed.get("message")) == ("RuntimeError", PANIC)
    assert failed["left"] == []
    assert after["ok"] == expected_ids


# ---- TMPDIR ----


@pytest.mark.parametrize("tmpdir, message", [
    ("/sys", "write font: Permission denied (os error 13)"),  # unwritable, even for root
    ("/proc/self", "write font: No such file or directory (os error 2)"),
    (str(NOTO_SANS), "write font: Not a directory (os error 20)"),
    ("/tmp/" + "x" * 300, "write font: File name too long (os error 36)"),
    ("/" + "d/" * 3000, "write font: File name too long (os error 36)"),
])
def test_tmpdir_that_cannot_hold_the_file(tmp_path, monkeypatch, tmpdir, message):
    monkeypatch.setenv("TMPDIR", tmpdir)
    with pytest.raises(RuntimeError) as info:
        _tesvo.shape_json(FONT, "ab")
    assert str(info.value) == message


def test_relative_tmpdir_is_taken_from_the_working_directory(tmp_path, monkeypatch,
                                                              expected_ids):
    (tmp_path / "rel").mkdir()
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("TMPDIR", "rel")
    doc = json.loads(_tesvo.shape_json(FONT, "ab"))
    assert doc["font_info"]["path"].startswith("rel/tesvo_")
    assert [g["g"] for g in doc["final"]] == expected_ids
    assert os.listdir(tmp_path / "rel") == []


def test_tmpdir_that_is_not_unicode_cannot_be_read_back_and_leaves_nothing(tmp_path,
                                                                           monkeypatch):
    # The engine takes the font path as text: the undecodable byte becomes U+FFFD, so the
    # file written under the real name is not found again; it is removed all the same.
    odd = os.path.join(os.fsencode(tmp_path), b"dir\xff")
    os.mkdir(odd)
    monkeypatch.setitem(os.environb, b"TMPDIR", odd)
    with pytest.raises(RuntimeError) as info:
        _tesvo.shape_json(FONT, "ab")
    message = str(info.value)
    assert message.startswith(f"read font {tmp_path}/dir\ufffd/tesvo_{os.getpid()}_")
    assert message.endswith(".font: No such file or directory (os error 2)")
    assert os.listdir(odd) == []


def test_tmpdir_through_a_symbolic_link_to_a_directory(tmp_path, monkeypatch, expected_ids):
    real = tmp_path / "real"
    real.mkdir()
    (tmp_path / "link").symlink_to(real)
    monkeypatch.setenv("TMPDIR", str(tmp_path / "link"))
    doc = json.loads(_tesvo.shape_json(FONT, "ab"))
    assert [g["g"] for g in doc["final"]] == expected_ids
    assert os.listdir(real) == []


# A write that stops half way (the file size limit of the process) leaves no partial file.
FSIZE_BODY = r"""
import resource, signal
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (100000, resource.RLIM_INFINITY))
call()
resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
call()
"""


def test_write_cut_short_by_the_file_size_limit_removes_the_partial_file(tmp_path,
                                                                        expected_ids):
    assert len(FONT) > 100000
    (cut, after), _ = child(tmp_path, body=FSIZE_BODY)
    assert (cut.get("error"), cut.get("message")) == (
        "RuntimeError", "write font: File too large (os error 27)")
    assert cut["left"] == []
    assert after["ok"] == expected_ids


# ---- the environment changed while requests run ----

# One thread shapes all the time (20 items a request, each item reading the probe switches)
# while the main thread adds and removes variables, which makes the C library move its
# array of variables. The engine reads its variables from a copy taken under the
# interpreter lock; reading the environment itself here crashed the interpreter.
RACE = """
import ctypes, os, threading, time
import _tesvo
lib = {lib!r}
ctypes.CDLL(lib).fake_configure(";".join(f"item pos={{i}}" for i in range(20)).encode())
stop = threading.Event()
calls = [0]
def shaper():
    while not stop.is_set():
        _tesvo.shape_json(b"font", "a" * 20, usp10=lib)
        calls[0] += 1
thread = threading.Thread(target=shaper)
thread.start()
end = time.monotonic() + {seconds}
i = 0
while time.monotonic() < end:
    os.environ[f"TESVO_RACE_{{i}}"] = "x"
    i += 1
    if i % 100 == 0:
        for k in range(i - 100, i):
            del os.environ[f"TESVO_RACE_{{k}}"]
stop.set()
thread.join()
print(calls[0], i)
"""


def test_environment_changed_by_another_thread_during_requests(backends_dir, tmp_path):
    code = RACE.format(lib=str(backends_dir / "libfake_port.so"), seconds=4)
    proc = subprocess.run([sys.executable, "-c", code], env=clean_environb(tmp_path),
                          capture_output=True, timeout=120)
    assert proc.returncode == 0, (proc.returncode, proc.stderr.decode(errors="replace")[-2000:])
    calls, changes = map(int, proc.stdout.split())
    assert calls > 100 and changes > 1000
    assert os.listdir(tmp_path) == []


def test_switch_changed_during_a_request_counts_from_the_next_request(backends_dir, tmp_path):
    # The request's items see the switches as they were when it started.
    code = f"""
import ctypes, os, threading, time
import _tesvo
lib = {str(backends_dir / "libfake_port.so")!r}
fake = ctypes.CDLL(lib)
fake.fake_log.restype = ctypes.c_char_p
fake.fake_configure(b"item pos=0; item pos=1; sleep ms=300")
thread = threading.Thread(target=lambda: _tesvo.shape_json(b"font", "ab", usp10=lib))
thread.start()
while b"tags" not in fake.fake_log():
    time.sleep(0.005)
os.environ["TESVO_WORKER_PROBE"] = ""
thread.join()
os.write(2, b"--\\n")
fake.fake_configure(b"")
_tesvo.shape_json(b"font", "a", usp10=lib)
"""
    proc = subprocess.run([sys.executable, "-c", code], env=clean_environb(tmp_path),
                          capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    assert proc.stderr.decode() == "--\n[worker] events=0 gdi32full_base=0x0\n"
