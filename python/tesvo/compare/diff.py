"""What differs between two sides: two glyph runs compared glyph for glyph, two traces
lined up step by step and the first step where they part, and a port's result read as the
rows and steps that are compared."""

from __future__ import annotations

import difflib
from collections.abc import Sequence
from typing import Optional

from tesvo.compare.records import KINDS, Names, Parting, Position, Row, Step
from tesvo.result import Result


def difference(left: Sequence[Row], right: Sequence[Row]) -> tuple[Optional[int], tuple[str, ...]]:
    """Where two runs part (the first differing glyph) and what differs anywhere in them:
    glyph ids (a different count counts as that), clusters, advances, offsets."""
    if len(left) == len(right) and all(a == b for a, b in zip(left, right)):
        return None, ()
    first = next((i for i, (a, b) in enumerate(zip(left, right)) if a != b), min(len(left), len(right)))
    kinds = set()
    if len(left) != len(right):
        kinds.add("glyphs")
    for a, b in zip(left, right):
        if a == b:
            continue
        if a[0] != b[0]:
            kinds.add("glyphs")
        if a[1] != b[1]:
            kinds.add("clusters")
        if a[2] != b[2]:
            kinds.add("advances")
        if a[3] != b[3] or a[4] != b[4]:
            kinds.add("offsets")
    return first, tuple(k for k in KINDS if k in kinds)


def aligned_steps(left: Sequence[Step], right: Sequence[Step]) -> list[tuple[Optional[Step], Optional[Step]]]:
    """Both sides' steps lined up by name (a lookup by its table and index), in order; a
    step that only one side took stands alone. The versions of HarfBuzz on both sides may
    skip or name steps differently, so the lists are matched, not zipped."""
    matcher = difflib.SequenceMatcher(None, [s.key for s in left], [s.key for s in right], autojunk=False)
    pairs: list[tuple[Optional[Step], Optional[Step]]] = []
    for op, a0, a1, b0, b1 in matcher.get_opcodes():
        if op == "equal":
            pairs.extend(zip(left[a0:a1], right[b0:b1]))
            continue
        pairs.extend((step, None) for step in left[a0:a1])
        pairs.extend((None, step) for step in right[b0:b1])
    return pairs


def parting(left: Sequence[Step], right: Sequence[Step], left_name: Optional[Names] = None,
            right_name: Optional[Names] = None) -> Optional[Parting]:
    """The first step after which two sides differ: of the steps lined up by name, the first
    pair whose glyph ids differ or, in steps that position, whose positions differ."""
    for a, b in aligned_steps(left, right):
        if a is not None and b is not None:
            found = _step_parting(a, b, left_name, right_name)
            if found is not None:
                return found
    return None


def _step_parting(a: Step, b: Step, left_name: Optional[Names], right_name: Optional[Names]) -> Optional[Parting]:
    if a.ids != b.ids:
        k = next((i for i, (x, y) in enumerate(zip(a.ids, b.ids)) if x != y), min(len(a.ids), len(b.ids)))
        return Parting(a.item, a.name, "glyphs", k, _ids_from(a.ids, k, left_name), _ids_from(b.ids, k, right_name))
    if a.positions is None or b.positions is None or a.positions == b.positions:
        return None
    k = next(i for i, (x, y) in enumerate(zip(a.positions, b.positions)) if x != y)
    offsets = a.positions[k][1:] != b.positions[k][1:]
    return Parting(a.item, a.name, "positions", k, _position(a.positions[k], offsets),
                   _position(b.positions[k], offsets))


def _ids_from(ids: Sequence[int], k: int, name: Optional[Names]) -> str:
    """The glyphs from the first that differs on, a few of them, with their names."""
    shown = [f"{gid} {name(gid) or ''}".rstrip() if name else str(gid) for gid in ids[k:k + 3]]
    more = " ..." if len(ids) > k + 3 else ""
    return ", ".join(shown) + more if shown else "(no glyph)"


def _position(position: Position, offsets: bool) -> str:
    """A position as hb-shape writes it: +advance, and @x,y when there is or differs an offset."""
    advance, dx, dy = position
    return f"+{advance}@{dx},{dy}" if offsets or dx or dy else f"+{advance}"


def port_rows(result: Result) -> tuple[Row, ...]:
    """A port's glyphs as compared: x_offset and y_offset, HarfBuzz's convention."""
    return tuple((g.id, g.cluster, g.advance, g.x_offset, g.y_offset) for g in result.glyphs)


def port_steps(result: Result) -> tuple[Step, ...]:
    """The port's steps, each with its glyph ids, and with positions where it positions.
    Each is the step before it with the stage's change made (Stage.change): only the glyphs
    a stage changed are read from the result."""
    steps = []
    ids: list[int] = []  # the item's stage before, whole
    placed: list[Position] = []
    for s in result.stages or ():
        positioned = s.kind in ("position", "final")
        change = s.change
        if change is None:
            positions = None
            if positioned and all(g.advance is not None for g in s.glyphs):
                positions = tuple((g.advance or 0, g.x_offset or 0, g.y_offset or 0) for g in s.glyphs)
            steps.append(Step(s.item, s.name, s.ids, positions))
            continue
        if not steps or steps[-1].item != s.item:
            ids, placed = [], []
        ids[change.start:change.stop] = [g.id for g in change.glyphs]
        # A stage that does not position holds no positions: the backend's are 0 there.
        placed[change.start:change.stop] = [(g.advance or 0, g.x_offset or 0, g.y_offset or 0) for g in change.glyphs]
        steps.append(Step(s.item, s.name, tuple(ids), tuple(placed) if positioned else None))
    return tuple(steps)
