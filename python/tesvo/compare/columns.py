"""Two port results compared by their glyph columns (Result.glyph_ids, clusters, advances,
x_offsets, y_offsets: int32 in one buffer) before any glyph is read as a record: a line
whose columns are equal byte for byte, and whose glyph ids both fonts name alike, is the
same line, and only a line that differs is compared glyph for glyph (diff.difference).

`PortNames` holds what a port side's font calls each glyph id, read once, so that the names
of a run are a lookup per glyph in one tuple, not a call per glyph."""

from __future__ import annotations

from collections.abc import Collection, Sequence
from typing import Optional

from tesvo.compare.records import Row
from tesvo.result import GlyphRun, Result

class PortNames:
    """A port side's glyph names by id: "" where the font gives none ("gid<N>")."""

    def __init__(self, names: Sequence[str]) -> None:
        self.shown = tuple("" if name == f"gid{gid}" else name for gid, name in enumerate(names))

    def of(self, ids: Sequence[int]) -> Optional[tuple[str, ...]]:
        """The names of a run's glyphs ("" for one without), None where none has a name."""
        try:
            names = tuple(map(self.shown.__getitem__, ids))
        except IndexError:  # an id outside the font has no name
            shown, count = self.shown, len(self.shown)
            names = tuple(shown[gid] if 0 <= gid < count else "" for gid in ids)
        return names if any(names) else None


def alike_ids(left: PortNames, right: PortNames) -> bytes:
    """Per glyph id, 1 where both fonts name it alike (or neither names it): an id that two
    runs share there is the same glyph when glyphs are compared by name."""
    return bytes(int(a == b) for a, b in zip(left.shown, right.shown))


# Each kind compared by columns, with the columns (of a GlyphRun's, int32, one column after
# another: id, cluster, advance, du, dv, x_offset, y_offset, item) it is told from.
_KIND_COLUMNS = (("glyphs", (0,)), ("clusters", (1,)), ("advances", (2,)), ("offsets", (5, 6)))


def column_difference(left: Result, right: Result, alike: Optional[bytes], ignore: Collection[str]
                      ) -> Optional[tuple[Optional[int], tuple[str, ...]]]:
    """diff.difference() of two port results of as many glyphs, told from their columns:
    where they part and the kinds that differ, (None, ()) for the same glyphs. With `alike`
    (glyphs by name) only runs of the same ids, each named alike by both fonts, are told so.
    None where the glyphs must be compared one by one (by name, or runs of other lengths)."""
    a, b = left.glyphs, right.glyphs
    if not isinstance(a, GlyphRun) or not isinstance(b, GlyphRun) or len(a) != len(b):
        return None
    n = len(a)
    cols_a, cols_b = a.columns, b.columns
    width = 4 * n
    differ = [(kind, columns) for kind, columns in _KIND_COLUMNS
              if any(cols_a[width * c:width * (c + 1)] != cols_b[width * c:width * (c + 1)] for c in columns)]
    if alike is not None:
        if differ and differ[0][0] == "glyphs":
            return None  # other ids may be the same glyphs by name
        try:
            if not all(map(alike.__getitem__, left.glyph_ids)):
                return None
        except IndexError:
            return None
    differ = [(kind, columns) for kind, columns in differ if kind not in ignore]
    if not differ:
        return None, ()
    view_a, view_b = memoryview(cols_a).cast("i"), memoryview(cols_b).cast("i")
    first = min(_first_unequal(view_a[n * c:n * (c + 1)], view_b[n * c:n * (c + 1)])
                for _, columns in differ for c in columns)
    return first, tuple(kind for kind, _ in differ)


def _first_unequal(a: memoryview, b: memoryview) -> int:
    return next((k for k, (x, y) in enumerate(zip(a, b)) if x != y), len(a))


def column_rows(result: Result) -> tuple[Row, ...]:
    """The result's glyphs as compared rows (diff.port_rows), read from its columns."""
    rows: tuple[Row, ...] = tuple(zip(result.glyph_ids, result.clusters, result.advances, result.x_offsets,
                                      result.y_offsets))
    return rows
