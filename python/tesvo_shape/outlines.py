"""Glyph outlines, names and metrics of a font, read with fontTools for the trace report."""

from __future__ import annotations

import io
from typing import Dict, Optional, Tuple

from fontTools.pens.boundsPen import BoundsPen
from fontTools.pens.svgPathPen import SVGPathPen
from fontTools.ttLib import TTFont, TTLibError

Bounds = Tuple[float, float, float, float]  # xMin, yMin, xMax, yMax in font units


class FontArt:
    """The drawing side of one font: face `index` of a collection (the first by default, as
    the module shapes it), at its default instance. Glyph ids outside the font draw as nothing. A font without
    outlines (colour bitmaps only, such as Noto Color Emoji) draws each glyph as a box with
    its id (`outlines` is False)."""

    def __init__(self, data: bytes, index: int = 0) -> None:
        self._font = TTFont(io.BytesIO(data), fontNumber=index, lazy=True)
        self._order = self._font.getGlyphOrder()
        try:
            self._glyphs = self._font.getGlyphSet()
        except TTLibError:  # no glyf, CFF or CFF2 table
            self._glyphs = None
        self.outlines = self._glyphs is not None
        self._paths: Dict[int, str] = {}
        self._bounds: Dict[int, Optional[Bounds]] = {}
        self.upem = int(self._font["head"].unitsPerEm) if "head" in self._font else 2048
        self.ascender, self.descender = self._vertical_metrics()

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

    def exists(self, gid: int) -> bool:
        return 0 <= gid < len(self._order)

    def advance(self, gid: int) -> int:
        if not self.exists(gid):
            return 0
        if self._glyphs is None:
            metrics = self._font["hmtx"].metrics if "hmtx" in self._font else {}
            return int(metrics.get(self._order[gid], (self.upem, 0))[0])
        return int(self._glyphs[self._order[gid]].width)

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
        if not self.exists(gid):
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
