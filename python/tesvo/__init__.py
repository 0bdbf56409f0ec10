"""tesvo: shape text with an OpenType font through the Uniscribe OpenType API of a backend
library, with structured results.

    >>> import tesvo
    >>> font = tesvo.Font("/usr/share/fonts/truetype/noto/NotoSans-Regular.ttf")
    >>> [g.id for g in font.shape("Wave", features="smcp").glyphs]
"""

from tesvo._engine import __version__  # the native module's, from pyproject.toml
from tesvo.errors import FontError, OptionError, ShapeError, TesvoError
from tesvo.font import Features, Font
from tesvo.result import SCHEMA, SCHEMA_VERSION, Glyph, Item, Result, Stage, StageGlyph

__all__ = ["Font", "Features", "Result", "Item", "Glyph", "Stage", "StageGlyph", "SCHEMA", "SCHEMA_VERSION",
           "TesvoError", "FontError", "OptionError", "ShapeError", "__version__"]
