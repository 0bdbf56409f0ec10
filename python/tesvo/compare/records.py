"""The records of a comparison: its two sides, the glyph rows and the steps compared, where
two traced sides part, each line compared and the tally of them all."""

from __future__ import annotations

import itertools
import os
from collections.abc import Callable, Mapping
from typing import NamedTuple, Optional, Union

from tesvo.font import Features

from tesvo.compare.engines import ENGINES, harfbuzz_version
from tesvo.errors import OptionError
from tesvo.result import JsonValue

# What can differ between two glyph runs, in the order a report lists them. "items": the
# HarfBuzz side's glyphs change when the line is cut into the port's items; "names": glyphs
# compared by name where one was renamed (the same id and drawing under another name).
KINDS = ("items", "glyphs", "names", "clusters", "advances", "offsets", "props")
# Looked at only on request (Comparison(props=True), compare --props).
ON_REQUEST = ("props",)
GLYPHS = ("names", "ids")  # how the glyphs of two fonts are told the same
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
    # This side's options in place of the comparison's (None: the comparison's; "" features: none).
    features: Features = None
    script: Optional[str] = None
    language: Optional[str] = None

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
        for option in ("features", "script", "language"):
            value = getattr(self, option)
            if value is not None:
                shown = value if isinstance(value, str) else ", ".join(f"{t}={int(v)}" for t, v in value.items())
                name += f" --{option} {shown!r}"
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
    nested: tuple[int, ...] = ()  # the lookups a contextual lookup called (Stage.nested)

    @property
    def key(self) -> tuple[int, str]:
        """What names the same step on both sides: a lookup by its table and index (the
        feature's tag is left out), any other step by its name."""
        words = self.name.split()
        if len(words) > 2 and words[1] == "lookup":
            return self.item, " ".join(words[:3])
        return self.item, self.name


class Moved(NamedTuple):
    """A glyph that both fonts name alike at other ids: the same glyph, moved."""

    glyph: int  # its index in the run
    name: str
    left: int  # its id on each side
    right: int


class Renamed(NamedTuple):
    """A glyph at the same id that draws the same in both fonts under other names."""

    glyph: int  # its index in the run
    id: int
    left: str  # its name on each side
    right: str


class Parting(NamedTuple):
    """Where two traced sides part: the first step after which they hold other glyphs
    (`what` "glyphs") or other positions (`what` "positions"), the glyph (its index in the
    step) where they first differ, and what each side holds there: glyph ids with their
    names, or "+advance" and "@x,y" as hb-shape writes them. For a line whose difference
    comes from itemization, `step` is "items" and the values describe the runs.

    `side` says whether the step ran on both sides ("both") or on one only ("left only",
    "right only": a lookup dropped from a feature, or one HarfBuzz skipped on the other side
    because no glyph was in its coverage). `lookup_names` holds the lookup's name in each
    font's Debg table, by side, where the font has one; `table` says that the step's table
    is in one font only ("GSUB on the left only"). `nested` holds, by side, the lookups a
    contextual step called (Stage.nested), where it called any: a lookup changed inside a
    chain is among them; `nested_names` their Debg names, by side and lookup index."""

    item: int
    step: str
    what: str
    glyph: int
    left: str
    right: str
    side: str = "both"
    lookup_names: Optional[Mapping[str, str]] = None
    table: Optional[str] = None
    nested: Optional[Mapping[str, tuple[int, ...]]] = None
    nested_names: Optional[Mapping[str, Mapping[int, str]]] = None

    @property
    def words(self) -> str:
        """The step as the summary names it: "GSUB lookup 3 'akhn' · akhn_deva (item 0, left
        only; GSUB on the left only)"."""
        words = self.step
        names = sorted(set((self.lookup_names or {}).values()))
        if names:
            words += f" \u00b7 {' / '.join(names)}"
        called = sorted(set(itertools.chain.from_iterable((self.nested or {}).values())))
        if called:
            words += f" \u2192 {'lookups' if len(called) > 1 else 'lookup'} {', '.join(map(str, called))}"
        where = f"item {self.item}"
        if self.side != "both":
            where += f", {self.side}"
        if self.table is not None:
            where += f"; {self.table}"
        return f"{words} ({where})"

    def to_dict(self) -> dict[str, JsonValue]:
        record: dict[str, JsonValue] = {"item": self.item, "step": self.step, "side": self.side, "what": self.what,
                                        "glyph": self.glyph, "left": self.left, "right": self.right}
        if self.lookup_names:
            record["lookup_names"] = dict(self.lookup_names)
        if self.table is not None:
            record["table"] = self.table
        if self.nested:
            record["nested"] = {side: list(lookups) for side, lookups in self.nested.items()}
        if self.nested_names:
            record["nested_names"] = {side: {str(index): name for index, name in names.items()}
                                      for side, names in self.nested_names.items()}
        return record


class PropsDifference(NamedTuple):
    """Where the backends' Uniscribe outputs first differ (kind "props"): at glyph `at`
    (`where` "glyph": its SCRIPT_VISATTR) or character `at` (`where` "char": its log
    cluster, SCRIPT_CHARPROP) or item `at` (`where` "item": its SCRIPT_ANALYSIS), and
    each side's values there in words."""

    where: str
    at: int
    left: str
    right: str


class Line(NamedTuple):
    """One line compared. `first` is the index of the first glyph where the runs part (the
    length of the shorter run when one run extends the other) and `at` the character (str
    index) where that glyph's cluster starts; `kinds` what differs (empty when the runs are
    equal). A line that one side could not shape has `errors` ("left", "right" to the
    message). `left_names`/`right_names` name the glyphs of each run (None for a font
    without names). With a trace, `left_steps` and `right_steps` hold each side's steps and
    `parting` where they part. `items` holds the port's items as (start, end, rtl) when the
    line differs in kind "items". Glyphs compared by name: `moved` those at other ids under
    the same name, `renamed` those at the same id that draw the same under other names."""

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
    moved: tuple[Moved, ...] = ()
    renamed: tuple[Renamed, ...] = ()
    props: Optional[PropsDifference] = None  # with kind "props"

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
            words += f", at {p.words}: {p.left} against {p.right}"
        if self.props is not None:
            d = self.props
            words += f"; props at {d.where} {d.at}: {d.left} against {d.right}"
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
        if self.moved:
            record["moved"] = [list(m) for m in self.moved]
        if self.renamed:
            record["renamed"] = [list(r) for r in self.renamed]
        if self.props is not None:
            record["props"] = dict(self.props._asdict())
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
        self.by_kind = {k: 0 for k in KINDS if k not in ON_REQUEST}  # those on request once seen

    def add(self, line: Line) -> None:
        self.lines += 1
        if line.errors:
            self.errors += 1
        elif line.kinds:
            self.different += 1
            for kind in line.kinds:
                self.by_kind[kind] = self.by_kind.get(kind, 0) + 1
        else:
            self.same += 1

    def to_dict(self, left: Side, right: Side, facts: Optional[Mapping[str, JsonValue]] = None
                ) -> dict[str, JsonValue]:
        """The summary record; `facts` are the comparison's own (Comparison.facts())."""
        by_kind: dict[str, JsonValue] = dict(self.by_kind)
        return {"summary": {
            "lines": self.lines, "same": self.same, "different": self.different,
            "errors": self.errors, "by_kind": by_kind,
            "left": left.label, "right": right.label,
            "offsets": "x_offset/y_offset as HarfBuzz gives them (a port's du negated in "
                       "right-to-left items); clusters are indices into the line",
            "glyph": ["id", "cluster", "advance", "x_offset", "y_offset", "name"],
            **(facts or {}),
        }}
