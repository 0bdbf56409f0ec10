"""The records of a comparison: its two sides, the glyph rows and the steps compared, where
two traced sides part, each line compared and the tally of them all."""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping
from typing import NamedTuple, Optional, Union

from tesvo.compare.engines import ENGINES, harfbuzz_version
from tesvo.errors import OptionError
from tesvo.result import JsonValue

# What can differ between two glyph runs, in the order a report lists them. "items": the
# HarfBuzz side's glyphs change when the line is cut into the port's items.
KINDS = ("items", "glyphs", "clusters", "advances", "offsets")
OFFSET_CONVENTION = "harfbuzz"  # x_offset/y_offset; a port's du is negated in right-to-left items
HARFBUZZ_RUNS = ("items", "line")  # what a HarfBuzz side shapes as one run

# One glyph as compared: id, cluster, advance, x_offset, y_offset.
Row = tuple[int, int, int, int, int]
# A glyph's position in a step: advance, x_offset, y_offset (HarfBuzz's convention).
Position = tuple[int, int, int]
# How a side names a glyph id: None for a glyph the font does not name.
Names = Callable[[int], Optional[str]]


class Side(NamedTuple):
    """One side of a comparison: a font (path, the index of its face) and the engine that
    shapes it.

    `engine` is "port" (a Uniscribe OpenType backend: `backend` names its library, None for
    the module's own choice) or "harfbuzz" (uharfbuzz, on the other side's items or lines)."""

    font: str
    face: int = 0  # the index of the face in a collection
    engine: str = "port"
    backend: Optional[str] = None
    variations: Optional[str] = None  # a variable font's location, hb-shape's --variations syntax
    named_instance: Optional[Union[int, str]] = None  # an fvar instance, set before `variations`

    def check(self) -> None:
        """OptionError for a side that cannot be: an unknown engine, HarfBuzz with a library."""
        if self.engine not in ENGINES:
            raise OptionError(f"unknown engine {self.engine!r}: use 'port' or 'harfbuzz'")
        if self.engine == "harfbuzz" and self.backend is not None:
            raise OptionError("a HarfBuzz side takes no backend library")

    @property
    def label(self) -> str:
        number = f"#{self.face}" if self.face else ""
        name = os.path.basename(self.font) + number
        if self.named_instance is not None:
            name += f" [{self.named_instance}]"
        if self.variations:
            name += f" @{self.variations}"
        if self.engine == "harfbuzz":
            return f"{name} (HarfBuzz {harfbuzz_version()} via uharfbuzz)"
        if self.backend is None:
            return f"{name} (bundled port)"
        return f"{name} (port {os.path.basename(self.backend)})"


class Step(NamedTuple):
    """One step of a side's shaping (cmap, a reordering phase, a GSUB lookup, a positioning
    step, final) with the glyph ids after it, in the shaper's order, and in positioning and
    final steps each glyph's position: what a traced comparison lines up."""

    item: int
    name: str
    ids: tuple[int, ...]
    positions: Optional[tuple[Position, ...]] = None

    @property
    def key(self) -> tuple[int, str]:
        """What names the same step on both sides: a lookup by its table and index (the
        feature's tag is left out), any other step by its name."""
        words = self.name.split()
        if len(words) > 2 and words[1] == "lookup":
            return self.item, " ".join(words[:3])
        return self.item, self.name


class Parting(NamedTuple):
    """Where two traced sides part: the first step after which they hold other glyph ids
    (`what` "glyphs") or other positions (`what` "positions"), the glyph (its index in the
    step) where they first differ, and what each side holds there: glyph ids with their
    names, or "+advance" and "@x,y" as hb-shape writes them. For a line whose difference
    comes from itemization, `step` is "items" and the values describe the runs."""

    item: int
    step: str
    what: str
    glyph: int
    left: str
    right: str

    def to_dict(self) -> dict[str, JsonValue]:
        return dict(self._asdict())


