"""Comparison of two ways of shaping the same texts: two fonts through one Uniscribe port,
one font through two ports, or a port against HarfBuzz itself (uharfbuzz).

Each side is a `Side`: a font file (and face index) shaped by an engine. The engine is a
Uniscribe port (the bundled one, or another by library path) or "harfbuzz". HarfBuzz shapes
either the items the other side's port formed for the same line, each on its own as a
Uniscribe client does, so that only the shaping differs (`harfbuzz_runs="items"`), or the
whole line as one run, as hb-shape does (`harfbuzz_runs="line"`): its glyphs are then given
to the port's items by cluster, and a line whose HarfBuzz glyphs change when it is cut into
the port's items differs in kind "items". Glyphs are compared as (id, cluster, advance,
x_offset, y_offset): offsets in HarfBuzz's convention on both sides (a port's `du` negated
in right-to-left items), clusters as indices into the line's str.

With a trace, both sides are followed step by step (cmap, reordering phases, GSUB lookups,
then the positioning steps: default positions, GPOS lookups, kern table, fallback, final)
and a differing line names its `Parting`: the first step after which the sides hold other
glyph ids or other positions, with the values each side holds there.

    >>> from tesvo.compare import Side, compare
    >>> for line in compare(Side("old.ttf"), Side("new.ttf"), ["Wave", "office"]):
    ...     print(line.number, line.kinds)
"""

from __future__ import annotations

import bisect
import difflib
import itertools
import os
import types
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import NamedTuple, Optional, Protocol, Union

import tesvo._engine as _engine
from tesvo.axes import resolve_location
from tesvo.errors import OptionError, ShapeError
from tesvo.font import Features, Font
from tesvo.fontfile import FontFile, read_font
from tesvo.result import Item, JsonValue, Result

__all__ = ["Side", "Line", "Step", "Parting", "Summary", "Comparison", "compare", "difference", "parting",
           "aligned_steps",
           "KINDS", "HARFBUZZ_RUNS", "OFFSET_CONVENTION"]

# What can differ between two glyph runs, in the order a report lists them. "items": the
# HarfBuzz side's glyphs change when the line is cut into the port's items.
KINDS = ("items", "glyphs", "clusters", "advances", "offsets")
OFFSET_CONVENTION = "harfbuzz"  # x_offset/y_offset; a port's du is negated in right-to-left items
HARFBUZZ_RUNS = ("items", "line")  # what a HarfBuzz side shapes as one run

# One glyph as compared: id, cluster, advance, x_offset, y_offset.
Row = tuple[int, int, int, int, int]
# A glyph's position in a step: advance, x_offset, y_offset (HarfBuzz's convention).
Position = tuple[int, int, int]

# Lines shaped per engine call on each side.
_CHUNK = 256


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
        if self.engine not in ("port", "harfbuzz"):
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
            return f"{name} (HarfBuzz {_harfbuzz_version()} via uharfbuzz)"
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


Names = Callable[[int], Optional[str]]


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


# ---- HarfBuzz through uharfbuzz ----


class _GlyphInfo(Protocol):
    codepoint: int
    cluster: int


class _GlyphPosition(Protocol):
    x_advance: int
    x_offset: int
    y_offset: int


class _Buffer(Protocol):
    """What the trace needs of a uharfbuzz Buffer."""

    @property
    def glyph_infos(self) -> list[_GlyphInfo]: ...

    @property
    def glyph_positions(self) -> Optional[list[_GlyphPosition]]: ...

    def set_message_func(self, callback: Optional[Callable[[str], bool]]) -> None: ...


def _uharfbuzz() -> types.ModuleType:
    try:
        import uharfbuzz
    except ImportError:
        raise OptionError("the harfbuzz engine needs uharfbuzz: pip install uharfbuzz") from None
    module: types.ModuleType = uharfbuzz
    return module


def _harfbuzz_version() -> str:
    try:
        return str(_uharfbuzz().version_string())
    except OptionError:
        return "(uharfbuzz not installed)"


class _Run(NamedTuple):
    """What HarfBuzz shaped one run into: glyphs in its output order, and its direction."""

    infos: list[_GlyphInfo]
    positions: list[_GlyphPosition]
    rtl: bool


