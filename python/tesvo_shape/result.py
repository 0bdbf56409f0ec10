"""The module's result document, read back into items, stages and glyph runs.

`_tesvo.shape_json` returns one flat document: every glyph of the text in "final", the stage
entries of all items in "stages", and one "Uniscribe item" line per item in "messages". This
file regroups them per item, which is how the trace report shows them.
"""

from __future__ import annotations

import bisect
import re
from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

ITEM_LINE = re.compile(
    r"^Uniscribe item (?P<index>\d+): script (?P<script>\d+) tag 0x(?P<tag>[0-9a-f]{8}) "
    r"chars (?P<start>\d+)\.\.(?P<end>\d+) -> (?P<count>\d+) glyphs(?P<rtl> \(RTL, visual order out\))?$"
)
TRACE_LABEL = re.compile(
    r"^(?P<kind>vantor lookup|textshaping) (?P<name>.*) \(item (?P<index>\d+)\)$"
)
ITEM_LABEL = re.compile(r"^Uniscribe shape item (?P<index>\d+) \(")
LOOKUP_STAGE = re.compile(r"^(?P<table>GSUB|GPOS) lookup (?P<index>\d+)\b")

UNTRACED_STAGE = "shaped (no trace)"


class DocumentError(ValueError):
    """The document does not have the shape `_tesvo.shape_json` gives its results."""


@dataclass(frozen=True)
class Glyph:
    g: int
    cl: int
    ax: int = 0
    dx: int = 0
    dy: int = 0


@dataclass
class Stage:
    label: str  # the entry's "m", whole
    name: str  # the stage alone: "cmap", "GSUB lookup 9 'fina'", "final"
    glyphs: List[Glyph]


@dataclass
class Item:
    index: int
    script: int
    tag: int
    start: int  # in UTF-16 code units of the text
    end: int
    rtl: bool
    final: List[Glyph] = field(default_factory=list)  # visual order within the item
    stages: List[Stage] = field(default_factory=list)

    @property
    def tag_text(self) -> str:
        """The script tag as its four letters ("arab"), or the number when they are not text."""
        raw = self.tag.to_bytes(4, "little")
        if all(0x20 <= b < 0x7F for b in raw):
            return raw.decode("ascii").rstrip()
        return f"0x{self.tag:08x}"


@dataclass
class Shaped:
    items: List[Item]
    upem: int
    glyph_count: int
    family: str
    messages: List[str]


def _glyph(record: Mapping[str, Any]) -> Glyph:
    try:
        return Glyph(
            g=int(record["g"]),
            cl=int(record["cl"]),
            ax=int(record.get("ax", 0)),
            dx=int(record.get("dx", 0)),
            dy=int(record.get("dy", 0)),
        )
    except (KeyError, TypeError, ValueError) as e:
        raise DocumentError(f"bad glyph record {record!r}") from e


def _stage(entry: Mapping[str, Any]) -> Tuple[int, Stage]:
    label = str(entry.get("m", ""))
    glyphs = [_glyph(r) for r in entry.get("glyphs", [])]
    traced = TRACE_LABEL.match(label)
    if traced:
        return int(traced["index"]), Stage(label, traced["name"], glyphs)
    untraced = ITEM_LABEL.match(label)
    if untraced:
        return int(untraced["index"]), Stage(label, UNTRACED_STAGE, glyphs)
    raise DocumentError(f"stage label {label!r} names no item")