class Line(NamedTuple):
    """One line compared. `first` is the index of the first glyph where the runs part (the
    length of the shorter run when one run extends the other) and `at` the character (str
    index) where that glyph's cluster starts; `kinds` what differs (empty when the runs are
    equal). A line that one side could not shape has `errors` ("left", "right" to the
    message). `left_names`/`right_names` name the glyphs of each run (None for a font
    without names). With a trace, `left_steps` and `right_steps` hold each side's steps and
    `parting` where they part. `items` holds the port's items as (start, end, rtl) when the
    line differs in kind "items"."""

    number: int
    text: str
    left: Optional[tuple[Row, ...]]
    right: Optional[tuple[Row, ...]]
    first: Optional[int]
    kinds: tuple[str, ...]
    errors: Mapping[str, str]
    left_steps: Optional[tuple[Step, ...]] = None
    right_steps: Optional[tuple[Step, ...]] = None
    parting: Optional[Parting] = None
    left_names: Optional[tuple[str, ...]] = None
    right_names: Optional[tuple[str, ...]] = None
    at: Optional[int] = None
    items: Optional[tuple[tuple[int, int, bool], ...]] = None

    @property
    def same(self) -> bool:
        return not self.kinds and not self.errors

    @property
    def summary(self) -> str:
        """What differs and where it starts, in words: "advances, offsets from glyph 3
        (character 2), at GPOS lookup 2 'kern': +605 against +655"."""
        if not self.kinds:
            return "the same" if not self.errors else "could not be shaped"
        words = ", ".join(self.kinds)
        if self.first is not None:
            words += f" from glyph {self.first}"
            if self.at is not None:
                words += f" (character {self.at})"
        p = self.parting
        if p is not None and p.what == "items":
            words += f", from itemization: {p.left} against {p.right}"
        elif p is not None:
            words += f", at {p.step} (item {p.item}): {p.left} against {p.right}"
        return words

    def to_dict(self, *, glyphs: bool = True) -> dict[str, JsonValue]:
        record: dict[str, JsonValue] = {"line": self.number, "text": self.text, "same": self.same}
        if self.errors:
            record["errors"] = dict(self.errors)
        if self.kinds:
            record["first"] = self.first
            record["at"] = self.at
            record["differs"] = list(self.kinds)
            record["summary"] = self.summary
        if self.parting is not None:
            record["parting"] = self.parting.to_dict()
        if self.items is not None:
            record["items"] = [[start, end, "rtl" if rtl else "ltr"] for start, end, rtl in self.items]
        if glyphs and not self.same:
            record["left"] = _rows_json(self.left, self.left_names)
            record["right"] = _rows_json(self.right, self.right_names)
        return record


def _rows_json(rows: Optional[tuple[Row, ...]], names: Optional[tuple[str, ...]]) -> JsonValue:
    if rows is None:
        return None
    if names is None:
        return [list(row) for row in rows]
    return [[*row, name] for row, name in zip(rows, names)]


class Summary:
    """The tally of a comparison: lines, how many were the same, differed or failed, and the
    lines that differ in each kind."""

    def __init__(self) -> None:
        self.lines = self.same = self.different = self.errors = 0
        self.by_kind = {k: 0 for k in KINDS}

    def add(self, line: Line) -> None:
        self.lines += 1
        if line.errors:
            self.errors += 1
        elif line.kinds:
            self.different += 1
            for kind in line.kinds:
                self.by_kind[kind] += 1
        else:
            self.same += 1

    def to_dict(self, left: Side, right: Side) -> dict[str, JsonValue]:
        by_kind: dict[str, JsonValue] = dict(self.by_kind)
        return {"summary": {
            "lines": self.lines, "same": self.same, "different": self.different,
            "errors": self.errors, "by_kind": by_kind,
            "left": left.label, "right": right.label,
            "offsets": "x_offset/y_offset as HarfBuzz gives them (a port's du negated in "
                       "right-to-left items); clusters are indices into the line",
            "glyph": ["id", "cluster", "advance", "x_offset", "y_offset", "name"],
        }}
