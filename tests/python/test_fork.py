"""A process that forks while another of its threads is shaping: the child must be able to
shape too. Requests take turns at the backend's shared font; a child forked in the middle of
a turn would otherwise wait for a turn that nobody in it will ever end."""

import json
import os
import subprocess
import sys
import textwrap

from conftest import NOTO_SANS

# The parent's request holds the backend for 1.5 s (the test backend sleeps inside
# shaping); the fork comes in the middle of it. Each process prints what it got.
HELD_TURN = """
import ctypes, json, os, sys, threading, time
import _tesvo
lib = {lib!r}
fake = ctypes.CDLL(lib)
fake.fake_log.restype = ctypes.c_char_p
fake.fake_configure(b"sleep ms=1500")
def shape(first_byte):
    out = json.loads(_tesvo.shape_json(bytes([first_byte]) + bytes(64), "ab", usp10=lib))
    return [g["g"] for g in out["final"]]
box = {{}}
thread = threading.Thread(target=lambda: box.update(parent=shape(1)))
thread.start()
while b"tags" not in fake.fake_log():
    time.sleep(0.01)
pid = os.fork()
if pid == 0:
    fake.fake_configure(b"")
    os.write(1, (json.dumps({{"child": shape(2)}}) + "\\n").encode())
    os._exit(0)
deadline = time.monotonic() + 20
while time.monotonic() < deadline:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    time.sleep(0.02)
else:
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    print(json.dumps({{"child": "hung"}}))
thread.join()
print(json.dumps(box))
"""


def test_child_forked_during_a_request_can_shape(backends_dir, tmp_path):
    fake = backends_dir / "libfake_port.so"
    env = {k: v for k, v in os.environ.items() if not k.startswith("TESVO_")}
    env["TMPDIR"] = str(tmp_path)
    proc = subprocess.run([sys.executable, "-W", "ignore", "-c",
                           HELD_TURN.format(lib=str(fake))],
                          env=env, capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    got = {}
    for line in proc.stdout.decode().splitlines():
        got.update(json.loads(line))
    # The fake's glyph is the code unit plus the first font byte.
    assert got == {"child": [ord("a") + 2, ord("b") + 2], "parent": [ord("a") + 1, ord("b") + 1]}
    assert os.listdir(tmp_path) == []


# Threads shaping with the bundled backend all the time, and forks in between: every child
# shapes once and exits; none hangs.
BUSY = """
import os, sys, threading, time
import _tesvo
font = open({font!r}, "rb").read()
stop = threading.Event()
def loop():
    while not stop.is_set():
        _tesvo.shape_json(font, "Wave \\u05e9\\u05dc\\u05d5\\u05dd office", trace=True)
threads = [threading.Thread(target=loop) for _ in range(3)]
for t in threads:
    t.start()
hung = 0
for _ in range(15):
    pid = os.fork()
    if pid == 0:
        _tesvo.shape_json(font, "ab")
        os._exit(0)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.005)
    else:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        hung += 1
stop.set()
for t in threads:
    t.join()
print(hung)
"""


def test_forks_among_busy_threads_never_hang(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("TESVO_")}
    env["TMPDIR"] = str(tmp_path)
    proc = subprocess.run([sys.executable, "-W", "ignore", "-c",
                           textwrap.dedent(BUSY.format(font=str(NOTO_SANS)))],
                          env=env, capture_output=True, timeout=300)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    assert proc.stdout.decode().strip() == "0"
    assert os.listdir(tmp_path) == []
