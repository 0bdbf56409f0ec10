"""What differs between two sides: two glyph runs compared glyph for glyph, two traces
lined up step by step and the first step where they part, and a port's result read as the
rows and steps that are compared."""

from __future__ import annotations

import difflib
from collections.abc import Collection, Sequence
from typing import NamedTuple, Optional, Union

from tesvo.compare.records import KINDS, Names, Parting, Position, PropsDifference, Row, Step

# A glyph as compared: its id, or its name where glyphs are compared by name.
GlyphKey = Union[int, str]
from tesvo.result import Result
from tesvo.uniscribe import UniscribeOutputs


def difference(left: Sequence[Row], right: Sequence[Row], *, ignore: Collection[str] = (),
               glyph_keys: Optional[tuple[Sequence[GlyphKey], Sequence[GlyphKey]]] = None
               ) -> tuple[Optional[int], tuple[str, ...]]:
    """Where two runs part (the first glyph that differs in what is not ignored) and what
    differs anywhere in them: glyphs (a different count counts as that), clusters, advances,
    offsets. `glyph_keys` gives each side's glyphs as compared (their names), in place of
    the ids; a kind in `ignore` is neither reported nor looked at."""
    keys = glyph_keys or ([row[0] for row in left], [row[0] for row in right])
    kinds = set()
    first = None
    if len(left) != len(right):
        kinds.add("glyphs")
        first = min(len(left), len(right))
    for k, (a, b) in enumerate(zip(left, right)):
        found = _row_kinds(a, b, keys[0][k], keys[1][k]) - set(ignore)
        if found and (first is None or k < first):
            first = k
        kinds |= found
    kinds -= set(ignore)
    if not kinds:
        return None, ()
    return first, tuple(k for k in KINDS if k in kinds)


def _row_kinds(a: Row, b: Row, key_a: GlyphKey, key_b: GlyphKey) -> set[str]:
    kinds = set()
    if key_a != key_b:
        kinds.add("glyphs")
    if a[1] != b[1]:
        kinds.add("clusters")
    if a[2] != b[2]:
        kinds.add("advances")
    if a[3] != b[3] or a[4] != b[4]:
        kinds.add("offsets")
    return kinds


def _keyed(steps: Sequence[Step]) -> list[tuple[int, str, int]]:
    """Each step as what it is: its item, its table and lookup index or its phase's name,
    and how many times before the same step ran in that item (a lookup in two stages)."""
    seen: dict[tuple[int, str], int] = {}
    keys = []
    for step in steps:
        item, name = step.key
        count = seen.get((item, name), 0)
        seen[(item, name)] = count + 1
        keys.append((item, name, count))
    return keys


def aligned_steps(left: Sequence[Step], right: Sequence[Step]) -> list[tuple[Optional[Step], Optional[Step]]]:
    """Both sides' steps lined up by what they are (a lookup by its table and index, a phase
    by its name), in order; a step that only one side took stands alone, where it ran. The
    sides may have run other lookups (a lookup dropped from a feature, a glyph taken out of
    a coverage that HarfBuzz then skips), so the lists are matched, not zipped."""
    matcher = difflib.SequenceMatcher(None, _keyed(left), _keyed(right), autojunk=False)
    pairs: list[tuple[Optional[Step], Optional[Step]]] = []
    for op, a0, a1, b0, b1 in matcher.get_opcodes():
        if op == "equal":
            pairs.extend(zip(left[a0:a1], right[b0:b1]))
            continue
        pairs.extend((step, None) for step in left[a0:a1])
        pairs.extend((None, step) for step in right[b0:b1])
    return pairs


class _Held:
    """What each side holds in each item after the steps walked so far: its last step."""

    def __init__(self) -> None:
        self.steps: dict[int, list[Optional[Step]]] = {}

    def take(self, a: Optional[Step], b: Optional[Step]) -> tuple[Optional[Step], Optional[Step]]:
        item = a.item if a is not None else b.item if b is not None else 0
        held = self.steps.setdefault(item, [None, None])
        held[0] = a or held[0]
        held[1] = b or held[1]
        return held[0], held[1]

    def copy(self) -> _Held:
        other = _Held()
        other.steps = {item: list(held) for item, held in self.steps.items()}
        return other


class _Rules(NamedTuple):
    """How two steps' glyphs are compared: by id or by the side's keys, what is ignored."""

    keys: tuple[Optional[Names], Optional[Names]]
    names: tuple[Optional[Names], Optional[Names]]
    ignore: frozenset[str]


def parting(left: Sequence[Step], right: Sequence[Step], left_name: Optional[Names] = None,
            right_name: Optional[Names] = None, *, by_names: bool = False,
            ignore: Collection[str] = ()) -> Optional[Parting]:
    """The first step after which two sides differ: of the steps lined up by what they are,
    the first after which the sides hold other glyphs or, in steps that position, other
    positions. A step that ran on one side only is that step when it is where they part
    (`Parting.side` "left only" or "right only"). `by_names`: glyphs are compared by their
    names (an id the font does not name by the id); kinds in `ignore` are not looked at."""
    found = parting_row(aligned_steps(left, right), left_name, right_name, by_names=by_names, ignore=ignore)
    return found[1] if found is not None else None


