"""Choosing and opening the backend library and resolving its entry points."""

import os
import subprocess
import sys

import pytest

from conftest import NOTO_SANS, NO_FONT_BYTES, default_glyphs


def test_given_path_wins_over_environment(engine, fake, monkeypatch):
    monkeypatch.setenv("TESVO_VANTOR", "/nonexistent/libother.so")
    assert engine.shape("ab", fake)["final"] == default_glyphs("ab")


def test_environment_names_library_when_no_path_given(engine, fake, monkeypatch):
    monkeypatch.setenv("TESVO_VANTOR", fake.path)
    assert engine.shape("ab", usp10=None)["final"] == default_glyphs("ab")
    assert fake.call_names()[0] == "setfont"


def test_empty_environment_value_is_used_as_the_path(engine, fake, monkeypatch):
    monkeypatch.setenv("TESVO_VANTOR", "")
    assert engine.error("ab") == "ScriptItemizeOpenType missing in module"


@pytest.mark.parametrize("path", [
    "/nonexistent/libtesvo-missing.so", "libtesvo-missing-relative.so", "./x y.so",
    "/tmp/\u00e9\u00e8.so",
])
def test_missing_library_message_holds_path_unchanged(engine, path):
    assert engine.error("ab", usp10=path) == f"dlopen({path}) failed (libvantor not built?)"


@pytest.mark.parametrize("path, position", [("ab\x00c", 2), ("\x00", 0), ("\u00e9\x00", 2)])
def test_nul_in_path_is_reported_with_its_byte_position(engine, path, position):
    assert engine.error("ab", usp10=path) == (
        f"bad module path: nul byte found in provided data at position: {position}")


@pytest.mark.parametrize("variant, missing", [
    ("fake_itemize_only", "ScriptShapeOpenType"),
    ("fake_no_place", "ScriptPlaceOpenType"),
    ("fake_no_free", "ScriptFreeCache"),
    ("fake_no_tags", "ScriptGetFontScriptTags"),
])
def test_first_missing_required_entry_point_is_named(engine, make_fake, variant, missing):
    fake = make_fake(variant)
    assert engine.error("ab", fake) == f"{missing} missing in module"
    assert fake.raw_log() == ""


def test_library_without_any_entry_point(engine):
    assert engine.error("ab", usp10="libm.so.6") == "ScriptItemizeOpenType missing in module"


def test_library_without_port_exports_loads(engine, make_fake):
    fake = make_fake("fake_plain")
    assert engine.error("ab", fake) == NO_FONT_BYTES
    assert fake.raw_log() == ""


@pytest.mark.parametrize("variant", ["fake_notrace", "fake_beginonly"])
def test_library_with_some_port_exports_shapes_untraced(engine, make_fake, variant):
    fake = make_fake(variant, "stage name=cmap glyphs=1")
    doc = engine.shape("ab", fake, trace=True)
    assert doc["final"] == default_glyphs("ab")
    assert [s["m"] for s in doc["stages"]] == ["Uniscribe shape item 0 (script 1, tag 0x6e74616c)"]
    assert fake.call_names()[-1] == "clearfont"
    assert ("tbegin" in fake.call_names()) == (variant == "fake_beginonly")


def _run(code, env):
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stdout + out.stderr
    return out.stdout.strip()


def test_library_with_unresolved_symbol_is_refused_by_immediate_binding(
        engine, backends_dir, tmp_path):
    path = str(backends_dir / "libfake_unresolved.so")
    # Lazy binding would load it: only binding every symbol at once refuses it.
    lazy = _run(f"import ctypes, os; ctypes.CDLL({path!r}, mode=os.RTLD_LAZY); print('ok')",
                dict(os.environ))
    assert lazy == "ok"
    code = f"""
import _tesvo
try:
    _tesvo.shape_json(open({str(NOTO_SANS)!r}, "rb").read(), "ab", usp10={path!r})
except RuntimeError as exc:
    print(exc)
"""
    env = dict(os.environ, TMPDIR=str(tmp_path))
    assert _run(code, env) == f"dlopen({path}) failed (libvantor not built?)"


SEARCH_PATH_CODE = """
import ctypes, json
import _tesvo
fake = ctypes.CDLL({lib!r})
fake.fake_configure(b"place adv=4321")
out = _tesvo.shape_json(open({font!r}, "rb").read(), "a")
print(json.loads(out)["final"][0]["ax"])
"""


@pytest.mark.parametrize("vantor", [None, b"\xff\xfe/not-unicode.so"])
def test_default_name_found_through_loader_search_path(backends_dir, tmp_path, vantor):
    libdir = tmp_path / "lib"
    libdir.mkdir()
    link = libdir / "libvantor.so"
    link.symlink_to(backends_dir / "libfake_port.so")
    env = {k.encode(): v.encode() for k, v in os.environ.items() if k != "TESVO_VANTOR"}
    env[b"LD_LIBRARY_PATH"] = str(libdir).encode()
    env[b"TMPDIR"] = str(tmp_path).encode()
    if vantor is not None:
        env[b"TESVO_VANTOR"] = vantor
    code = SEARCH_PATH_CODE.format(lib=str(link), font=str(NOTO_SANS))
    assert _run(code, env) == "4321"


def test_library_stays_loaded_after_requests(backends_dir, tmp_path):
    # Opened afresh after the module's requests, the library still holds their log:
    # the module never closed it.
    path = str(backends_dir / "libfake_port.so")
    code = f"""
import ctypes
import _tesvo
font = open({str(NOTO_SANS)!r}, "rb").read()
_tesvo.shape_json(font, "a", usp10={path!r})
_tesvo.shape_json(font, "b", usp10={path!r})
fake = ctypes.CDLL({path!r})
fake.fake_log.restype = ctypes.c_char_p
print(fake.fake_log().decode().count("itemize "))
"""
    assert _run(code, dict(os.environ, TMPDIR=str(tmp_path))) == "2"
