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


def alike_ids(left: PortNames, right: PortNames) -> Optional[bytes]:
    """Per glyph id, 1 where both fonts name it alike (or neither names it): an id that two
    runs share there is the same glyph when glyphs are compared by name. None where ids
    tell glyphs apart as names do: both fonts name every id alike, each name once."""
    alike = bytes(int(a == b) for a, b in zip(left.shown, right.shown))
    named = [name for name in left.shown if name]
    if len(left.shown) == len(right.shown) and all(alike) and len(set(named)) == len(named):
        return None
    return alike


# Each kind compared by columns, with the span of a run's columns it is told from (int32,
# one column after another: id, cluster, advance, du, dv, x_offset, y_offset, item).
_KIND_SPANS = (("glyphs", 0, 1), ("clusters", 1, 2), ("advances", 2, 3), ("offsets", 5, 7))


def glyph_columns(result: Result) -> Optional[memoryview]:
    """A port result's glyph columns as one int32 view, None for glyphs given otherwise."""
    run = result.glyphs
    return memoryview(run.columns).cast("i") if isinstance(run, GlyphRun) else None


def column_difference(a: memoryview, b: memoryview, n: int, alike: Optional[bytes], ignore: Collection[str]
                      ) -> Optional[tuple[Optional[int], tuple[str, ...]]]:
    """diff.difference() of two port results' glyph columns (glyph_columns), the left's of
    `n` glyphs: where they part and the kinds that differ, (None, ()) for the same glyphs.
    With `alike` (glyphs by name) only runs of the same ids, each named alike by both fonts,
    are told so. None where the glyphs must be compared one by one (by name, or runs of
    other lengths)."""
    if len(a) != len(b):
        return None
    if a[:3 * n] == b[:3 * n] and a[5 * n:7 * n] == b[5 * n:7 * n]:
        differ: list[tuple[str, int, int]] = []
    else:
        differ = [(kind, s, e) for kind, s, e in _KIND_SPANS if a[n * s:n * e] != b[n * s:n * e]]
    if alike is not None:
        if differ and differ[0][0] == "glyphs":
            return None  # other ids may be the same glyphs by name
        try:
            if not all(map(alike.__getitem__, a[:n])):
                return None
        except IndexError:
            return None
    differ = [span for span in differ if span[0] not in ignore]
    if not differ:
        return None, ()
    first = min(_first_unequal(a[n * c:n * (c + 1)], b[n * c:n * (c + 1)]) for _, s, e in differ for c in range(s, e))
    return first, tuple(kind for kind, _, _ in differ)


def _first_unequal(a: memoryview, b: memoryview) -> int:
    return next((k for k, (x, y) in enumerate(zip(a, b)) if x != y), len(a))


def column_rows(view: memoryview, n: int) -> tuple[Row, ...]:
    """A run's glyphs as compared rows (diff.port_rows), from its columns (glyph_columns)."""
    rows: tuple[Row, ...] = tuple(zip(view[:n], view[n:2 * n], view[2 * n:3 * n], view[5 * n:6 * n],
                                      view[6 * n:7 * n]))
    return rows
