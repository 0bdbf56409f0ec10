"""The type stub of _tesvo: installed with the module, true to it, and used by mypy for the
tesvo-shape package (checked strictly) and for callers."""

import subprocess
import sys
from pathlib import Path

import pytest

import _tesvo

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def mypy_available():
    try:
        import mypy  # noqa: F401
    except ImportError:
        pytest.fail("mypy is not installed in the test environment (pip install mypy)",
                    pytrace=False)


def run_mypy(*args, cwd=ROOT):
    return subprocess.run([sys.executable, "-m", "mypy", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=300)


def test_stub_is_installed_with_the_module():
    here = Path(_tesvo.__file__).parent
    assert (here / "_tesvo.pyi").is_file()
    # The stub-only package is what type checkers read for a lone module in site-packages.
    installed = (here / "_tesvo-stubs" / "__init__.pyi").read_text()
    assert installed == (ROOT / "src/compat/_tesvo.pyi").read_text()


@pytest.mark.usefixtures("mypy_available")
class TestMypy:
    @pytest.mark.parametrize("module", ["_tesvo", "tesvo"])
    def test_stub_agrees_with_the_module_at_run_time(self, module):
        done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file",
                               str(ROOT / "pyproject.toml"), module],
                              capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stdout + done.stderr

    @pytest.mark.parametrize("package", ["tesvo_shape", "tesvo"])
    def test_package_passes_strict_checking(self, tmp_path, package):
        done = run_mypy("--config-file", ROOT / "pyproject.toml", "--cache-dir", tmp_path / "cache",
                    ROOT / "python" / package)
        assert done.returncode == 0, done.stdout + done.stderr

    def test_wrong_calls_are_caught(self, tmp_path):
        caller = tmp_path / "caller.py"
        caller.write_text(
            "import _tesvo\n"
            "ok: str = _tesvo.shape_json(b'', 'a', features=None, usp10=None, trace=True)\n"
            "v: str = _tesvo.__version__\n"
            "a: int = _tesvo.shape_json(b'', 'a')\n"
            "_tesvo.shape_json(bytearray(), 'a')\n"
            "_tesvo.shape_json(b'', 'a', 'latn')\n"
            "_tesvo.shape_json(b'', 'a', trace=1)\n"
        )
        done = run_mypy("--strict", "--cache-dir", tmp_path / "cache", caller, cwd=tmp_path)
        errors = [line for line in done.stdout.splitlines() if ": error:" in line]
        assert [int(line.split(":")[1]) for line in errors] == [4, 5, 6, 7], done.stdout
