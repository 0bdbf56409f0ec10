"""The view model of the reports: what they draw, computed apart from how it is drawn.

For the trace report, a traced tesvo.Result regrouped per item: each item's positioned
glyphs and stages, what each stage changed, and the items' order on screen. For the
comparison report, the order of the differing lines and the glyphs of a run that the other
run does not have.
"""

from __future__ import annotations

import bisect
import difflib
import re
from collections.abc import Sequence
from typing import Dict, List, NamedTuple, Optional, Tuple

import tesvo._engine as _engine
from tesvo.compare import KINDS, Line, Row
from tesvo.result import Result, StageGlyph

LOOKUP_STAGE = re.compile(r"^(?P<table>GSUB|GPOS) lookup (?P<index>\d+)\b")
POSITIONED_KINDS = ("position", "final")


class Glyph(NamedTuple):
    """A glyph as the report draws it. `cl` is the first character of its cluster (a str
    index, None where the backend does not say); `ax`, `dx`, `dy` its advance and offset in
    HarfBuzz's convention (x positive right), 0 where the stage does not position."""

    g: int
    cl: Optional[int]
    ax: int = 0
    dx: int = 0
    dy: int = 0


class Stage(NamedTuple):
    """One stage of an item as its row shows it. `change`: the glyphs [start, stop) of the
    item's stage before that this one replaced, and how many glyphs replace them (from
    `start` in `glyphs`); None where the result does not say."""

    kind: Optional[str]  # cmap, reorder, substitute, position, final; None from a bare backend
    name: str
    glyphs: Tuple[Glyph, ...]  # the shaper's buffer order: logical
    change: Optional[Tuple[int, int, int]] = None
    nested: Tuple[int, ...] = ()  # the lookups a contextual lookup called (tesvo.Stage.nested)

    @property
    def positioned(self) -> bool:
        return self.kind in POSITIONED_KINDS

    @property
    def changed(self) -> Sequence[Glyph]:
        """The glyphs this stage put in (all of them where the change is not known)."""
        if self.change is None:
            return self.glyphs
        start, _, count = self.change
        return self.glyphs[start:start + count]


class Item(NamedTuple):
    """One item with its positioned glyphs and its stages."""

    number: int  # the item's place in logical order
    start: int  # str indices of the text
    end: int
    level: int  # bidi embedding level
    rtl: bool
    script_tag: str = ""
    script: int = 0
    final: Tuple[Glyph, ...] = ()  # visual order (left to right on screen)
    stages: Tuple[Stage, ...] = ()


def _glyphs(glyphs: Sequence[StageGlyph]) -> List[Glyph]:
    return [Glyph(g.id, g.cluster, g.advance or 0, g.x_offset or 0, g.y_offset or 0) for g in glyphs]


def regroup(result: Result) -> List[Item]:
    """A tesvo.Result's glyphs and traced stages, gathered per item. Each stage is the one
    before it with its change made: a glyph it left alone is the same Glyph object, and only
    the glyphs it changed are read from the result."""
    finals: List[List[Glyph]] = [[] for _ in result.items]
    stages: List[List[Stage]] = [[] for _ in result.items]
    for g in result.glyphs:
        finals[g.item].append(Glyph(g.id, g.cluster, g.advance, g.x_offset, g.y_offset))
    whole: List[Glyph] = []  # the stage before, of the same item
    for stage in result.stages or ():
        change = stage.change
        if change is None:
            stages[stage.item].append(Stage(stage.kind, stage.name, tuple(_glyphs(stage.glyphs)), None,
                                            stage.nested))
            continue
        if not stages[stage.item]:
            whole = []
        whole[change.start:change.stop] = _glyphs(change.glyphs)
        stages[stage.item].append(Stage(stage.kind, stage.name, tuple(whole),
                                        (change.start, change.stop, len(change.glyphs)), stage.nested))
    return [Item(k, it.start, it.end, it.level, it.rtl, it.script_tag, it.script, tuple(finals[k]),
                 tuple(stages[k]))
            for k, it in enumerate(result.items)]


Span = Optional[Tuple[int, int]]  # what a stage replaced of the stage before (Stage.change)


def changed_positions(before: Optional[Sequence[Glyph]], after: Sequence[Glyph],
                      span: Span = None) -> List[Tuple[bool, bool]]:
    """For each glyph of a positioning stage, whether its advance and whether its offset
    differ from the previous positioning stage; all of them when the stages do not have as
    many glyphs, none without a previous stage. `span`: when `before` is the stage just
    before, what `after` replaced of it; the glyphs outside it are the same."""
    if before is None:
        return [(False, False)] * len(after)
    if len(before) != len(after):
        return [(True, True)] * len(after)
    start, stop = span if span is not None else (0, len(after))
    moved = [(a.ax != b.ax, (a.dx, a.dy) != (b.dx, b.dy)) for b, a in zip(before[start:stop], after[start:stop])]
    return [(False, False)] * start + moved + [(False, False)] * (len(after) - stop)


