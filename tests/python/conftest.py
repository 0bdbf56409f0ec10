"""Shared fixtures: the scriptable test backends, fonts, and the checked call helper.

TESVO_TEST_BACKENDS_DIR must name the build directory of tests/backends (the one that
holds libfake_port.so); tests that need a backend fail with a clear message without it.
"""

import ctypes
import json
import os
import struct
import threading
import time
from pathlib import Path

import pytest

import _tesvo

NOTO_SANS = Path("/usr/share/fonts/truetype/noto/NotoSans-Regular.ttf")
# Debian's fonts-inter-variable: Inter-roman.var.ttf on Debian 12, InterVariable.ttf on 13.
INTER = next((p for p in (Path("/usr/share/fonts/truetype/inter-vf/Inter-roman.var.ttf"),
                          Path("/usr/share/fonts/truetype/inter-vf/InterVariable.ttf")) if p.exists()), None)

PANIC = "tesvo engine panicked (unsupported usp10 build? see README)"
TEXTSHAPING = (
    "backend='textshaping' is Windows-only (it drives the system TextShaping engine via "
    "usp10); on this platform use backend='vantor' for the cross-platform per-lookup trace."
)
NO_FONT_BYTES = (
    "this libvantor has no usp_set_font_bytes export \u2014 rebuild the port with fontbytes"
)

TAG_LATN = 0x6E74616C
TAG_DFLT = 0x746C6664


def tag(text):
    """Packs a 1-4 character tag with its first character in the low byte."""
    raw = text.encode("ascii").ljust(4, b" ")
    return struct.unpack("<I", raw)[0]


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: needs seconds and gigabytes of memory")


# ---- JSON text oracle ----


def canonical(out):
    """The text form every result must have: two-space indentation, keys sorted,
    non-ASCII copied, nothing after the closing brace."""
    return json.dumps(json.loads(out), indent=2, sort_keys=True, ensure_ascii=False)


def check_text(out):
    assert isinstance(out, str)
    assert out == canonical(out), "result text differs from its canonical JSON form"
    return json.loads(out)


# ---- the test backends ----


@pytest.fixture(scope="session")
def backends_dir():
    value = os.environ.get("TESVO_TEST_BACKENDS_DIR")
    if not value:
        pytest.fail(
            "TESVO_TEST_BACKENDS_DIR is not set: point it at the build directory of "
            "tests/backends (e.g. <build>/tests/backends)",
            pytrace=False,
        )
    path = Path(value)
    if not (path / "libfake_port.so").is_file():
        pytest.fail(f"TESVO_TEST_BACKENDS_DIR={value} holds no libfake_port.so", pytrace=False)
    return path


class Fake:
    """One test backend library, opened through the same path the module loads, so both
    reach the same instance: configure it, then read what the module called."""

    def __init__(self, path):
        self.path = str(path)
        self.lib = ctypes.CDLL(self.path)
        self.lib.fake_configure.argtypes = [ctypes.c_char_p]
        self.lib.fake_configure.restype = None
        self.lib.fake_error.restype = ctypes.c_char_p
        self.lib.fake_log.restype = ctypes.c_char_p
        self.lib.fake_live_caches.restype = ctypes.c_int

    def configure(self, script=""):
        self.lib.fake_configure(script.encode())
        error = self.lib.fake_error().decode()
        assert error == "", f"bad fake script: {error}"
        return self

    def raw_log(self):
        return self.lib.fake_log().decode()

    def log(self):
        """The calls as dicts: {"call": name, key: value, ...}; results merged in."""
        entries = []
        for line in self.raw_log().splitlines():
            words = line.replace(" -> ", " ").split(" ")
            entry = {"call": words[0]}
            for word in words[1:]:
                key, _, value = word.partition("=")
                entry[key] = value
            entries.append(entry)
        return entries

    def calls(self, name=None):
        return [e for e in self.log() if name is None or e["call"] == name]

    def call_names(self):
        return [e["call"] for e in self.log()]

    def live_caches(self):
        return self.lib.fake_live_caches()


_fakes = {}


@pytest.fixture
def make_fake(backends_dir):
    """make_fake("fake_plain") -> a configured (empty script) Fake for that variant."""

    def make(variant="fake_port", script=""):
        path = backends_dir / f"lib{variant}.so"
        assert path.is_file(), f"test backend {path} was not built"
        if variant not in _fakes:
            _fakes[variant] = Fake(path)
        return _fakes[variant].configure(script)

    return make


