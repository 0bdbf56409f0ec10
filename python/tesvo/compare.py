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

import os
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, Optional, Union

from tesvo.errors import OptionError, ShapeError
from tesvo.font import Features, Font
from tesvo.result import Result

__all__ = ["Side", "Line", "Summary", "compare", "KINDS", "OFFSET_CONVENTION"]

# What can differ between two glyph runs, in the order a report lists them.
KINDS = ("glyphs", "clusters", "advances", "offsets")
OFFSET_CONVENTION = "harfbuzz"  # x_offset/y_offset; a port's du is negated in right-to-left items

# One glyph as compared: id, cluster, advance, x_offset, y_offset.
Row = tuple[int, int, int, int, int]


@dataclass(frozen=True)
class Side:
    """One side of a comparison: a font (path, face index) and the engine that shapes it.

    `engine` is "port" (a Uniscribe OpenType backend: `backend` names its library, None for
    the module's own choice) or "harfbuzz" (uharfbuzz, on the other side's items)."""

    font: str
    index: int = 0
    engine: str = "port"
    backend: Optional[str] = None

    def __post_init__(self) -> None:
        if self.engine not in ("port", "harfbuzz"):
            raise OptionError(f"unknown engine {self.engine!r}: use 'port' or 'harfbuzz'")
        if self.engine == "harfbuzz" and self.backend is not None:
            raise OptionError("a HarfBuzz side takes no backend library")

    @property
    def label(self) -> str:
        face = f"#{self.index}" if self.index else ""
        name = os.path.basename(self.font) + face
        if self.engine == "harfbuzz":
            return f"{name} (HarfBuzz {_harfbuzz_version()} via uharfbuzz)"
        if self.backend is None:
            return f"{name} (bundled port)"
        return f"{name} (port {os.path.basename(self.backend)})"


@dataclass
class Line:
    """One line compared. `first` is the index of the first glyph where the runs part (the
    length of the shorter run when one run extends the other); `kinds` what differs (empty
    when the runs are equal). A line that one side could not shape has `errors`."""

    number: int
    text: str
    left: Optional[list[Row]]
    right: Optional[list[Row]]
    first: Optional[int] = None
    kinds: tuple[str, ...] = ()
    errors: dict[str, str] = field(default_factory=dict)
    left_result: Optional[Any] = field(default=None, repr=False)
    right_result: Optional[Any] = field(default=None, repr=False)

    @property
    def same(self) -> bool:
        return not self.kinds and not self.errors

    def to_dict(self, *, glyphs: bool = True) -> dict[str, Any]:
        record: dict[str, Any] = {"line": self.number, "text": self.text, "same": self.same}
        if self.errors:
            record["errors"] = self.errors
        if self.kinds:
            record["first"] = self.first
            record["differs"] = list(self.kinds)
        if glyphs and not self.same:
            record["left"] = None if self.left is None else [list(r) for r in self.left]
            record["right"] = None if self.right is None else [list(r) for r in self.right]
        return record


