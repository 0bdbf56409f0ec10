"""HarfBuzz through uharfbuzz as one side of a comparison: the port's items shaped one by one
or the whole line as one run, with the same options as the port, and with a trace the steps
read from HarfBuzz's messages and named as the bundled port names them."""

from __future__ import annotations

import bisect
from collections.abc import Callable, Sequence
from typing import NamedTuple, Optional, Protocol

import tesvo._engine as _engine
from tesvo.compare.engines import load_uharfbuzz
from tesvo.compare.records import Row, Step
from tesvo.font import Features
from tesvo.result import Result


class _GlyphInfo(Protocol):
    @property
    def codepoint(self) -> int: ...

    @property
    def cluster(self) -> int: ...


class _GlyphPosition(Protocol):
    @property
    def x_advance(self) -> int: ...

    @property
    def x_offset(self) -> int: ...

    @property
    def y_offset(self) -> int: ...


class _Buffer(Protocol):
    """What the trace needs of a uharfbuzz Buffer."""

    @property
    def glyph_infos(self) -> Sequence[_GlyphInfo]: ...

    @property
    def glyph_positions(self) -> Optional[Sequence[_GlyphPosition]]: ...

    def set_message_func(self, callback: Optional[Callable[[str], bool]]) -> None: ...


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
        hb = load_uharfbuzz()
        self._hb = hb
        self._font = hb.Font(hb.Face(data, index))
        if location:
            self._font.set_variations(dict(location))
        self._features = _harfbuzz_features(features)
        self._script = script or None
        self._language = language or None
        self.steps: list[Step] = []
        self.output: tuple[Row, ...] = ()  # the last line as HarfBuzz put it out

    @property
    def glyph_count(self) -> int:
        return int(self._font.face.glyph_count)

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
        rows = [(info.codepoint, info.cluster, pos.x_advance, pos.x_offset, pos.y_offset)
                for info, pos in zip(run.infos, run.positions)]
        self.output = tuple(rows)
        return rows_for_items(rows, run.rtl, result), run.rtl

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
        if self._language and is_ot_language(self._language):
            buf.set_language_from_ot_tag(self._language)
        elif self._language:
            buf.language = self._language  # a BCP 47 code, as the port takes it too
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
        buf.set_message_func(step_recorder(buf, number, self.steps))


def rows_for_items(rows: list[Row], rtl: bool, result: Result) -> tuple[Row, ...]:
    """A whole line's glyphs (in the engine's output order, clusters as str indices) given to
    the port's items by cluster and ordered as the port orders them."""
    logical = list(reversed(rows)) if rtl else rows
    starts = [item.start for item in result.items]
    per_item: list[list[Row]] = [[] for _ in result.items] or [[]]
    for row in logical:
        k = max(0, bisect.bisect_right(starts, row[1]) - 1)
        per_item[k].append(row)
    out: list[Row] = []
    for item, glyphs in zip(result.items, per_item):
        out.extend(reversed(glyphs) if item.rtl else glyphs)
    return tuple(out)


def step_recorder(buf: _Buffer, number: int, steps: list[Step]) -> Callable[[str], bool]:
    """The steps as the bundled port names them: "cmap" at the start of GSUB,
    "reordering ..." after each shaper phase, "GSUB lookup N 'tag'" after each GSUB
    lookup that ran (not after one HarfBuzz skipped), "default positions" when
    positioning starts, then "GPOS lookup N 'tag'", "kern table", "fallback mark",
    "fallback kern". Newer HarfBuzz adds the script to its table messages ("start table
    GSUB script tag 'latn'"), so only the table's name is read."""
    table = ""
    skipped = False
    positioning = False
    nested: dict[int, None] = {}  # the lookups the open lookup called, in order

    def step(name: str, positioned: bool, calls: tuple[int, ...] = ()) -> None:
        ids = tuple(i.codepoint for i in buf.glyph_infos)
        found = buf.glyph_positions if positioned else None
        positions = tuple((p.x_advance, p.x_offset, p.y_offset) for p in found) if found else None
        steps.append(Step(number, name, ids, positions, calls))

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
            nested.clear()
        elif text.startswith(("recursing to lookup ", "start recursing to lookup ")):
            called = words[4 if words[0] == "start" else 3] if len(words) > 4 else ""
            if called.isdigit():
                nested.setdefault(int(called))
        elif text.startswith("skipped lookup "):
            skipped = True
        elif text.startswith("end lookup "):
            if not skipped:
                step(_lookup_name(table, words), table == "GPOS", tuple(nested))
            skipped = False
        return True

    return message


def is_ot_language(language: str) -> bool:
    """Whether a language option is an OpenType language system tag ("SRB", "ZHS") rather
    than a BCP 47 code ("sr-Latn"): the tags are written in capitals, the codes are not."""
    return language.strip().isupper()


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