def changed_glyphs(before: Optional[Sequence[int]], after: Sequence[int], moves: bool = False,
                   span: Span = None) -> List[bool]:
    """For each glyph of `after`, whether a stage turned it into what it is: the glyphs outside
    a shortest edit script from `before` to `after`. Nothing is marked without a previous
    stage. `moves`: the stage reorders glyphs (a shaper's reordering phase), so a run of as
    many glyphs is not read glyph for glyph but as glyphs moved. `span`: what `after`
    replaced of `before`, whose glyphs outside it both have and need not be compared."""
    if before is None:
        return [False] * len(after)
    changed = [True] * len(after)
    for k in _kept(list(before), list(after), moves, span):
        changed[k] = False
    return changed


def _kept(a: List[int], b: List[int], moves: bool = False, span: Span = None) -> List[int]:
    """Indexes in `b` of the glyphs a shortest edit script from `a` keeps (Myers' greedy
    algorithm): time grows with the length times the number of edits, so a long text that a
    lookup changes in a few places costs little, where a longest-common-run search costs the
    square of the length. The ids both runs begin and end with are taken first, from the
    ends of `span` on when it is known."""
    head = span[0] if span is not None else 0
    while head < len(a) and head < len(b) and a[head] == b[head]:
        head += 1
    tail = min(len(a) - span[1], len(a) - head, len(b) - head) if span is not None else 0
    while tail < len(a) - head and tail < len(b) - head and a[-1 - tail] == b[-1 - tail]:
        tail += 1
    kept = list(range(head)) + list(range(len(b) - tail, len(b)))
    a, b = a[head : len(a) - tail], b[head : len(b) - tail]
    n, m = len(a), len(b)
    if n == m and not moves:
        # One glyph for one glyph: where the ids agree, the glyph was kept.
        return kept + [head + k for k in range(m) if a[k] == b[k]]
    if n == 0 or m == 0:
        return kept
    # furthest[k]: the furthest x reached on diagonal k = x - y; one copy per edit count.
    furthest = {1: 0}
    history: List[Dict[int, int]] = []
    for edits in range(n + m + 1):
        history.append(dict(furthest))
        for k in range(-edits, edits + 1, 2):
            if k == -edits or (k != edits and furthest[k - 1] < furthest[k + 1]):
                x = furthest[k + 1]
            else:
                x = furthest[k - 1] + 1
            y = x - k
            while x < n and y < m and a[x] == b[y]:
                x, y = x + 1, y + 1
            furthest[k] = x
            if x >= n and y >= m:
                return kept + [head + j for j in _snakes(history, n, m)]
    return kept


def _snakes(history: List[Dict[int, int]], n: int, m: int) -> List[int]:
    """The `b` indexes of the glyphs kept on the path that reaches (n, m), walked back
    through the saved rows: each row holds the furthest points before one more edit."""
    matched = []
    x, y = n, m
    for edits in range(len(history) - 1, -1, -1):
        row = history[edits]
        k = x - y
        if k == -edits or (k != edits and row[k - 1] < row[k + 1]):
            prev_k = k + 1
        else:
            prev_k = k - 1
        prev_x = row[prev_k]
        prev_y = prev_x - prev_k
        while x > prev_x and y > prev_y:
            x, y = x - 1, y - 1
            matched.append(y)
        x, y = prev_x, prev_y
    return matched


def cluster_spans(glyphs: Sequence[Glyph], start: int, end: int) -> List[Optional[Tuple[int, int]]]:
    """The range of the text (str indices) that each glyph's cluster covers: from its "cl" up
    to the next cluster start of the run, or to the item's end; None where the cluster is not
    known."""
    starts = sorted({g.cl for g in glyphs if g.cl is not None and start <= g.cl < end})
    spans: List[Optional[Tuple[int, int]]] = []
    for g in glyphs:
        if g.cl is None:
            spans.append(None)
            continue
        k = bisect.bisect_right(starts, g.cl)
        spans.append((g.cl, starts[k] if k < len(starts) else max(end, g.cl + 1)))
    return spans


def visual_item_order(items: Sequence[Item]) -> List[Item]:
    """Items in the order they appear on screen, left to right, by the bidi algorithm's
    rule L2 (the engine's visual order). Each right-to-left item already lists its glyphs
    left to right."""
    return [items[k] for k in _engine.visual_order([item.level for item in items])]


# ---- the comparison report ----


def sorted_lines(lines: Sequence[Line]) -> List[Line]:
    """Lines by what differs (glyph ids, then clusters, advances, offsets; lines one side
    could not shape last), then by line number."""
    def key(line: Line) -> Tuple[int, int]:
        worst = min((KINDS.index(k) for k in line.kinds), default=len(KINDS))
        return worst, line.number
    return sorted(lines, key=key)


def differing(mine: Sequence[Row], theirs: Optional[Sequence[Row]]) -> set[int]:
    """The glyphs of `mine` that the other run does not have at the matching place: the
    runs are aligned (difflib), so that a ligature does not mark every glyph after it."""
    if theirs is None:
        return set()
    matcher = difflib.SequenceMatcher(None, list(mine), list(theirs), autojunk=False)
    same = {a + k for a, _, size in matcher.get_matching_blocks() for k in range(size)}
    return set(range(len(mine))) - same
