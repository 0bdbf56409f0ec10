"""Glyph outlines, names and metrics of a font, and the names of its lookups, read with
fontTools for the reports. A font fontTools cannot read, or reads in part, still draws:
what cannot be read draws as boxes and nameless glyphs, never as an error."""

from __future__ import annotations

import io
from typing import Callable, Dict, Optional, Tuple, TypeVar

from fontTools.pens.boundsPen import BoundsPen
from fontTools.pens.svgPathPen import SVGPathPen
from fontTools.ttLib import TTFont

from tesvo.compare.fonts import debg_lookup_names

Bounds = Tuple[float, float, float, float]  # xMin, yMin, xMax, yMax in font units
T = TypeVar("T")


def _or(default: T, read: Callable[[], T]) -> T:
    """What `read` reads from the font, or `default` where the font is damaged: fontTools
    reports damage with many exception types."""
    try:
        return read()
    except Exception:
        return default


class FontArt:
    """The drawing side of one font: face `index` of a collection (the first by default, as
    the module shapes it), at its default instance or at `location` (design values by axis
    tag). Glyph ids outside the font draw as nothing. A font without
    outlines (colour bitmaps only, such as Noto Color Emoji) draws each glyph as a box with
    its id (`outlines` is False), and so does a font fontTools cannot read."""

    def __init__(self, data: bytes, index: int = 0, location: Optional[Dict[str, float]] = None) -> None:
        self._font = _or(None, lambda: TTFont(io.BytesIO(data), fontNumber=index, lazy=True))
        self._order: list[str] = _or([], lambda: list(self._font.getGlyphOrder())) if self._font else []
        try:
            # a variable font's outlines at the location it was shaped at
            self._glyphs = (self._font.getGlyphSet(location=location or None)
                            if self._font is not None and self._order else None)
        except Exception:  # no glyf, CFF or CFF2 table (TTLibError), or a damaged one
            self._glyphs = None
        self.outlines = self._glyphs is not None
        self._paths: Dict[int, str] = {}
        self._bounds: Dict[int, Optional[Bounds]] = {}
        self.upem = _or(2048, lambda: int(self._font["head"].unitsPerEm) if "head" in self._font else 2048)
        if not 16 <= self.upem <= 16384:
            self.upem = 2048
        self.ascender, self.descender = _or((round(self.upem * 0.8), -round(self.upem * 0.2)),
                                            self._vertical_metrics)

    def _vertical_metrics(self) -> Tuple[int, int]:
        if "hhea" in self._font and self._font["hhea"].ascent > self._font["hhea"].descent:
            return int(self._font["hhea"].ascent), int(self._font["hhea"].descent)
        if "OS/2" in self._font:
            os2 = self._font["OS/2"]
            if os2.sTypoAscender > os2.sTypoDescender:
                return int(os2.sTypoAscender), int(os2.sTypoDescender)
        return round(self.upem * 0.8), -round(self.upem * 0.2)

    def name(self, gid: int) -> str:
        return self._order[gid] if 0 <= gid < len(self._order) else f"gid{gid}"

    def lookup_names(self) -> Dict[Tuple[str, int], str]:
        """("GSUB" or "GPOS", lookup index) to the lookup's name in the font's Debg table."""
        return debg_lookup_names(self._font) if self._font is not None else {}

    def exists(self, gid: int) -> bool:
        return 0 <= gid < len(self._order)

    def advance(self, gid: int) -> int:
        if not self.exists(gid):
            return self.upem // 2 if not self._order else 0
        if self._glyphs is None:
            return _or(self.upem, lambda: int(self._font["hmtx"].metrics[self._order[gid]][0]))
        glyphs = self._glyphs
        return _or(0, lambda: int(glyphs[self._order[gid]].width))

    def path(self, gid: int) -> str:
        """The outline as SVG path data, in font units with y pointing up."""
        if gid not in self._paths:
            self._paths[gid] = self._draw(gid)
        return self._paths[gid]

    def bounds(self, gid: int) -> Optional[Bounds]:
        """The outline's bounding box, or None for an empty glyph."""
        if gid not in self._bounds:
            self._bounds[gid] = self._measure(gid)
        return self._bounds[gid]

    def _draw(self, gid: int) -> str:
        if not self.exists(gid) or self._glyphs is None:
            return ""
        pen = SVGPathPen(self._glyphs, ntos=lambda v: f"{v:.6g}")
        try:
            self._glyphs[self._order[gid]].draw(pen)
        except Exception:  # a broken outline draws as nothing rather than ending the report
            return ""
        return str(pen.getCommands())

    def _measure(self, gid: int) -> Optional[Bounds]:
        if self._order and not self.exists(gid):
            return None
        if self._glyphs is None:  # the box drawn in place of the glyph
            return 0.0, float(self.descender), float(max(self.advance(gid), 1)), float(self.ascender)
        pen = BoundsPen(self._glyphs)
        try:
            self._glyphs[self._order[gid]].draw(pen)
        except Exception:
            return None
        if pen.bounds is None:
            return None
        x_min, y_min, x_max, y_max = pen.bounds
        return float(x_min), float(y_min), float(x_max), float(y_max)
