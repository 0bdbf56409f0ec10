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

Here are `Comparison` and `compare`; the records are in `records`, what differs and where two
traces part in `diff`, the HarfBuzz side in `harfbuzz`, and the engines a side names (uharfbuzz
imported only for a HarfBuzz side) in `engines`.

    >>> from tesvo.compare import Side, compare
    >>> for line in compare(Side("old.ttf"), Side("new.ttf"), ["Wave", "office"]):
    ...     print(line.number, line.kinds)
"""

from __future__ import annotations

import itertools
from collections.abc import Iterable, Iterator, Mapping
from typing import Optional, Union

from tesvo.axes import resolve_location
from tesvo.compare.diff import aligned_steps, difference, parting
from tesvo.compare.diff import port_rows as port_rows, port_steps as port_steps
from tesvo.compare.harfbuzz import HarfBuzzShaper as HarfBuzzShaper
from tesvo.compare.records import HARFBUZZ_RUNS, KINDS, OFFSET_CONVENTION, Line, Parting, Side, Step, Summary
from tesvo.compare.records import Names as Names, Position as Position, Row as Row
from tesvo.errors import OptionError, ShapeError
from tesvo.font import Features, Font
from tesvo.fontfile import FontFile, read_font
from tesvo.result import Result

__all__ = ["Side", "Line", "Step", "Parting", "Summary", "Comparison", "compare", "difference", "parting",
           "aligned_steps",
           "KINDS", "HARFBUZZ_RUNS", "OFFSET_CONVENTION"]

# Lines shaped per engine call on each side.
_CHUNK = 256

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
                 files: Optional[Mapping[str, FontFile]] = None, harfbuzz_runs: str = "items",
                 trace: bool = False) -> None:
        """`trace`: the default of lines(), which traces both sides to find where they part."""
        left.check()
        right.check()
        if left.engine == "harfbuzz" and right.engine == "harfbuzz":
            raise OptionError("at least one side must be a Uniscribe port: HarfBuzz shapes the port's items")
        if harfbuzz_runs not in HARFBUZZ_RUNS:
            raise OptionError(f"unknown harfbuzz_runs {harfbuzz_runs!r}: use 'items' or 'line'")
        self.sides = (left, right)
        self.harfbuzz_runs = harfbuzz_runs
        self.trace = trace
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

    def lines(self, texts: Iterable[str], *, start: int = 1, trace: Optional[bool] = None) -> Iterator[Line]:
        """One Line per text, in input order, numbered from `start`; traced as the comparison
        was made (`trace=`) unless this call says otherwise."""
        if trace is None:
            trace = self.trace
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