@dataclass
class Summary:
    lines: int = 0
    same: int = 0
    different: int = 0
    errors: int = 0
    by_kind: dict[str, int] = field(default_factory=lambda: {k: 0 for k in KINDS})

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

    def to_dict(self, left: Side, right: Side) -> dict[str, Any]:
        return {"summary": {
            "lines": self.lines, "same": self.same, "different": self.different,
            "errors": self.errors, "by_kind": dict(self.by_kind),
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


def port_rows(result: Result) -> list[Row]:
    """A port's glyphs as compared: x_offset and y_offset, HarfBuzz's convention."""
    return [(g.id, g.cluster, g.advance, g.x_offset, g.y_offset) for g in result.glyphs]


# ---- HarfBuzz through uharfbuzz ----


def _uharfbuzz() -> Any:
    try:
        import uharfbuzz
    except ImportError:
        raise OptionError("the harfbuzz engine needs uharfbuzz: pip install uharfbuzz") from None
    return uharfbuzz


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
                 language: Optional[str]) -> None:
        hb = _uharfbuzz()
        self._hb = hb
        self._font = hb.Font(hb.Face(data, index))
        self._features = _harfbuzz_features(features)
        self._script = script or None
        self._language = language or None
        self.stages: list[tuple[int, str, tuple[int, ...]]] = []

    def shape(self, text: str, result: Result, *, trace: bool = False) -> list[Row]:
        rows: list[Row] = []
        self.stages = []
        for number, item in enumerate(result.items):
            rows.extend(self._shape_item(text, item, number, trace))
        return rows

    def _shape_item(self, text: str, item: Any, number: int, trace: bool) -> list[Row]:
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
            self.stages.append((number, "final", tuple(i.codepoint for i in buf.glyph_infos)))
        return [(info.codepoint, item.start + info.cluster, pos.x_advance, pos.x_offset, pos.y_offset)
                for info, pos in zip(buf.glyph_infos, buf.glyph_positions)]

    def _record(self, buf: Any, number: int) -> None:
        """The glyph-changing stages as the bundled port names them: "cmap" at the start of
        GSUB, "reordering ..." after each shaper phase, "GSUB lookup N" after each GSUB
        lookup that ran (not after one HarfBuzz skipped)."""
        state = {"table": "", "skipped": False}

        def ids() -> tuple[int, ...]:
            return tuple(i.codepoint for i in buf.glyph_infos)

        def message(text: str) -> bool:
            if text == "start table GSUB" or text.startswith("start table GSUB script tag "):
                state["table"] = "GSUB"
                self.stages.append((number, "cmap", ids()))
            elif text.startswith("start table "):
                state["table"] = text[len("start table "):]
            elif state["table"] != "GSUB":
                return True
            elif text.startswith("end reordering "):
                self.stages.append((number, text[len("end "):], ids()))
            elif text.startswith("skipped lookup "):
                state["skipped"] = True
            elif text.startswith("end lookup "):
                if not state["skipped"]:
                    self.stages.append((number, f"GSUB lookup {text.split()[2]}", ids()))
                state["skipped"] = False
            return True

        buf.set_message_func(message)


def _harfbuzz_features(features: Features) -> dict[str, Any]:
    """The feature list as uharfbuzz takes it, parsed by the engine's own parser."""
    if features is None or features == "":
        return {}
    from tesvo import _engine

    parsed: dict[str, Any] = {}
    for tag, value in _engine.parse_features(features if isinstance(features, str) else _mapping_list(features)):
        parsed[tag] = value
    return parsed


def _mapping_list(features: Any) -> str:
    return ", ".join(f"'{tag}'={int(value)}" for tag, value in features.items())


# ---- the comparison ----

Outcome = Union[Result, ShapeError]


def compare(left: Side, right: Side, texts: Iterable[str], *, direction: str = "auto",
            features: Features = None, script: Optional[str] = None, language: Optional[str] = None,
            trace: bool = False, start: int = 1) -> Iterator[Line]:
    """Shapes every text on both sides with the same options and yields one Line per text,
    in input order, numbered from `start`. At least one side must be a Uniscribe port: a
    HarfBuzz side shapes the items that port formed. Options that a side cannot apply raise
    OptionError before anything is shaped."""
    if left.engine == "harfbuzz" and right.engine == "harfbuzz":
        raise OptionError("at least one side must be a Uniscribe port: HarfBuzz shapes the port's items")
    options: dict[str, Any] = {"direction": direction, "features": features, "script": script,
                               "language": language}
    fonts = {id(side): Font(side.font, index=side.index, backend=side.backend)
             for side in (left, right) if side.engine == "port"}
    port_side = left if left.engine == "port" else right
    harfbuzz = None
    for side in (left, right):
        if side.engine == "harfbuzz":
            with open(side.font, "rb") as f:
                harfbuzz = HarfBuzzShaper(f.read(), side.index, features, script, language)
    return _lines(left, right, texts, options, trace, start, fonts, port_side, harfbuzz)


def _lines(left: Side, right: Side, texts: Iterable[str], options: dict[str, Any], trace: bool,
           start: int, fonts: dict[int, Font], port_side: Side,
           harfbuzz: Optional[HarfBuzzShaper]) -> Iterator[Line]:
    pending = iter(texts)
    number = start
    while True:
        chunk = [t for _, t in zip(range(256), pending)]
        if not chunk:
            return
        ports = {key: list(font.shape_many(chunk, trace=trace, **options)) for key, font in fonts.items()}
        for k, text in enumerate(chunk):
            yield _line(number, text, left, right, ports, k, port_side, harfbuzz, trace)
            number += 1


def _line(number: int, text: str, left: Side, right: Side, ports: dict[int, list[Outcome]], k: int,
          port_side: Side, harfbuzz: Optional[HarfBuzzShaper], trace: bool) -> Line:
    outcomes: dict[str, Optional[Outcome]] = {}
    stages: dict[str, Any] = {}
    for name, side in (("left", left), ("right", right)):
        if side.engine == "port":
            outcomes[name] = ports[id(side)][k]
    line = Line(number, text, None, None)
    rows: dict[str, Optional[list[Row]]] = {}
    for name, side in (("left", left), ("right", right)):
        if side.engine == "port":
            outcome = outcomes[name]
            if isinstance(outcome, ShapeError):
                line.errors[name] = str(outcome)
                rows[name] = None
            else:
                assert outcome is not None
                rows[name] = port_rows(outcome)
                stages[name] = outcome
    for name, side in (("left", left), ("right", right)):
        if side.engine != "harfbuzz":
            continue
        base = outcomes["right" if name == "left" else "left"]
        if not isinstance(base, Result):
            line.errors[name] = "no items: the port could not shape the line"
            rows[name] = None
            continue
        assert harfbuzz is not None
        rows[name] = harfbuzz.shape(text, base, trace=trace)
        stages[name] = list(harfbuzz.stages) if trace else None
    line.left, line.right = rows["left"], rows["right"]
    line.left_result, line.right_result = stages.get("left"), stages.get("right")
    if line.left is not None and line.right is not None:
        line.first, line.kinds = difference(line.left, line.right)
    return line
