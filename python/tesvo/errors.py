"""The errors of the tesvo package."""

from __future__ import annotations

from typing import Optional

__all__ = ["TesvoError", "FontError", "OptionError", "ShapeError"]


class TesvoError(Exception):
    """Base of every error the package raises or yields."""


class FontError(TesvoError):
    """The font cannot be used: unreadable, not a font, a face index out of range, or a
    backend library that cannot be loaded or refuses the font. `message` is the engine's or
    the backend's own; `hint`, where one can be found, says what it most likely means (the
    command prints it on a line of its own), and str() gives both."""

    def __init__(self, message: str) -> None:
        self.message = message
        self.hint = hint(message)
        super().__init__(f"{message} (hint: {self.hint})" if self.hint else message)


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


# What the bundled backend's usp_set_font_bytes codes most likely mean for a user's file.
FONT_CODE_HINTS = {
    1: "the font file is empty?",
    2: "not an OpenType or TrueType font or collection?",
    3: "the font has no glyphs?",
    4: "not enough memory for a copy of the font?",
}


def hint(message: str) -> Optional[str]:
    """One line that helps with a module message, or None. The message itself is left as the
    module wrote it; the hint only adds what the command can find out."""
    if message.startswith("usp_set_font_bytes failed (rc="):
        code = message[len("usp_set_font_bytes failed (rc="):].rstrip(")")
        if code.isdigit() and int(code) in FONT_CODE_HINTS:
            return f"{FONT_CODE_HINTS[int(code)]} (code {code} as the bundled backend uses it)"
        return None
    if message.startswith("dlopen(") and ") failed" in message:
        return _loader_error(message[len("dlopen("):message.rindex(") failed")])
    if message == "ScriptShapeOpenType: glyph buffer overflow":
        # Longer runs are cut into pieces, so this is a backend that made more than 65,535
        # glyphs of a piece that cannot be cut any further.
        return ("one Uniscribe item holds at most 65,535 glyphs, and the backend made more than that "
                "of a single character")
    if message.endswith(" missing in module"):
        return ("the backend library does not export the Uniscribe OpenType entry points; "
                "is it a Uniscribe port?")
    return None


def _loader_error(path: str) -> Optional[str]:
    """The dynamic loader's own reason for refusing a library."""
    import ctypes

    try:
        ctypes.CDLL(path)
    except OSError as e:
        return str(e) or None
    return None
