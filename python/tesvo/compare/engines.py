"""The engines a side of a comparison names, and the engines `tesvo serve` lines up beside the
port: "port", a Uniscribe port (the bundled one or another by library path), "harfbuzz",
HarfBuzz itself through uharfbuzz, and "harfrust", HarfBuzz's Rust port through pyharfrust2.
The other engines' modules are imported only when one of them is used.

A `LineEngine` shapes a whole line as one run, as hb-shape does, with the options of the
port's result it is compared with; `line_engine` opens one by name."""

from __future__ import annotations

import types
from typing import TYPE_CHECKING, Optional, Protocol

from tesvo.errors import OptionError

if TYPE_CHECKING:  # records imports this module
    from tesvo.compare.records import Row, Step
    from tesvo.font import Features
    from tesvo.result import Result

ENGINES = ("port", "harfbuzz")
LINE_ENGINES = ("harfbuzz", "harfrust")  # the engines that shape a whole line beside the port


def load_uharfbuzz() -> types.ModuleType:
    try:
        import uharfbuzz
    except ImportError:
        raise OptionError("the harfbuzz engine needs uharfbuzz: pip install uharfbuzz") from None
    module: types.ModuleType = uharfbuzz
    return module


def load_pyharfrust2() -> types.ModuleType:
    try:
        import pyharfrust2
    except ImportError:
        raise OptionError("the harfrust engine needs pyharfrust2 (wheels for CPython 3.11 and newer): "
                          "pip install pyharfrust2") from None
    module: types.ModuleType = pyharfrust2
    return module


def harfbuzz_version() -> str:
    try:
        return str(load_uharfbuzz().version_string())
    except OptionError:
        return "(uharfbuzz not installed)"


def engine_version(name: str) -> str:
    """What an engine of LINE_ENGINES runs as ("HarfBuzz 10.2.0 via uharfbuzz"); OptionError
    when its module is not installed."""
    if name == "harfbuzz":
        return f"HarfBuzz {load_uharfbuzz().version_string()} via uharfbuzz"
    return f"HarfRust via pyharfrust2 {load_pyharfrust2().__version__}"


class LineEngine(Protocol):
    """An engine that shapes a whole line as one run. `shape_line` gives its glyphs as
    compared rows in the port's order, and the run's direction (True: right to left); with
    `trace`, `steps` then holds the steps it took, named as the bundled port names them, and
    `output` the rows as the engine put them out (left to right, as hb-view draws them)."""

    steps: list[Step]
    output: tuple[Row, ...]

    def name(self, gid: int) -> Optional[str]: ...

    def shape_line(self, text: str, result: Result, direction: str, *,
                   trace: bool = False) -> tuple[tuple[Row, ...], bool]: ...


def line_engine(name: str, data: bytes, index: int, features: Features, script: Optional[str],
                language: Optional[str], location: tuple[tuple[str, float], ...] = ()) -> LineEngine:
    """The engine `name` (of LINE_ENGINES) for a font's bytes and options; OptionError when its
    module is not installed or the name is not one."""
    if name == "harfbuzz":
        from tesvo.compare.harfbuzz import HarfBuzzShaper

        return HarfBuzzShaper(data, index, features, script, language, location)
    if name == "harfrust":
        from tesvo.compare.harfrust import HarfRustShaper

        return HarfRustShaper(data, index, features, script, language, location)
    raise OptionError(f"unknown engine {name!r}: use {' or '.join(LINE_ENGINES)}")
