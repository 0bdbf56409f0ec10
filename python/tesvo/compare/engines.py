"""The engines a side of a comparison names: "port", a Uniscribe port (the bundled one or
another by library path), and "harfbuzz", HarfBuzz itself through uharfbuzz, which is
imported only when a HarfBuzz side is used."""

from __future__ import annotations

import types

from tesvo.errors import OptionError

ENGINES = ("port", "harfbuzz")


def load_uharfbuzz() -> types.ModuleType:
    try:
        import uharfbuzz
    except ImportError:
        raise OptionError("the harfbuzz engine needs uharfbuzz: pip install uharfbuzz") from None
    module: types.ModuleType = uharfbuzz
    return module


def harfbuzz_version() -> str:
    try:
        return str(load_uharfbuzz().version_string())
    except OptionError:
        return "(uharfbuzz not installed)"
