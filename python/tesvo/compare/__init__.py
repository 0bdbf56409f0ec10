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
glyphs or other positions, with the values each side holds there. Steps are lined up by what
they are (a lookup by table and index), and a step that ran on one side only is the parting
step when it is where the sides first differ. Between two fonts glyphs are compared by name
(`glyphs="names"`); `ignore` leaves kinds of difference out.

Here are `Comparison` and `compare`; the records are in `records`, what differs and where two
traces part in `diff`, the HarfBuzz side in `harfbuzz`, and the engines a side names (uharfbuzz
imported only for a HarfBuzz side) in `engines`.

    >>> from tesvo.compare import Side, compare
    >>> for line in compare(Side("old.ttf"), Side("new.ttf"), ["Wave", "office"]):
    ...     print(line.number, line.kinds)
"""

from __future__ import annotations

import itertools
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Optional, Union

from tesvo.axes import resolve_location
from tesvo.compare.diff import GlyphKey, aligned_steps, difference, parting as parting, parting_row, props_difference
from tesvo.compare.diff import port_rows as port_rows, port_steps as port_steps
from tesvo.compare.columns import PortNames, alike_ids, column_difference, column_rows, glyph_columns
from tesvo.compare.harfbuzz import HarfBuzzShaper as HarfBuzzShaper
from tesvo.compare.fonts import LAYOUT_TABLES, LOOKUP_STEP, FontFacts
from tesvo.compare.records import GLYPHS, HARFBUZZ_RUNS, KINDS, OFFSET_CONVENTION, Line, Moved, Parting, Renamed
from tesvo.compare.records import Names as Names, Position as Position, Row as Row, Side, Step, Summary
from tesvo.errors import OptionError, ShapeError
from tesvo.font import Features, Font
from tesvo.fontfile import FontFile, read_font
from tesvo.result import JsonValue, Result

__all__ = ["Side", "Line", "Step", "Parting", "Moved", "Renamed", "Summary", "Comparison", "compare",
           "difference", "parting", "parting_row", "aligned_steps", "ignored_kinds",
           "KINDS", "GLYPHS", "HARFBUZZ_RUNS", "OFFSET_CONVENTION"]

# Lines shaped per engine call on each side.
_CHUNK = 256

Outcome = Union[Result, ShapeError]
_NAMES = ("left", "right")
# Kinds of difference not looked at: a list of them, or one string "advances,offsets".
Ignore = Union[str, Iterable[str]]
# direction, features, script, language
_Options = tuple[str, Features, Optional[str], Optional[str]]


def ignored_kinds(ignore: Ignore) -> tuple[str, ...]:
    """The kinds to ignore, in KINDS order; OptionError names a kind that is not one."""
    words = ignore.split(",") if isinstance(ignore, str) else list(ignore)
    kinds = []
    for word in words:
        if not isinstance(word, str):
            raise OptionError(f"ignore takes kinds as str, not {type(word).__qualname__}")
        kind = word.strip()
        if kind and kind not in KINDS:
            raise OptionError(f"unknown kind {kind!r} to ignore: use {', '.join(KINDS)}")
        kinds.append(kind)
    return tuple(k for k in KINDS if k in kinds)


def _side_options(side: Side, direction: str, features: Features, script: Optional[str],
                  language: Optional[str]) -> _Options:
    """A side's options: its own where it gives them, else the comparison's."""
    return (direction, features if side.features is None else side.features,
            script if side.script is None else side.script, language if side.language is None else side.language)


def _step_table(step: str) -> str:
    """The table a step comes from: "GSUB", "GPOS", "kern", or "" for the shaper's own."""
    m = LOOKUP_STEP.match(step)
    if m is not None:
        return m["table"]
    return "kern" if step == "kern table" else ""


