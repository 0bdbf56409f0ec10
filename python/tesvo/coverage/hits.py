"""What a traced result says about the lookups: which ran on a line and which changed its run,
and, inferred, which subtable did.

The trace names each GSUB and GPOS step "GSUB lookup N 'tag'" (compare's LOOKUP_STEP); a
step that ran without changing anything replaces nothing by nothing (Stage.change). The
bundled backend reports every lookup of the shaping plan, so a lookup that ran unchanged was
applied with these options but found nothing to do."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from typing import NamedTuple, Optional

from tesvo.compare.fonts import LOOKUP_STEP
from tesvo.result import Result, Stage

__all__ = ["LineHits", "LookupKey", "line_hits", "stage_lookups"]

LookupKey = tuple[str, int]


class LineHits(NamedTuple):
    """One line: the lookups that changed its run (with the subtable inferred, None where no
    subtable's coverage holds a glyph the step changed), and those that ran only."""

    changed: dict[LookupKey, Optional[int]]
    ran: set[LookupKey]
    scripts: frozenset[str] = frozenset()  # the script tags its items were shaped with
    called: frozenset[LookupKey] = frozenset()  # the lookups a contextual step called


def stage_lookups(stage: Stage) -> Iterator[LookupKey]:
    """The lookups one step stands for: the lookup that made it, then those a contextual
    one called (Stage.nested)."""
    key = _step_lookup(stage.name)
    if key is not None:
        yield key
        yield from ((key[0], index) for index in stage.nested)


# Step names read before: a font's steps are a few hundred names, read at every stage of every line.
_STEP_LOOKUPS: dict[str, Optional[LookupKey]] = {}


def _step_lookup(name: str) -> Optional[LookupKey]:
    if name in _STEP_LOOKUPS:
        return _STEP_LOOKUPS[name]
    m = LOOKUP_STEP.match(name)
    key = (m["table"], int(m["index"])) if m is not None else None
    if len(_STEP_LOOKUPS) < 4096:  # bounded: a name past these is read each time
        _STEP_LOOKUPS[name] = key
    return key


def line_hits(result: Result, coverage: "Coverages") -> LineHits:
    """The lookups a traced result ran and changed."""
    changed: dict[LookupKey, Optional[int]] = {}
    ran: set[LookupKey] = set()
    called: set[LookupKey] = set()
    stages = result.stages or ()
    for k, stage in enumerate(stages):
        keys = list(stage_lookups(stage))
        if not keys:
            continue
        ran.update(keys)
        called.update(keys[1:])
        change = stage.change
        if change is None or (change.start == change.stop and not change.glyphs):
            continue
        before = stages[k - 1] if k > 0 and stages[k - 1].item == stage.item else None
        touched = _touched(before, change.start, change.stop)
        step = keys[0]
        if changed.get(step) is None:
            changed[step] = coverage.subtable(step, touched)
        # A lookup the step called changed the run where its coverage holds a glyph the
        # step replaced, or one a lookup called before it makes from those: the trace says
        # it was called, not what it did.
        for key in keys[1:]:
            found = coverage.subtable(key, touched)
            if found is not None and changed.get(key) is None:
                changed[key] = found
            touched = touched + [(made, None) for made in coverage.made(key, touched)]
    return LineHits(changed, ran, frozenset(item.script_tag for item in result.items), frozenset(called))


def _touched(before: Optional[Stage], start: int, stop: int) -> list[tuple[int, Optional[int]]]:
    """The glyph ids the step replaced, then the one before them (a pair adjustment may
    change only the second glyph of the pair its coverage starts at), each with the glyph
    after it."""
    if before is None:
        return []
    ids = before.ids
    at = list(range(start, min(stop, len(ids)))) + ([start - 1] if 0 < start <= len(ids) else [])
    return [(ids[k], ids[k + 1] if k + 1 < len(ids) else None) for k in at]


class Coverages:
    """Per lookup, each subtable's coverage as glyph ids, a kerning subtable's pairs, and what
    a substitution makes of a glyph (a ligature: of its first component)."""

    def __init__(self, subtables: dict[LookupKey, Sequence[frozenset[int]]],
                 pairs: Optional[dict[tuple[LookupKey, int], frozenset[tuple[int, int]]]] = None,
                 makes: Optional[dict[LookupKey, dict[int, frozenset[int]]]] = None) -> None:
        self._subtables = subtables
        self._pairs = pairs or {}
        self._makes = makes or {}

    def made(self, key: LookupKey, touched: Sequence[tuple[int, Optional[int]]]) -> list[int]:
        """The glyphs the lookup makes from those touched, not touched already."""
        makes = self._makes.get(key)
        if not makes:
            return []
        have = {gid for gid, _ in touched}
        return sorted({out for gid in have for out in makes.get(gid, ())} - have)

    def subtable(self, key: LookupKey, touched: Sequence[tuple[int, Optional[int]]]) -> Optional[int]:
        """The first subtable whose coverage holds a glyph the step touched (with, for a
        subtable of kerning pairs, the glyph after it as its pair), in the order touched:
        HarfBuzz applies a lookup's first subtable that matches."""
        for gid, after in touched:
            for k, coverage in enumerate(self._subtables.get(key, ())):
                pairs = self._pairs.get((key, k))
                if gid in coverage and (pairs is None or (gid, after) in pairs):
                    return k
        return None
