"""The errors of the tesvo package."""

from __future__ import annotations

__all__ = ["TesvoError", "FontError", "OptionError", "ShapeError"]


class TesvoError(Exception):
    """Base of every error the package raises or yields."""


class FontError(TesvoError):
    """The font cannot be used: unreadable, not a font, a face index out of range, or a
    backend library that cannot be loaded or refuses the font."""


class OptionError(TesvoError, ValueError):
    """A shaping option is wrong (a feature list, a tag, a direction), or the backend
    cannot apply it. Nothing was shaped."""


class ShapeError(TesvoError):
    """One text could not be shaped. `shape` raises it; `shape_many` yields it in the
    text's place and goes on with the next text."""

    def __init__(self, message: str, text: object = None, index: int | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.text = text
        self.index = index
