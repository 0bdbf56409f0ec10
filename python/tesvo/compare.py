"""Comparison of two ways of shaping the same texts: two fonts through one Uniscribe port,
one font through two ports, or a port against HarfBuzz itself (uharfbuzz).

Each side is a `Side`: a font file (and face index) shaped by an engine. The engine is a
Uniscribe port (the bundled one, or another by library path) or "harfbuzz", which shapes
the items the other side's port formed for the same line, each on its own as a Uniscribe
client does, so that only the shaping differs. Glyphs are compared as (id, cluster,
advance, x_offset, y_offset): offsets in HarfBuzz's convention on both sides (a port's
`du` negated in right-to-left items), clusters as indices into the line's str.

    >>> from tesvo.compare import Side, compare
    >>> for line in compare(Side("old.ttf"), Side("new.ttf"), ["Wave", "office"]):
    ...     print(line.number, line.kinds)
"""

from __future__ import annotations

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

__all__ = ["Side", "Line", "Step", "Summary", "Comparison", "compare", "difference", "KINDS",
           "OFFSET_CONVENTION"]

# What can differ between two glyph runs, in the order a report lists them.
KINDS = ("glyphs", "clusters", "advances", "offsets")
OFFSET_CONVENTION = "harfbuzz"  # x_offset/y_offset; a port's du is negated in right-to-left items

# One glyph as compared: id, cluster, advance, x_offset, y_offset.
Row = tuple[int, int, int, int, int]

# Lines shaped per engine call on each side.
_CHUNK = 256


class Side(NamedTuple):
    """One side of a comparison: a font (path, the index of its face) and the engine that
    shapes it.

    `engine` is "port" (a Uniscribe OpenType backend: `backend` names its library, None for
    the module's own choice) or "harfbuzz" (uharfbuzz, on the other side's items)."""

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
    """One step of a side's shaping that may change glyphs (cmap, a reordering phase, a GSUB
    lookup, final), with the glyph ids after it: what a traced comparison lines up."""

    item: int
    name: str
    ids: tuple[int, ...]


class Line(NamedTuple):
    """One line compared. `first` is the index of the first glyph where the runs part (the
    length of the shorter run when one run extends the other); `kinds` what differs (empty
    when the runs are equal). A line that one side could not shape has `errors` ("left",
    "right" to the message). With a trace, `left_steps` and `right_steps` hold each side's
    steps."""

    number: int
    text: str
    left: Optional[tuple[Row, ...]]
    right: Optional[tuple[Row, ...]]
    first: Optional[int]
    kinds: tuple[str, ...]
    errors: Mapping[str, str]
    left_steps: Optional[tuple[Step, ...]] = None
    right_steps: Optional[tuple[Step, ...]] = None

    @property
    def same(self) -> bool:
        return not self.kinds and not self.errors

    def to_dict(self, *, glyphs: bool = True) -> dict[str, JsonValue]:
        record: dict[str, JsonValue] = {"line": self.number, "text": self.text, "same": self.same}
        if self.errors:
            record["errors"] = dict(self.errors)
        if self.kinds:
            record["first"] = self.first
            record["differs"] = list(self.kinds)
        if glyphs and not self.same:
            record["left"] = _rows_json(self.left)
            record["right"] = _rows_json(self.right)
        return record


def _rows_json(rows: Optional[tuple[Row, ...]]) -> JsonValue:
    if rows is None:
        return None
    return [list(row) for row in rows]


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
            "glyph": ["id", "cluster", "advance", "x_offset", "y_offset"],
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


def port_rows(result: Result) -> tuple[Row, ...]:
    """A port's glyphs as compared: x_offset and y_offset, HarfBuzz's convention."""
    return tuple((g.id, g.cluster, g.advance, g.x_offset, g.y_offset) for g in result.glyphs)


def port_steps(result: Result) -> tuple[Step, ...]:
    """The glyph sequence step by step: positioning steps change no glyph, and the HarfBuzz
    side records none."""
    return tuple(Step(s.item, s.name, s.ids) for s in (result.stages or ()) if s.kind != "position")


# ---- HarfBuzz through uharfbuzz ----


class _GlyphInfo(Protocol):
    codepoint: int


class _Buffer(Protocol):
    """What the trace needs of a uharfbuzz Buffer."""

    @property
    def glyph_infos(self) -> list[_GlyphInfo]: ...

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