class Comparison:
    """Two sides opened once, with the shaping options of both: `lines` compares texts.

    Each font file is read once (`files` may hold those already read, by path, as a worker
    process is given them); the fonts and the options are checked here, before anything is
    shaped: FontError for a font or a backend that cannot be used, OptionError for options.
    A side's own `features`, `script` and `language` replace the comparison's for that side.
    `harfbuzz_runs` says what a HarfBuzz side shapes as one run: "items", the port's items,
    or "line", the whole line. `glyphs` says how two fonts' glyphs are told the same: "names"
    (the default for two fonts that name their glyphs) or "ids" (the default for one font).
    `ignore`: kinds of difference (of KINDS) neither reported nor looked at, as a list or
    "advances,offsets"."""

    def __init__(self, left: Side, right: Side, *, direction: str = "auto", features: Features = None,
                 script: Optional[str] = None, language: Optional[str] = None,
                 files: Optional[Mapping[str, FontFile]] = None, harfbuzz_runs: str = "items",
                 trace: bool = False, glyphs: Optional[str] = None, ignore: Ignore = (),
                 props: bool = False) -> None:
        """`trace`: the default of lines(), which traces both sides to find where they part.
        `props`: also compare what the two ports' Uniscribe entry points returned beyond the
        glyphs (Result.uniscribe: item analyses, glyph properties, log clusters), kind
        "props"; only between two port sides."""
        left.check()
        right.check()
        if left.engine == "harfbuzz" and right.engine == "harfbuzz":
            raise OptionError("at least one side must be a Uniscribe port: HarfBuzz shapes the port's items")
        if harfbuzz_runs not in HARFBUZZ_RUNS:
            raise OptionError(f"unknown harfbuzz_runs {harfbuzz_runs!r}: use 'items' or 'line'")
        if glyphs is not None and glyphs not in GLYPHS:
            raise OptionError(f"unknown glyphs {glyphs!r}: use 'names' or 'ids'")
        self.ignore = ignored_kinds(ignore)
        if props and "harfbuzz" in (left.engine, right.engine):
            raise OptionError("props: HarfBuzz gives no Uniscribe outputs; compare two port sides")
        self.props = props and "props" not in self.ignore
        self.sides = (left, right)
        self.harfbuzz_runs = harfbuzz_runs
        self.trace = trace
        self.files = dict(files or {})
        for side in self.sides:
            if side.font not in self.files:
                self.files[side.font] = read_font(side.font)
        self._options = {name: _side_options(side, direction, features, script, language)
                         for name, side in zip(_NAMES, self.sides)}
        self._ports: dict[str, Font] = {}
        self._harfbuzz: Optional[HarfBuzzShaper] = None
        for name, side in zip(_NAMES, self.sides):
            data = self.files[side.font]
            options = self._options[name]
            if side.engine == "port":
                self._ports[name] = font = Font(data, index=side.face, backend=side.backend,
                                                variations=side.variations, named_instance=side.named_instance)
                font.shape_many([], direction=options[0], features=options[1], script=options[2],
                                language=options[3])
            else:
                location = resolve_location(data.data, side.face, side.variations, side.named_instance)
                self._harfbuzz = HarfBuzzShaper(data.data, side.face, *options[1:], location)
        self._facts = tuple(FontFacts(self.files[s.font].data, s.face) for s in self.sides)
        self.glyphs = self._glyph_rule(glyphs)
        self._port_names = {name: PortNames(font.glyph_names) for name, font in self._ports.items()}
        # Per glyph id, whether both fonts name it alike: where two runs' columns are equal,
        # the lines are the same by name too when every id is named alike (None: fonts that
        # name every id alike, where ids tell glyphs apart as names do).
        self._alike: Optional[bytes] = None
        if self.glyphs == "names" and len(self._ports) == 2:
            self._alike = alike_ids(self._port_names["left"], self._port_names["right"])

    def _glyph_rule(self, glyphs: Optional[str]) -> str:
        """How glyphs are told the same: by name between two fonts that both name glyphs."""
        left, right = self.sides
        unnamed = [name for name in _NAMES if not self._names_any(name)]
        if glyphs == "names" and unnamed:
            raise OptionError(f"glyphs='names': the {unnamed[0]} font names no glyph (no 'post' names, no CFF "
                              "charset); compare by 'ids'")
        if glyphs is not None:
            return glyphs
        one_font = self.files[left.font].data == self.files[right.font].data and left.face == right.face
        return "ids" if one_font or unnamed else "names"

    def _names_any(self, name: str) -> bool:
        if name in self._ports:
            names = self._ports[name].glyph_names
            return any(n != f"gid{gid}" for gid, n in enumerate(names))
        assert self._harfbuzz is not None
        return any(self._harfbuzz.name(gid) is not None for gid in range(min(self._harfbuzz.glyph_count, 64)))

    def facts(self) -> dict[str, JsonValue]:
        """What the summary record says of the comparison itself: how glyphs were compared,
        what was ignored, and a layout table that one font has and the other lacks."""
        found: dict[str, JsonValue] = {"glyphs": self.glyphs}
        if self.ignore:
            found["ignore"] = list(self.ignore)
        lost = {table: f"{name} only" for table in LAYOUT_TABLES for name, facts in zip(_NAMES, self._facts)
                if table in facts.tables and table not in self._other(name).tables}
        if lost:
            found["tables"] = dict(lost)
        return found

    def _other(self, name: str) -> FontFacts:
        return self._facts[1] if name == "left" else self._facts[0]

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
        for line in self._compared(texts, start, self.trace if trace is None else trace, bare=False):
            assert line is not None
            yield line

    def differing(self, texts: Iterable[str], *, start: int = 1, trace: Optional[bool] = None
                  ) -> Iterator[Optional[Line]]:
        """lines(), with None in place of a line that is the same and has nothing more to
        say (no glyph moved or renamed): what a caller needs that keeps only the lines that
        differ and counts the others, without the same lines' glyphs read as rows."""
        return self._compared(texts, start, self.trace if trace is None else trace, bare=True)

    def _compared(self, texts: Iterable[str], start: int, trace: bool, bare: bool) -> Iterator[Optional[Line]]:
        pending = iter(texts)
        number = start
        by_columns = not trace and self._harfbuzz is None
        while chunk := list(itertools.islice(pending, _CHUNK)):
            outcomes = {name: list(self._shape(name, font, chunk, trace)) for name, font in self._ports.items()}
            for k, text in enumerate(chunk):
                shaped = {name: results[k] for name, results in outcomes.items()}
                told = self._by_columns(number, text, shaped, bare) if by_columns else None
                yield self._line(number, text, shaped, trace) if told is None else told[0]
                number += 1

    def _by_columns(self, number: int, text: str, outcomes: dict[str, Outcome], bare: bool
                    ) -> Optional[tuple[Optional[Line]]]:
        """The line of two port results told from their glyph columns (column_difference),
        in a 1-tuple (None in it: a same line when `bare`); None where the glyphs must be
        compared one by one."""
        left, right = outcomes["left"], outcomes["right"]
        if not isinstance(left, Result) or not isinstance(right, Result):
            return None
        a, b = glyph_columns(left), glyph_columns(right)
        if a is None or b is None:
            return None
        n = len(left.glyphs)
        found = column_difference(a, b, n, self._alike, self.ignore)
        if found is None:
            return None
        first, kinds = found
        props = props_difference(left, right) if self.props else None
        if props is not None:
            kinds = tuple(k for k in KINDS if k in kinds or k == "props")
        if bare and not kinds:
            return (None,)
        at = None if first is None else a[n + first] if first < n else len(text)
        return (Line(number, text, column_rows(a, n), column_rows(b, n), first, kinds, {},
                     left_names=self._port_names["left"].of(a[:n]), right_names=self._port_names["right"].of(b[:n]),
                     at=at, props=props),)

    def _shape(self, name: str, font: Font, texts: list[str], trace: bool) -> Iterator[Outcome]:
        direction, features, script, language = self._options[name]
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
        first: Optional[int] = None
        kinds: tuple[str, ...] = ()
        moved: tuple[Moved, ...] = ()
        renamed: tuple[Renamed, ...] = ()
        if left is not None and right is not None:
            first, kinds, moved, renamed = self._difference(left, right)
        if cut is not None:
            kinds = ("items", *kinds)
        props = None
        if self.props and isinstance(outcomes.get("left"), Result) and isinstance(outcomes.get("right"), Result):
            left_result, right_result = outcomes["left"], outcomes["right"]
            assert isinstance(left_result, Result) and isinstance(right_result, Result)
            props = props_difference(left_result, right_result)
            if props is not None:
                kinds = tuple(k for k in KINDS if k in kinds or k == "props")
        found = cut
        if trace and kinds and cut is None:
            found = self._parting(steps.get("left") or (), steps.get("right") or ())
        at = None
        if first is not None:
            run = left if left is not None and first < len(left) else right
            at = run[first][1] if run is not None and first < len(run) else len(text)
        return Line(number, text, left, right, first, kinds, errors, steps.get("left"), steps.get("right"),
                    found, self._run_names("left", left), self._run_names("right", right), at, items,
                    moved, renamed, props)

    def _difference(self, left: Sequence[Row], right: Sequence[Row]
                    ) -> tuple[Optional[int], tuple[str, ...], tuple[Moved, ...], tuple[Renamed, ...]]:
        """difference() of two runs as this comparison tells glyphs apart: by name, a glyph
        at another id under the same name is moved, one at the same id that draws the same
        under another name is renamed (kind "names")."""
        if self.glyphs == "ids":
            first, kinds = difference(left, right, ignore=self.ignore)
            return first, kinds, (), ()
        left_names, right_names = self.glyph_name("left"), self.glyph_name("right")
        keys: tuple[list[GlyphKey], list[GlyphKey]] = ([left_names(r[0]) or r[0] for r in left],
                                                        [right_names(r[0]) or r[0] for r in right])
        moved, renamed = [], []
        for k, (a, b) in enumerate(zip(left, right)):
            if keys[0][k] == keys[1][k] and a[0] != b[0]:
                moved.append(Moved(k, str(keys[0][k]), a[0], b[0]))
            elif keys[0][k] != keys[1][k] and a[0] == b[0] and self._draws_alike(a[0]):
                renamed.append(Renamed(k, a[0], str(keys[0][k]), str(keys[1][k])))
                keys[1][k] = keys[0][k]
        first, kinds = difference(left, right, ignore=self.ignore, glyph_keys=keys)
        if renamed and "names" not in self.ignore:
            first = min(renamed[0].glyph, first if first is not None else len(left))
            kinds = tuple(k for k in KINDS if k in kinds or k == "names")
        return first, kinds, tuple(moved), tuple(renamed)

    def _draws_alike(self, gid: int) -> bool:
        drawing = self._facts[0].drawing(gid)
        return drawing is not None and drawing == self._facts[1].drawing(gid)

    def parting_row(self, pairs: Sequence[tuple[Optional[Step], Optional[Step]]]) -> Optional[int]:
        """The index of the pair of lined-up steps (aligned_steps) where the sides part, as
        this comparison tells glyphs apart and with what it ignores."""
        found = parting_row(pairs, self.glyph_name("left"), self.glyph_name("right"),
                            by_names=self.glyphs == "names", ignore=self.ignore)
        return found[0] if found is not None else None

    def lookup_name(self, name: str, step: str) -> Optional[str]:
        """The Debg name of the lookup that made a step on the side `name`, if the font has one."""
        return self._facts[_NAMES.index(name)].lookup_name(step)

    def _parting(self, left: Sequence[Step], right: Sequence[Step]) -> Optional[Parting]:
        """Where two traces part, with the lookup's Debg names and a table one font lacks."""
        pairs = aligned_steps(left, right)
        row = parting_row(pairs, self.glyph_name("left"), self.glyph_name("right"),
                          by_names=self.glyphs == "names", ignore=self.ignore)
        if row is None:
            return None
        k, found = row
        sides = [name for name in _NAMES if found.side in ("both", f"{name} only")]
        names = {name: n for name in sides if (n := self.lookup_name(name, found.step)) is not None}
        table = _step_table(found.step)
        lost = [name for name, facts in zip(_NAMES, self._facts)
                if table in facts.tables and table not in self._other(name).tables]
        called = {name: step.nested for name, step in zip(_NAMES, pairs[k]) if step is not None and step.nested}
        called_names = {name: {index: n for index in lookups
                               if (n := self.lookup_name(name, f"{table} lookup {index}")) is not None}
                        for name, lookups in called.items()}
        return found._replace(lookup_names=names or None,
                              table=f"{table} on the {lost[0]} only" if lost else None,
                              nested=called or None,
                              nested_names={name: n for name, n in called_names.items() if n} or None)

    def _run_names(self, name: str, rows: Optional[tuple[Row, ...]]) -> Optional[tuple[str, ...]]:
        if rows is None:
            return None
        if name in self._port_names:
            return self._port_names[name].of([row[0] for row in rows])
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
        direction = self._options["left"][0]
        whole, rtl = self._harfbuzz.shape_line(text, base, direction, trace=trace)
        steps = list(self._harfbuzz.steps)
        cut = self._harfbuzz.shape(text, base)
        self._harfbuzz.steps = steps
        if whole == cut or "items" in self.ignore:
            return whole, None
        first, _ = difference(cut, whole)
        port_words = "items " + ", ".join(f"{it.start}..{it.end} {'rtl' if it.rtl else 'ltr'}" for it in base.items)
        line_words = f"one run {'rtl' if rtl else 'ltr'}"
        left, right = (port_words, line_words) if port_left else (line_words, port_words)
        return whole, Parting(0, "items", "items", first or 0, left, right)


def compare(left: Side, right: Side, texts: Iterable[str], *, direction: str = "auto",
            features: Features = None, script: Optional[str] = None, language: Optional[str] = None,
            trace: bool = False, start: int = 1, harfbuzz_runs: str = "items", glyphs: Optional[str] = None,
            ignore: Ignore = (), props: bool = False) -> Iterator[Line]:
    """Shapes every text on both sides with the same options and yields one Line per text,
    in input order, numbered from `start`. At least one side must be a Uniscribe port: a
    HarfBuzz side shapes the items that port formed (`harfbuzz_runs="items"`) or the whole
    line (`"line"`). `glyphs`, `ignore` and `props` as Comparison takes them. Fonts that cannot be
    used and options that a side cannot apply raise FontError or OptionError before anything
    is shaped."""
    comparison = Comparison(left, right, direction=direction, features=features, script=script,
                            language=language, harfbuzz_runs=harfbuzz_runs, glyphs=glyphs, ignore=ignore,
                            props=props)
    return comparison.lines(texts, start=start, trace=trace)
