"""The module's result document, read back into items, stages and glyph runs.

`_tesvo.shape_json` returns one flat document: every glyph of the text in "final", the stage
entries of all items in "stages", and one "Uniscribe item" line per item in "messages". This
file regroups them per item, which is how the trace report shows them.
"""

from __future__ import annotations

import bisect
import difflib
import re
from dataclasses import dataclass, field
from typing import Any, Iterable, List, Mapping, Optional, Sequence, Tuple

ITEM_LINE = re.compile(
    r"^Uniscribe item (?P<index>\d+): script (?P<script>\d+) tag 0x(?P<tag>[0-9a-f]{8}) "
    r"chars (?P<start>\d+)\.\.(?P<end>\d+) -> (?P<count>\d+) glyphs(?P<rtl> \(RTL, visual order out\))?$"
)
TRACE_LABEL = re.compile(
    r"^(?P<kind>vantor lookup|textshaping) (?P<name>.*) \(item (?P<index>\d+)\)$"
)
ITEM_LABEL = re.compile(r"^Uniscribe shape item (?P<index>\d+) \(")

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
    """For each glyph of `after`, whether a stage turned it into what it is: the glyphs
    outside the longest common runs of the two sequences. Nothing is marked without a
    previous stage."""
    if before is None:
        return [False] * len(after)
    changed = [True] * len(after)
    matcher = difflib.SequenceMatcher(None, list(before), list(after), autojunk=False)
    for block in matcher.get_matching_blocks():
        for k in range(block.b, block.b + block.size):
            changed[k] = False
    return changed


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
