"""tesvo: shape text with an OpenType font through the Uniscribe OpenType API of a backend
library, with structured results.

The library is this package's top: `font` (Font), `fontfile` (reading a font file once),
`result` (Result and its records), `compare`, `errors`, `corpora`. The command line is
`tesvo.cli` (`python -m tesvo`), the HTML reports `tesvo.report`.

    >>> import tesvo
    >>> font = tesvo.Font("/usr/share/fonts/truetype/noto/NotoSans-Regular.ttf")
    >>> [g.id for g in font.shape("Wave", features="smcp").glyphs]
"""

from tesvo._engine import __version__  # the native module's, from pyproject.toml
from tesvo.errors import FontError, OptionError, ShapeError, TesvoError
from tesvo.font import Features, Font
from tesvo.fontfile import FontFile, read_font
from tesvo.result import (SCHEMA, SCHEMA_VERSION, FontInfo, Glyph, GlyphRun, Item, Options, Result, Stage, StageChange,
                          StageGlyph, StageGlyphs, whole_stages)

__all__ = ["Font", "Features", "FontFile", "read_font", "Result", "FontInfo", "Options", "Item", "Glyph", "GlyphRun",
           "Stage", "StageChange", "StageGlyph", "StageGlyphs", "SCHEMA", "SCHEMA_VERSION", "whole_stages", "TesvoError",
           "FontError", "OptionError", "ShapeError", "__version__"]