class HarfBuzzShaper:
    """HarfBuzz (uharfbuzz) shaping a line with the same options as the port: each of the
    port's items on its own (`shape`), or the whole line as one run (`shape_line`); results as
    compared rows in the port's order (items in logical order, glyphs of a right-to-left
    item in visual order)."""

    def __init__(self, data: bytes, index: int, features: Features, script: Optional[str],
                 language: Optional[str], location: tuple[tuple[str, float], ...] = ()) -> None:
        hb = _uharfbuzz()
        self._hb = hb
        self._font = hb.Font(hb.Face(data, index))
        if location:
            self._font.set_variations(dict(location))
        self._features = _harfbuzz_features(features)
        self._script = script or None
        self._language = language or None
        self.steps: list[Step] = []

    def name(self, gid: int) -> Optional[str]:
        """The glyph's name as HarfBuzz gives it (None when the font names no glyph)."""
        name = str(self._font.glyph_to_string(gid))
        return None if name == f"gid{gid}" else name

    def shape(self, text: str, result: Result, *, trace: bool = False) -> tuple[Row, ...]:
        rows: list[Row] = []
        self.steps = []
        for number, item in enumerate(result.items):
            run = self._shape(text, item.start, item.end, "rtl" if item.rtl else "ltr", item.script_tag,
                              number, trace)
            rows.extend((info.codepoint, item.start + info.cluster, pos.x_advance, pos.x_offset, pos.y_offset)
                        for info, pos in zip(run.infos, run.positions))
        return tuple(rows)

    def shape_line(self, text: str, result: Result, direction: str, *,
                   trace: bool = False) -> tuple[tuple[Row, ...], bool]:
        """The whole line as one run, as hb-shape shapes it: the direction given (a paragraph
        direction) or guessed, the script guessed unless one is given. Its glyphs are then
        given to the port's items by cluster and ordered as the port orders them; with them
        comes the run's direction (True: right to left)."""
        self.steps = []
        run = self._shape(text, 0, len(text), direction if direction in ("ltr", "rtl") else None, None, 0, trace)
        logical = list(zip(run.infos, run.positions))
        if run.rtl:
            logical.reverse()
        starts = [item.start for item in result.items]
        per_item: list[list[Row]] = [[] for _ in result.items] or [[]]
        for info, pos in logical:
            k = max(0, bisect.bisect_right(starts, info.cluster) - 1)
            per_item[k].append((info.codepoint, info.cluster, pos.x_advance, pos.x_offset, pos.y_offset))
        rows: list[Row] = []
        for item, glyphs in zip(result.items, per_item):
            rows.extend(reversed(glyphs) if item.rtl else glyphs)
        return tuple(rows), run.rtl

    def _shape(self, text: str, start: int, end: int, direction: Optional[str], tag: Optional[str], number: int,
               trace: bool) -> _Run:
        hb = self._hb
        buf = hb.Buffer()
        # Code points one by one, so that clusters are str indices (from the run's start);
        # nothing around the run is given as context, as a Uniscribe client gives none.
        buf.add_codepoints([ord(ch) for ch in text[start:end]])
        if direction is not None:
            buf.direction = direction
        guess = tag is None  # a whole line: what is not given is guessed, as hb-shape does
        tag = self._script or tag
        if tag and tag.strip() not in ("", "DFLT", "dflt"):
            buf.set_script_from_ot_tag(tag)
        elif tag is not None:
            buf.script = "Zyyy"
        if self._language:
            buf.set_language_from_ot_tag(self._language)
        if guess:
            buf.guess_segment_properties()
        flags = 0
        if start == 0:
            flags |= hb.BufferFlags.BOT
        if end == len(text):
            flags |= hb.BufferFlags.EOT
        buf.flags = hb.BufferFlags(flags)
        if trace:
            self._record(buf, number)
        hb.shape(self._font, buf, self._features)
        rtl = buf.direction == "rtl"
        infos, positions = list(buf.glyph_infos), list(buf.glyph_positions)
        if trace:
            buf.set_message_func(None)
            # The final step in the shaper's (logical) order, as the port records it.
            order = list(zip(infos, positions))
            if rtl:
                order.reverse()
            self.steps.append(Step(number, "final", tuple(i.codepoint for i, _ in order),
                                   tuple((p.x_advance, p.x_offset, p.y_offset) for _, p in order)))
        return _Run(infos, positions, rtl)

    def _record(self, buf: _Buffer, number: int) -> None:
        """The steps as the bundled port names them: "cmap" at the start of GSUB,
        "reordering ..." after each shaper phase, "GSUB lookup N 'tag'" after each GSUB
        lookup that ran (not after one HarfBuzz skipped), "default positions" when
        positioning starts, then "GPOS lookup N 'tag'", "kern table", "fallback mark",
        "fallback kern". Newer HarfBuzz adds the script to its table messages ("start table
        GSUB script tag 'latn'"), so only the table's name is read."""
        table = ""
        skipped = False
        positioning = False

        def step(name: str, positioned: bool) -> None:
            ids = tuple(i.codepoint for i in buf.glyph_infos)
            found = buf.glyph_positions if positioned else None
            positions = tuple((p.x_advance, p.x_offset, p.y_offset) for p in found) if found else None
            self.steps.append(Step(number, name, ids, positions))

        def start_positioning() -> None:
            nonlocal positioning
            if not positioning:
                positioning = True
                step("default positions", True)

        def message(text: str) -> bool:
            nonlocal table, skipped
            words = text.split()
            if text.startswith("start table "):
                table = words[2]
                if table == "GSUB":
                    step("cmap", False)
                elif table == "GPOS":
                    start_positioning()
                elif table == "kern":
                    start_positioning()
            elif text.startswith("end table "):
                if words[2] == "kern":
                    step("kern table", True)
                table = ""
            elif text in ("start fallback mark", "start fallback kern"):
                start_positioning()
            elif text in ("end fallback mark", "end fallback kern"):
                step(text[len("end "):], True)
            elif table not in ("GSUB", "GPOS"):
                return True
            elif text.startswith("end reordering "):
                step(text[len("end "):], False)
            elif text.startswith("start lookup "):
                skipped = False
            elif text.startswith("skipped lookup "):
                skipped = True
            elif text.startswith("end lookup "):
                if not skipped:
                    step(_lookup_name(table, words), table == "GPOS")
                skipped = False
            return True

        buf.set_message_func(message)


