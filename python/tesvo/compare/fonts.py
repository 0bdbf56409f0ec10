"""What a comparison reads of each side's font beside shaping it, with fontTools: which
layout tables it has, its lookups' names in a Debg table, and what a glyph draws (to tell a
renamed glyph from another glyph). A font fontTools cannot read, or reads in part, costs
what cannot be read, never the comparison."""

from __future__ import annotations

import io
import re
from typing import Any, Optional

LAYOUT_TABLES = ("GSUB", "GPOS", "kern")
# A step that a lookup made, as the bundled port and the HarfBuzz side name it.
LOOKUP_STEP = re.compile(r"(?P<table>GSUB|GPOS) lookup (?P<index>\d+)\b")

# A glyph's drawing as compared: its advance and its outline's pen calls (components by name).
Drawing = tuple[int, tuple[Any, ...]]


def debg_lookup_names(font: Any) -> dict[tuple[str, int], str]:
    """("GSUB" or "GPOS", lookup index) to the lookup's name in the feature file the font
    was built from, as feaLib keeps it in the Debg table (fontmake writes one); empty when
    the font (a fontTools TTFont) has no such table or it cannot be read."""
    from fontTools.feaLib.lookupDebugInfo import LOOKUP_DEBUG_INFO_KEY

    try:
        if "Debg" not in font:
            return {}
        tables = font["Debg"].data.get(LOOKUP_DEBUG_INFO_KEY, {})
        names = {}
        for table, lookups in tables.items():
            for index, info in lookups.items():
                # Each entry is [location, name, feature]; the name may be empty.
                if isinstance(info, (list, tuple)) and len(info) > 1 and info[1]:
                    names[(str(table), int(index))] = str(info[1])
        return names
    except Exception:  # a broken debug table only costs the names
        return {}


class FontFacts:
    """Face `index` of a font's bytes as fontTools reads it, lazily (fontTools is imported
    only when a comparison is made)."""

    def __init__(self, data: bytes, index: int = 0) -> None:
        from fontTools.ttLib import TTFont

        try:
            self._font: Any = TTFont(io.BytesIO(data), fontNumber=index, lazy=True)
        except Exception:  # fontTools reports damage with many exception types
            self._font = None
        self.tables = frozenset(t for t in LAYOUT_TABLES if self._font is not None and t in self._font)
        self._lookups: Optional[dict[tuple[str, int], str]] = None
        self._drawings: dict[int, Optional[Drawing]] = {}
        self._glyphs: Any = None

    def lookup_name(self, step: str) -> Optional[str]:
        """The Debg name of the lookup that made a step ("GSUB lookup 3 'akhn'"), if any."""
        m = LOOKUP_STEP.match(step)
        if m is None or self._font is None:
            return None
        if self._lookups is None:
            self._lookups = debg_lookup_names(self._font)
        return self._lookups.get((m["table"], int(m["index"])))

    def drawing(self, gid: int) -> Optional[Drawing]:
        """What the glyph draws at the default instance, or None where it cannot be read."""
        if gid not in self._drawings:
            self._drawings[gid] = self._draw(gid)
        return self._drawings[gid]

    def _draw(self, gid: int) -> Optional[Drawing]:
        if self._font is None:
            return None
        from fontTools.pens.recordingPen import RecordingPen

        try:
            if self._glyphs is None:
                self._glyphs = self._font.getGlyphSet()
            order = self._font.getGlyphOrder()
            if not 0 <= gid < len(order):
                return None
            glyph = self._glyphs[order[gid]]
            pen = RecordingPen()
            glyph.draw(pen)
            return int(glyph.width), tuple(pen.value)
        except Exception:
            return None