@pytest.fixture
def fake(make_fake):
    return make_fake("fake_port")


# ---- fonts ----


@pytest.fixture(scope="session")
def noto():
    return NOTO_SANS.read_bytes()


def name_record(platform, encoding, name_id, raw, language=0x409):
    return (platform, encoding, language, name_id, raw)


def sfnt(tables, flavor=b"\x00\x01\x00\x00"):
    """An sfnt file from (tag, bytes) pairs, in the given order (duplicates allowed)."""
    header = flavor + struct.pack(">HHHH", len(tables), 0, 0, 0)
    offset = len(header) + 16 * len(tables)
    records, body = b"", b""
    for tag_name, data in tables:
        records += tag_name + struct.pack(">III", 0, offset + len(body), len(data))
        body += data + b"\0" * (-len(data) % 4)
    return header + records + body


def head_table(upem):
    return b"\0" * 18 + struct.pack(">H", upem) + b"\0" * 34


def maxp_table(glyphs):
    return struct.pack(">IH", 0x5000, glyphs)


def name_table(records):
    """records: (platform, encoding, language, name_id, raw bytes)."""
    strings = b""
    entries = b""
    for platform, encoding, language, name_id, raw in records:
        entries += struct.pack(">HHHHHH", platform, encoding, language, name_id, len(raw),
                               len(strings))
        strings += raw
    start = 6 + len(entries)
    return struct.pack(">HHH", 0, len(records), start) + entries + strings


def tiny_font(upem=1234, glyphs=77, family="Tiny Test"):
    tables = [(b"head", head_table(upem)), (b"maxp", maxp_table(glyphs))]
    if family is not None:
        tables.append((b"name", name_table([(3, 1, 0x409, 1, family.encode("utf-16-be"))])))
    return sfnt(tables)


# ---- calling the module ----


class Engine:
    """Calls shape_json with the font file staged in a private TMPDIR; every successful
    result goes through the text oracle."""

    def __init__(self, tmpdir, font):
        self.tmpdir = tmpdir
        self.font = font

    def raw(self, text="abc", fake=None, data=None, **kw):
        if fake is not None:
            kw.setdefault("usp10", fake.path)
        return _tesvo.shape_json(self.font if data is None else data, text, **kw)

    def shape(self, text="abc", fake=None, data=None, **kw):
        return check_text(self.raw(text, fake, data, **kw))

    def error(self, text="abc", fake=None, data=None, exc=RuntimeError, **kw):
        with pytest.raises(exc) as info:
            self.raw(text, fake, data, **kw)
        assert type(info.value) is exc
        return str(info.value)

    def leftovers(self):
        return sorted(p.name for p in self.tmpdir.iterdir())


@pytest.fixture
def engine(tmp_path, monkeypatch, noto):
    """Stages fonts in an empty TMPDIR of the test's own and checks afterwards that no
    temporary font file was left behind."""
    tmpdir = tmp_path / "tmpdir"
    tmpdir.mkdir()
    monkeypatch.setenv("TMPDIR", str(tmpdir))
    for name in ("TESVO_PRESLEEP_MS", "TESVO_PRELOAD_TS", "TESVO_POSTLOAD_MS", "TESVO_VANTOR"):
        monkeypatch.delenv(name, raising=False)
    eng = Engine(tmpdir, noto)
    yield eng
    assert eng.leftovers() == [], "temporary font files were left behind"


def glyph(g, cl, ax=0, dx=0, dy=0):
    return {"ax": ax, "ay": 0, "cl": cl, "dx": dx, "dy": dy, "flags": 0, "g": g}


def default_glyphs(text, start=0, font_byte=0, rtl=False):
    """The glyph records the fake produces by default for an item: one glyph per code
    unit, id = code unit + first font byte, advance 100 + id, clusters absolute."""
    units = struct.unpack(f"<{len(text.encode('utf-16-le')) // 2}H", text.encode("utf-16-le"))
    records = []
    for i, unit in enumerate(units):
        g = (unit + font_byte) & 0xFFFF
        records.append(glyph(g, start + i, ax=100 + g))
    return records[::-1] if rtl else records


def run_in_thread(fn, *args, **kw):
    """Starts fn in a thread; returns (thread, box) where box holds "result" or "error"."""
    box = {}

    def target():
        try:
            box["result"] = fn(*args, **kw)
        except BaseException as exc:  # handed to the test thread
            box["error"] = exc

    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    return thread, box


def wait_for(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.002)
    return False