def _lookup_name(table: str, words: list[str]) -> str:
    """"end lookup 11 feature 'fina'" in table GSUB becomes "GSUB lookup 11 'fina'"."""
    name = f"{table} lookup {words[2]}"
    if len(words) > 4 and words[3] == "feature":
        name += f" {words[4]}"
    return name


def _harfbuzz_features(features: Features) -> dict[str, int]:
    """The feature list as uharfbuzz takes it, parsed by the engine's own parser."""
    if features is None or features == "":
        return {}
    if not isinstance(features, str):
        features = ", ".join(f"'{tag}'={int(value)}" for tag, value in features.items())
    return dict(_engine.parse_features(features))


# ---- the comparison ----

Outcome = Union[Result, ShapeError]
_NAMES = ("left", "right")


class Comparison:
    """Two sides opened once, with the shaping options of both: `lines` compares texts.

    Each font file is read once (`files` may hold those already read, by path, as a worker
    process is given them); the fonts and the options are checked here, before anything is
    shaped: FontError for a font or a backend that cannot be used, OptionError for options.
    `harfbuzz_runs` says what a HarfBuzz side shapes as one run: "items", the port's items,
    or "line", the whole line."""

    def __init__(self, left: Side, right: Side, *, direction: str = "auto", features: Features = None,
                 script: Optional[str] = None, language: Optional[str] = None,
                 files: Optional[Mapping[str, FontFile]] = None, harfbuzz_runs: str = "items") -> None:
        left.check()
        right.check()
        if left.engine == "harfbuzz" and right.engine == "harfbuzz":
            raise OptionError("at least one side must be a Uniscribe port: HarfBuzz shapes the port's items")
        if harfbuzz_runs not in HARFBUZZ_RUNS:
            raise OptionError(f"unknown harfbuzz_runs {harfbuzz_runs!r}: use 'items' or 'line'")
        self.sides = (left, right)
        self.harfbuzz_runs = harfbuzz_runs
        self.files = dict(files or {})
        for side in self.sides:
            if side.font not in self.files:
                self.files[side.font] = read_font(side.font)
        self._options = (direction, features, script, language)
        self._ports: dict[str, Font] = {}
        self._harfbuzz: Optional[HarfBuzzShaper] = None
        for name, side in zip(_NAMES, self.sides):
            data = self.files[side.font]
            if side.engine == "port":
                self._ports[name] = font = Font(data, index=side.face, backend=side.backend,
                                                variations=side.variations, named_instance=side.named_instance)
                font.shape_many([], direction=direction, features=features, script=script, language=language)
            else:
                location = resolve_location(data.data, side.face, side.variations, side.named_instance)
                self._harfbuzz = HarfBuzzShaper(data.data, side.face, features, script, language, location)

    def glyph_name(self, name: str) -> Names:
        """How the side `name` ("left", "right") names a glyph id, as HarfBuzz gives it (a
        port side: `Font.glyph_names`); None for an id outside the font or a font that names
        no glyph ("gid<N>")."""
        if name not in self._ports and self._harfbuzz is not None:
            return self._harfbuzz.name
        names = self._ports[name].glyph_names

        def known(gid: int) -> Optional[str]:
            if not 0 <= gid < len(names) or names[gid] == f"gid{gid}":
                return None
            return names[gid]

        return known

    def lines(self, texts: Iterable[str], *, start: int = 1, trace: bool = False) -> Iterator[Line]:
        """One Line per text, in input order, numbered from `start`."""
        pending = iter(texts)
        number = start
        while chunk := list(itertools.islice(pending, _CHUNK)):
            outcomes = {name: list(self._shape(font, chunk, trace)) for name, font in self._ports.items()}
            for k, text in enumerate(chunk):
                yield self._line(number, text, {name: shaped[k] for name, shaped in outcomes.items()}, trace)
                number += 1

    def _shape(self, font: Font, texts: list[str], trace: bool) -> Iterator[Outcome]:
        direction, features, script, language = self._options
        return font.shape_many(texts, direction=direction, features=features, script=script,
                               language=language, trace=trace)

    def _line(self, number: int, text: str, outcomes: dict[str, Outcome], trace: bool) -> Line:
        rows: dict[str, Optional[tuple[Row, ...]]] = {}
        steps: dict[str, Optional[tuple[Step, ...]]] = {}
        errors: dict[str, str] = {}
        for name, outcome in outcomes.items():
            if isinstance(outcome, ShapeError):
                errors[name] = str(outcome)
                rows[name] = None
            else:
                rows[name] = port_rows(outcome)
                steps[name] = port_steps(outcome) if trace else None
        cut: Optional[Parting] = None
        items: Optional[tuple[tuple[int, int, bool], ...]] = None
        if self._harfbuzz is not None:
            name, base = ("right", outcomes["left"]) if "left" in outcomes else ("left", outcomes["right"])
            if isinstance(base, Result):
                rows[name], cut = self._harfbuzz_rows(text, base, name == "right", trace)
                steps[name] = tuple(self._harfbuzz.steps) if trace else None
                if cut is not None:
                    items = tuple((it.start, it.end, it.rtl) for it in base.items)
            else:
                errors[name] = "no items: the port could not shape the line"
                rows[name] = None
        left, right = rows["left"], rows["right"]
        first, kinds = difference(left, right) if left is not None and right is not None else (None, ())
        if cut is not None:
            kinds = ("items", *kinds)
        found = cut
        if trace and kinds and cut is None:
            found = parting(steps.get("left") or (), steps.get("right") or (), self.glyph_name("left"),
                            self.glyph_name("right"))
        at = None
        if first is not None:
            run = left if left is not None and first < len(left) else right
            at = run[first][1] if run is not None and first < len(run) else len(text)
        return Line(number, text, left, right, first, kinds, errors, steps.get("left"), steps.get("right"),
                    found, self._run_names("left", left), self._run_names("right", right), at, items)

    def _run_names(self, name: str, rows: Optional[tuple[Row, ...]]) -> Optional[tuple[str, ...]]:
        if rows is None:
            return None
        glyph_name = self.glyph_name(name)
        names = [glyph_name(row[0]) for row in rows]
        if all(n is None for n in names):
            return None
        return tuple(n or "" for n in names)

    def _harfbuzz_rows(self, text: str, base: Result, port_left: bool,
                       trace: bool) -> tuple[tuple[Row, ...], Optional[Parting]]:
        """The HarfBuzz side's rows, and for a whole line that HarfBuzz shapes otherwise when
        it is cut into the port's items, the parting that says so."""
        assert self._harfbuzz is not None
        if self.harfbuzz_runs == "items":
            return self._harfbuzz.shape(text, base, trace=trace), None
        direction = self._options[0]
        whole, rtl = self._harfbuzz.shape_line(text, base, direction, trace=trace)
        steps = list(self._harfbuzz.steps)
        cut = self._harfbuzz.shape(text, base)
        self._harfbuzz.steps = steps
        if whole == cut:
            return whole, None
        first, _ = difference(cut, whole)
        port_words = "items " + ", ".join(f"{it.start}..{it.end} {'rtl' if it.rtl else 'ltr'}" for it in base.items)
        line_words = f"one run {'rtl' if rtl else 'ltr'}"
        left, right = (port_words, line_words) if port_left else (line_words, port_words)
        return whole, Parting(0, "items", "items", first or 0, left, right)


def compare(left: Side, right: Side, texts: Iterable[str], *, direction: str = "auto",
            features: Features = None, script: Optional[str] = None, language: Optional[str] = None,
            trace: bool = False, start: int = 1, harfbuzz_runs: str = "items") -> Iterator[Line]:
    """Shapes every text on both sides with the same options and yields one Line per text,
    in input order, numbered from `start`. At least one side must be a Uniscribe port: a
    HarfBuzz side shapes the items that port formed (`harfbuzz_runs="items"`) or the whole
    line (`"line"`). Fonts that cannot be used and options that a side cannot apply raise
    FontError or OptionError before anything is shaped."""
    comparison = Comparison(left, right, direction=direction, features=features, script=script,
                            language=language, harfbuzz_runs=harfbuzz_runs)
    return comparison.lines(texts, start=start, trace=trace)
