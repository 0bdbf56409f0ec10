"""What a Uniscribe implementation gives its caller beyond glyphs and positions, as the
backend returned it for a shaped text: each item's SCRIPT_ANALYSIS (with its SCRIPT_STATE)
and ABC widths, each glyph's SCRIPT_VISATTR, each character's log cluster and
SCRIPT_CHARPROP, and, where asked for, each character's SCRIPT_LOGATTR from ScriptBreak.

The engine hands the records over as they came (a few bytes a glyph, copied once); the
columns are unpacked into int32 memoryviews, like Result's own, the first time one is read.
"""

from __future__ import annotations

import array
import bisect
from typing import NamedTuple, Optional

import tesvo._engine as _engine

__all__ = ["Analysis", "ABCWidths", "Break", "GlyphProps", "UniscribeOutputs", "JUSTIFICATION"]

# SCRIPT_JUSTIFY, by value, as Microsoft's documentation names its members (the engine's table).
JUSTIFICATION: tuple[str, ...] = _engine.JUSTIFICATION_NAMES


class Analysis(NamedTuple):
    """An item's SCRIPT_ANALYSIS as the backend's itemizer returned it, with its SCRIPT_STATE
    (`bidi_level` to `gcp_clusters`): eScript, fRTL, fLayoutRTL, fLinkBefore, fLinkAfter,
    fLogicalOrder, fNoGlyphIndex; uBidiLevel, fOverrideDirection, fInhibitSymSwap, fCharShape,
    fDigitSubstitute, fInhibitLigate, fDisplayZWG, fArabicNumContext, fGcpClusters."""

    script: int
    rtl: bool
    layout_rtl: bool
    link_before: bool
    link_after: bool
    logical_order: bool
    no_glyph_index: bool
    bidi_level: int
    override_direction: bool
    inhibit_sym_swap: bool
    char_shape: bool
    digit_substitute: bool
    inhibit_ligate: bool
    display_zwg: bool
    arabic_num_context: bool
    gcp_clusters: bool


def _item_analysis(item: _engine.Item) -> Optional[Analysis]:
    """The item's SCRIPT_ANALYSIS and SCRIPT_STATE as the backend's itemizer returned them;
    None for an item made otherwise than by shaping."""
    bits = item._analysis
    if bits is None:
        return None
    v = _engine.analysis_fields(bits)
    return Analysis._make([v[0], *map(bool, v[1:7]), v[7], *map(bool, v[8:16])])


# Item is the engine's record type; its analysis is read from the four bytes it keeps.
setattr(_engine.Item, "analysis", property(_item_analysis, doc=_item_analysis.__doc__))


class Break(NamedTuple):
    """One UTF-16 code unit's SCRIPT_LOGATTR from ScriptBreak: a line may break before it
    (`soft_break`), it is breakable white space, a caret may stand before it (`char_stop`),
    a word starts at it (`word_stop`), it is an invalid sequence."""

    soft_break: bool
    whitespace: bool
    char_stop: bool
    word_stop: bool
    invalid: bool


class ABCWidths(NamedTuple):
    """An item's ABC widths from ScriptPlaceOpenType, in font units: `a` before the ink of
    its first glyph, `b` the ink's width, `c` after the ink of its last."""

    a: int
    b: int
    c: int

    @property
    def total(self) -> int:
        return self.a + self.b + self.c


class GlyphProps(NamedTuple):
    """One glyph's SCRIPT_VISATTR: its justification class (SCRIPT_JUSTIFY, by value and by
    name), whether it starts its cluster, is a diacritic, has no width."""

    justification: int
    justification_name: str
    cluster_start: bool
    diacritic: bool
    zero_width: bool


_GLYPH_COLUMNS = 4
_CHAR_COLUMNS = 7
_ITEM_COLUMNS = 19
Raw = tuple[bytes, bytes, bytes, bytes, Optional[bytes], bool]