def parting_row(pairs: Sequence[tuple[Optional[Step], Optional[Step]]], left_name: Optional[Names] = None,
                right_name: Optional[Names] = None, *, by_names: bool = False,
                ignore: Collection[str] = ()) -> Optional[tuple[int, Parting]]:
    """parting() on steps already lined up, with the index of the pair it names. Steps that
    ran on one side only are judged together, a run of them at a time: two lookups that one
    side numbers otherwise but that do the same leave the sides alike."""
    keys = (left_name, right_name) if by_names else (None, None)
    rules = _Rules(keys, (left_name, right_name), frozenset(ignore))
    held = _Held()
    k = 0
    while k < len(pairs):
        a, b = pairs[k]
        if a is not None and b is not None:
            found = _held_parting(*held.take(a, b), rules)
            if found is not None:
                return k, found._replace(step=a.name)
            k += 1
            continue
        end = next((j for j in range(k, len(pairs)) if None not in pairs[j]), len(pairs))
        found_in = _lone_parting(pairs, k, end, held, rules)
        if found_in is not None:
            return found_in
        k = end
    return None


def _lone_parting(pairs: Sequence[tuple[Optional[Step], Optional[Step]]], start: int, end: int, held: _Held,
                  rules: _Rules) -> Optional[tuple[int, Parting]]:
    """The step of a run of one-sided steps after which the sides part, when they still
    differ at the run's end; `held` is moved past the run."""
    before = held.copy()
    for a, b in pairs[start:end]:
        held.take(a, b)
    if all(_held_parting(pair[0], pair[1], rules) is None for pair in held.steps.values()):
        return None
    for k in range(start, end):
        a, b = pairs[k]
        found = _held_parting(*before.take(a, b), rules)
        if found is not None:
            step = a or b
            assert step is not None
            return k, found._replace(step=step.name, side="left only" if a is not None else "right only")
    return None


def _held_parting(a: Optional[Step], b: Optional[Step], rules: _Rules) -> Optional[Parting]:
    if a is None or b is None:
        return None
    left_name, right_name = rules.names
    if "glyphs" not in rules.ignore:
        ids_a, ids_b = _glyph_keys(a.ids, rules.keys[0]), _glyph_keys(b.ids, rules.keys[1])
        if ids_a != ids_b:
            k = next((i for i, (x, y) in enumerate(zip(ids_a, ids_b)) if x != y), min(len(ids_a), len(ids_b)))
            return Parting(a.item, a.name, "glyphs", k, _ids_from(a.ids, k, left_name),
                           _ids_from(b.ids, k, right_name))
    if a.positions is None or b.positions is None or len(a.positions) != len(b.positions):
        return None
    compared = zip(_shown(a.positions, rules.ignore), _shown(b.positions, rules.ignore))
    moved = next((i for i, (x, y) in enumerate(compared) if x != y), None)
    if moved is None:
        return None
    k = moved
    offsets = a.positions[k][1:] != b.positions[k][1:]
    return Parting(a.item, a.name, "positions", k, _position(a.positions[k], offsets),
                   _position(b.positions[k], offsets))


def _glyph_keys(ids: Sequence[int], name: Optional[Names]) -> list[GlyphKey]:
    if name is None:
        return list(ids)
    return [name(gid) or gid for gid in ids]


def _shown(positions: Sequence[Position], ignore: frozenset[str]) -> list[tuple[int, ...]]:
    """Positions with what is ignored left out: the advance, the offsets."""
    advance = "advances" not in ignore
    offsets = "offsets" not in ignore
    return [(p[0],) * advance + p[1:] * offsets for p in positions]


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
            steps.append(Step(s.item, s.name, s.ids, positions, s.nested))
            continue
        if not steps or steps[-1].item != s.item:
            ids, placed = [], []
        ids[change.start:change.stop] = [g.id for g in change.glyphs]
        # A stage that does not position holds no positions: the backend's are 0 there.
        placed[change.start:change.stop] = [(g.advance or 0, g.x_offset or 0, g.y_offset or 0) for g in change.glyphs]
        steps.append(Step(s.item, s.name, tuple(ids), tuple(placed) if positioned else None, s.nested))
    return tuple(steps)


def _glyph_words(outputs: UniscribeOutputs, k: int) -> str:
    g = outputs.glyph(k)
    flags = [name for name, on in (("cluster start", g.cluster_start), ("diacritic", g.diacritic),
                                   ("zero width", g.zero_width)) if on]
    return " ".join([g.justification_name, *flags])


def props_difference(left: Result, right: Result) -> Optional[PropsDifference]:
    """Where two results' Uniscribe outputs first differ: an item's analysis, a glyph's
    properties (where both have as many glyphs), a character's log cluster or
    fCanGlyphAlone; None where they agree or a side has none."""
    a, b = left.uniscribe, right.uniscribe
    if a is None or b is None:
        return None
    for k, (one, other) in enumerate(zip(a.analyses, b.analyses)):
        if one != other:
            differ = [f for f in one._fields if getattr(one, f) != getattr(other, f)]
            return PropsDifference("item", k, ", ".join(f"{f} {getattr(one, f)}" for f in differ),
                                   ", ".join(f"{f} {getattr(other, f)}" for f in differ))
    if len(a.justification) == len(b.justification):
        columns = [(a.justification, b.justification), (a.cluster_start, b.cluster_start),
                   (a.diacritic, b.diacritic), (a.zero_width, b.zero_width)]
        for k in range(len(a.justification)):
            if any(x[k] != y[k] for x, y in columns):
                return PropsDifference("glyph", k, _glyph_words(a, k), _glyph_words(b, k))
    for u, (x, y, p, q) in enumerate(zip(a.log_clusters, b.log_clusters, a.can_glyph_alone, b.can_glyph_alone)):
        if (x, p) != (y, q):
            return PropsDifference("char", a.char_of(u), f"log cluster {x}" + (", can glyph alone" if p else ""),
                                   f"log cluster {y}" + (", can glyph alone" if q else ""))
    return None