class HarfBuzzShaper:
    """HarfBuzz (uharfbuzz) shaping the items a port formed, each item on its own, with the
    same options; results as compared rows in the port's order (items in logical order,
    glyphs of a right-to-left item in visual order)."""

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

    def shape(self, text: str, result: Result, *, trace: bool = False) -> tuple[Row, ...]:
        rows: list[Row] = []
        self.steps = []
        for number, item in enumerate(result.items):
            rows.extend(self._shape_item(text, item, number, trace))
        return tuple(rows)

    def _shape_item(self, text: str, item: Item, number: int, trace: bool) -> list[Row]:
        hb = self._hb
        buf = hb.Buffer()
        buf.add_codepoints([ord(ch) for ch in text[item.start:item.end]])
        buf.direction = "rtl" if item.rtl else "ltr"
        tag = self._script or item.script_tag
        if tag and tag.strip() not in ("", "DFLT", "dflt"):
            buf.set_script_from_ot_tag(tag)
        else:
            buf.script = "Zyyy"
        if self._language:
            buf.set_language_from_ot_tag(self._language)
        flags = 0
        if item.start == 0:
            flags |= hb.BufferFlags.BOT
        if item.end == len(text):
            flags |= hb.BufferFlags.EOT
        buf.flags = hb.BufferFlags(flags)
        if trace:
            self._record(buf, number)
        hb.shape(self._font, buf, self._features)
        if trace:
            buf.set_message_func(None)
            self.steps.append(Step(number, "final", tuple(i.codepoint for i in buf.glyph_infos)))
        return [(info.codepoint, item.start + info.cluster, pos.x_advance, pos.x_offset, pos.y_offset)
                for info, pos in zip(buf.glyph_infos, buf.glyph_positions)]

    def _record(self, buf: _Buffer, number: int) -> None:
        """The glyph-changing stages as the bundled port names them: "cmap" at the start of
        GSUB, "reordering ..." after each shaper phase, "GSUB lookup N" after each GSUB
        lookup that ran (not after one HarfBuzz skipped)."""
        table = ""
        skipped = False

        def ids() -> tuple[int, ...]:
            return tuple(i.codepoint for i in buf.glyph_infos)

        def message(text: str) -> bool:
            nonlocal table, skipped
            if text == "start table GSUB" or text.startswith("start table GSUB script tag "):
                table = "GSUB"
                self.steps.append(Step(number, "cmap", ids()))
            elif text.startswith("start table "):
                table = text[len("start table "):]
            elif table != "GSUB":
                return True
            elif text.startswith("end reordering "):
                self.steps.append(Step(number, text[len("end "):], ids()))
            elif text.startswith("skipped lookup "):
                skipped = True
            elif text.startswith("end lookup "):
                if not skipped:
                    self.steps.append(Step(number, f"GSUB lookup {text.split()[2]}", ids()))
                skipped = False
            return True

        buf.set_message_func(message)


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
    shaped: FontError for a font or a backend that cannot be used, OptionError for options."""

    def __init__(self, left: Side, right: Side, *, direction: str = "auto", features: Features = None,
                 script: Optional[str] = None, language: Optional[str] = None,
                 files: Optional[Mapping[str, FontFile]] = None) -> None:
        left.check()
        right.check()
        if left.engine == "harfbuzz" and right.engine == "harfbuzz":
            raise OptionError("at least one side must be a Uniscribe port: HarfBuzz shapes the port's items")
        self.sides = (left, right)
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
        if self._harfbuzz is not None:
            name, base = ("right", outcomes["left"]) if "left" in outcomes else ("left", outcomes["right"])
            if isinstance(base, Result):
                rows[name] = self._harfbuzz.shape(text, base, trace=trace)
                steps[name] = tuple(self._harfbuzz.steps) if trace else None
            else:
                errors[name] = "no items: the port could not shape the line"
                rows[name] = None
        left, right = rows["left"], rows["right"]
        first, kinds = difference(left, right) if left is not None and right is not None else (None, ())
        return Line(number, text, left, right, first, kinds, errors,
                    steps.get("left"), steps.get("right"))


def compare(left: Side, right: Side, texts: Iterable[str], *, direction: str = "auto",
            features: Features = None, script: Optional[str] = None, language: Optional[str] = None,
            trace: bool = False, start: int = 1) -> Iterator[Line]:
    """Shapes every text on both sides with the same options and yields one Line per text,
    in input order, numbered from `start`. At least one side must be a Uniscribe port: a
    HarfBuzz side shapes the items that port formed. Fonts that cannot be used and options
    that a side cannot apply raise FontError or OptionError before anything is shaped."""
    comparison = Comparison(left, right, direction=direction, features=features, script=script,
                            language=language)
    return comparison.lines(texts, start=start, trace=trace)
