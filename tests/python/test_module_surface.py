"""The importable module itself: attributes, signature, re-import, exported symbols."""

import importlib
import inspect
import subprocess
import sys

import pytest

import _tesvo

SIGNATURE = (
    "(data, text, *, script='', language='', direction='auto', features=None, "
    "usp10=None, trace=False, wine_bytes=False, textshaping=False)"
)
# The stored signature line, as written in the docstring; inspect shows it normalised.
TEXT_SIGNATURE = (
    '(data, text, *, script="", language="", direction="auto", features=None, '
    "usp10=None, trace=False, wine_bytes=False, textshaping=False)"
)
DOC = (
    "Shape `text` with the font bytes `data` and return the quillon engine\n"
    "JSON string (same schema as the `tesvo` CLI stdout)."
)


def test_module_attributes_version_and_all_order():
    assert _tesvo.__name__ == "_tesvo"
    assert _tesvo.__version__ == "0.6.0"
    assert type(_tesvo.__version__) is str
    assert _tesvo.__all__ == ["shape_json", "__version__"]
    assert _tesvo.__doc__ == ""


def test_shape_json_is_a_builtin_of_module_tesvo():
    fn = _tesvo.shape_json
    assert inspect.isbuiltin(fn)
    assert fn.__name__ == "shape_json"
    assert fn.__module__ == "_tesvo"


def test_inspect_signature_reports_documented_parameters():
    sig = inspect.signature(_tesvo.shape_json)
    assert str(sig) == SIGNATURE
    kinds = [p.kind for p in sig.parameters.values()]
    assert kinds[:2] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 2
    assert kinds[2:] == [inspect.Parameter.KEYWORD_ONLY] * 8


def test_docstring_is_the_text_after_the_signature_line():
    assert _tesvo.shape_json.__doc__ == DOC
    assert _tesvo.shape_json.__text_signature__ == TEXT_SIGNATURE


def test_reimport_yields_the_same_module_object_unchanged():
    first = sys.modules["_tesvo"]
    del sys.modules["_tesvo"]
    try:
        again = importlib.import_module("_tesvo")
    finally:
        sys.modules["_tesvo"] = first
    assert again is first
    assert importlib.reload(first) is first
    # A second initialisation must not add the attributes again.
    assert first.__all__ == ["shape_json", "__version__"]


def _dynamic_symbols(path):
    out = subprocess.run(["nm", "-D", "--defined-only", path], check=True,
                         capture_output=True, text=True).stdout
    return [line.split()[-1] for line in out.splitlines() if line.strip()]


def _engine_file():
    from tesvo import _engine
    return _engine.__file__


@pytest.mark.parametrize("path, init", [(_tesvo.__file__, "PyInit__tesvo"), (_engine_file(), "PyInit__engine")])
def test_extension_exports_only_its_init_entry(path, init):
    assert _dynamic_symbols(path) == [init]


@pytest.mark.parametrize("path", [_tesvo.__file__, _engine_file()])
def test_extension_is_stable_abi_and_links_no_libpython(path):
    assert path.endswith(".abi3.so")
    out = subprocess.run(["readelf", "-d", path], check=True,
                         capture_output=True, text=True).stdout
    needed = [line for line in out.splitlines() if "(NEEDED)" in line]
    assert not [line for line in needed if "libpython" in line]
    # Both modules share the port lock through this one library, never a copy of their own.
    assert [line for line in needed if "[libtesvo_port.so]" in line]


@pytest.mark.parametrize("module", ["_tesvo", "tesvo._engine"])
def test_import_in_a_second_interpreter_is_refused(module):
    try:
        import _xxsubinterpreters  # noqa: F401  (CPython 3.9 to 3.12)
        api = "_xxsubinterpreters"
    except ImportError:
        pytest.importorskip("_interpreters")
        api = "_interpreters"
    code = f"""
import {module} as imported
import {api} as interpreters
interp = interpreters.create()
try:
    result = interpreters.run_string(interp, "import {module}")
except Exception as exc:
    print("FAILED", type(exc).__name__, exc)
else:
    print("RESULT", result)
print("main still works:", imported.__name__)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=60)
    text = out.stdout + out.stderr
    assert out.returncode == 0, text
    assert "ImportError" in text, text
    assert "subinterpreter" in text.lower(), text
    assert f"main still works: {module}" in text