def read_document(doc: Mapping[str, Any]) -> Shaped:
    """Regroups a result document per item. Raises DocumentError when it does not add up."""
    items: List[Item] = []
    for line in doc.get("messages", []):
        m = ITEM_LINE.match(line)
        if m:
            items.append(
                Item(
                    index=int(m["index"]),
                    script=int(m["script"]),
                    tag=int(m["tag"], 16),
                    start=int(m["start"]),
                    end=int(m["end"]),
                    rtl=m["rtl"] is not None,
                )
            )
            items[-1].final = [Glyph(0, 0)] * int(m["count"])  # placeholders, filled below
    if not items:
        raise DocumentError("the document lists no items")

    # "final" is the items' glyphs one item after the other, in item order.
    final = [_glyph(r) for r in doc.get("final", [])]
    if sum(len(item.final) for item in items) != len(final):
        raise DocumentError("the items' glyph counts do not add up to the final glyphs")
    taken = 0
    for item in items:
        count = len(item.final)
        item.final = final[taken : taken + count]
        taken += count

    by_index = {item.index: item for item in items}
    for entry in doc.get("stages", []):
        index, stage = _stage(entry)
        if index not in by_index:
            raise DocumentError(f"stage {stage.label!r} belongs to no listed item")
        by_index[index].stages.append(stage)

    font_info = doc.get("font_info", {})
    return Shaped(
        items=items,
        upem=int(doc.get("upem", 0)) or 2048,
        glyph_count=int(doc.get("glyph_count", 0)),
        family=str(font_info.get("family", "")),
        messages=[str(m) for m in doc.get("messages", [])],
    )


def changed_glyphs(before: Optional[Sequence[int]], after: Sequence[int]) -> List[bool]:
    """For each glyph of `after`, whether a stage turned it into what it is: the glyphs outside
    a shortest edit script from `before` to `after`. Nothing is marked without a previous
    stage."""
    if before is None:
        return [False] * len(after)
    changed = [True] * len(after)
    for k in _kept(list(before), list(after)):
        changed[k] = False
    return changed


def _kept(a: List[int], b: List[int]) -> List[int]:
    """Indexes in `b` of the glyphs a shortest edit script from `a` keeps (Myers' greedy
    algorithm): time grows with the length times the number of edits, so a long text that a
    lookup changes in a few places costs little, where a longest-common-run search costs the
    square of the length."""
    head = 0
    while head < len(a) and head < len(b) and a[head] == b[head]:
        head += 1
    tail = 0
    while tail < len(a) - head and tail < len(b) - head and a[-1 - tail] == b[-1 - tail]:
        tail += 1
    kept = list(range(head)) + list(range(len(b) - tail, len(b)))
    a, b = a[head : len(a) - tail], b[head : len(b) - tail]
    n, m = len(a), len(b)
    if n == m:
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


def cluster_spans(glyphs: Sequence[Glyph], start: int, end: int) -> List[Tuple[int, int]]:
    """The code-unit range of the text that each glyph's cluster covers: from its "cl" up to
    the next cluster start of the run, or to the item's end."""
    starts = sorted({g.cl for g in glyphs if start <= g.cl < end})
    spans = []
    for g in glyphs:
        k = bisect.bisect_right(starts, g.cl)
        spans.append((g.cl, starts[k] if k < len(starts) else max(end, g.cl + 1)))
    return spans


def visual_item_order(items: Sequence[Item], paragraph_rtl: bool) -> List[Item]:
    """Items in the order they appear on screen, left to right.

    Each right-to-left item already lists its glyphs left to right; the items themselves come
    in logical order. Knowing only each item's direction, right-to-left items get level 1 and
    left-to-right ones level 0 in a left-to-right paragraph or 2 in a right-to-left one; then
    runs of items are reversed from the highest level down to level 1, as the bidirectional
    algorithm does with levels.
    """
    if paragraph_rtl:
        levels = [1 if item.rtl else 2 for item in items]
    else:
        levels = [1 if item.rtl else 0 for item in items]
    order = list(items)
    for level in range(max(levels, default=0), 0, -1):
        k = 0
        while k < len(order):
            if levels[k] < level:
                k += 1
                continue
            j = k
            while j < len(order) and levels[j] >= level:
                j += 1
            order[k:j] = order[k:j][::-1]
            levels[k:j] = levels[k:j][::-1]
            k = j
    return order


def text_units(text: str) -> bytes:
    """The text in UTF-16 code units, the unit of every "cl" and item range."""
    return text.encode("utf-16-le", "surrogatepass")


def unit_slice(units: bytes, start: int, end: int) -> str:
    return units[2 * start : 2 * end].decode("utf-16-le", "replace")


def code_points(text: str) -> Iterable[Tuple[int, str]]:
    """(UTF-16 index, character) for every character of the text."""
    index = 0
    for ch in text:
        yield index, ch
        index += 2 if ord(ch) > 0xFFFF else 1