class UniscribeOutputs:
    """The backend's Uniscribe outputs of one shaped text (`Result.uniscribe`). Glyph columns
    follow `Result.glyphs` (item by item, a right-to-left item in visual order); character
    columns follow the text's UTF-16 code units, as the backend returned them (`unit_of`
    gives a str index's first unit). A log cluster is the index, into its item's glyphs in
    the backend's logical order, that ScriptShapeOpenType returned for the code unit."""

    __slots__ = ("_raw", "_text", "_items", "_glyphs", "_chars", "_breaks", "_starts")

    def __init__(self, raw: Raw, text: str) -> None:
        self._raw = raw
        self._text = text
        self._items: Optional[memoryview] = None
        self._glyphs: Optional[memoryview] = None
        self._chars: Optional[memoryview] = None
        self._breaks: Optional[tuple[Break, ...]] = None
        self._starts: Optional[array.array[int]] = None

    def __reduce__(self) -> tuple[type, tuple[Raw, str]]:
        return UniscribeOutputs, (self._raw, self._text)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, UniscribeOutputs) and (self._raw, self._text) == (other._raw, other._text)

    def __hash__(self) -> int:
        return hash(self._raw)

    def __repr__(self) -> str:
        return f"UniscribeOutputs({len(self.abc)} items, {len(self.justification)} glyphs)"

    @property
    def raw(self) -> Raw:
        """The records as the backend returned them: items (SCRIPT_ANALYSIS and ABC, 16 bytes
        each), SCRIPT_GLYPHPROP per glyph, log clusters and SCRIPT_CHARPROP per UTF-16 code
        unit, SCRIPT_LOGATTR per code unit or None, whether the ABC widths were asked for."""
        return self._raw

    def _item_column(self, k: int) -> memoryview:
        if self._items is None:
            self._items = memoryview(_engine.unpack_items(self._raw[0])).cast("i")
        n = len(self._items) // _ITEM_COLUMNS
        return self._items[n * k:n * (k + 1)]

    def _glyph_column(self, k: int) -> memoryview:
        if self._glyphs is None:
            self._glyphs = memoryview(_engine.unpack_glyphs(self._raw[1])).cast("i")
        n = len(self._glyphs) // _GLYPH_COLUMNS
        return self._glyphs[n * k:n * (k + 1)]

    def _char_column(self, k: int) -> memoryview:
        if self._chars is None:
            self._chars = memoryview(_engine.unpack_chars(self._raw[2], self._raw[3], self._raw[4])).cast("i")
        n = len(self._chars) // _CHAR_COLUMNS
        return self._chars[n * k:n * (k + 1)]

    def _unit_starts(self) -> Optional[array.array[int]]:
        """Each character's first UTF-16 code unit and then the text's length in units, made
        once; None while every character is one unit (a str index is then its unit)."""
        if self._starts is None and len(self._raw[2]) // 2 != len(self._text):
            starts = array.array("q", [0])
            for ch in self._text:
                starts.append(starts[-1] + (2 if ord(ch) > 0xFFFF else 1))
            self._starts = starts
        return self._starts

    def unit_of(self, index: int) -> int:
        """The first UTF-16 code unit of the character at str index `index` (the text's length
        for its end)."""
        starts = self._unit_starts()
        return index if starts is None else starts[index]

    def char_of(self, unit: int) -> int:
        """The str index of the character UTF-16 code unit `unit` belongs to."""
        starts = self._unit_starts()
        if starts is None:
            return min(unit, len(self._text))
        return min(bisect.bisect_right(starts, unit) - 1, len(self._text))

    @property
    def analyses(self) -> tuple[Analysis, ...]:
        """Per item, its SCRIPT_ANALYSIS and SCRIPT_STATE."""
        columns = [self._item_column(k) for k in range(16)]
        return tuple(Analysis._make([v[0], *map(bool, v[1:7]), v[7], *map(bool, v[8:16])]) for v in zip(*columns))

    @property
    def has_widths(self) -> bool:
        """Whether the ABC widths were asked for (extras=True or trace=True)."""
        return bool(self._raw[5])

    @property
    def abc(self) -> tuple[ABCWidths, ...]:
        """Per item, its ABC widths; empty unless they were asked for."""
        if not self.has_widths:
            return ()
        return tuple(ABCWidths(a, b, c) for a, b, c in zip(*(self._item_column(k) for k in (16, 17, 18))))

    @property
    def justification(self) -> memoryview:
        """Per glyph, its SCRIPT_JUSTIFY value (JUSTIFICATION names them)."""
        return self._glyph_column(0)

    @property
    def cluster_start(self) -> memoryview:
        return self._glyph_column(1)

    @property
    def diacritic(self) -> memoryview:
        return self._glyph_column(2)

    @property
    def zero_width(self) -> memoryview:
        return self._glyph_column(3)

    def glyph(self, k: int) -> GlyphProps:
        """Glyph k's properties as one record."""
        value = self.justification[k]
        name = JUSTIFICATION[value] if 0 <= value < len(JUSTIFICATION) else f"SCRIPT_JUSTIFY_{value}"
        return GlyphProps(value, name, bool(self.cluster_start[k]), bool(self.diacritic[k]), bool(self.zero_width[k]))

    @property
    def log_clusters(self) -> memoryview:
        """Per UTF-16 code unit, the log cluster the backend returned."""
        return self._char_column(0)

    @property
    def can_glyph_alone(self) -> memoryview:
        return self._char_column(1)

    @property
    def has_breaks(self) -> bool:
        """Whether ScriptBreak's attributes were asked for (extras=True or trace=True) and the
        backend has ScriptBreak."""
        return self._raw[4] is not None

    def _break_column(self, k: int) -> Optional[memoryview]:
        return self._char_column(k) if self.has_breaks else None

    @property
    def soft_break(self) -> Optional[memoryview]:
        """Per code unit, fSoftBreak (a line may break before it); None without breaks."""
        return self._break_column(2)

    @property
    def whitespace(self) -> Optional[memoryview]:
        return self._break_column(3)

    @property
    def char_stop(self) -> Optional[memoryview]:
        """Per code unit, fCharStop (a caret may stand before it)."""
        return self._break_column(4)

    @property
    def word_stop(self) -> Optional[memoryview]:
        return self._break_column(5)

    @property
    def invalid(self) -> Optional[memoryview]:
        return self._break_column(6)

    @property
    def breaks(self) -> Optional[tuple[Break, ...]]:
        """Per UTF-16 code unit, its SCRIPT_LOGATTR as one record; None without breaks."""
        if not self.has_breaks:
            return None
        if self._breaks is None:
            columns = [self._char_column(k) for k in range(2, 7)]
            self._breaks = tuple(Break(*map(bool, row)) for row in zip(*columns))
        return self._breaks
