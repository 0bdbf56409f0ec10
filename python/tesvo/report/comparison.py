"""The comparison report: one self-contained HTML page of the lines two sides shape
differently, each drawn with both sides' outlines one above the other, the differing glyphs
highlighted, and on request both sides' stages up to the first one where they part.

Lines are sorted by what differs (glyph ids, then clusters, advances, offsets; lines one
side could not shape last), then by line number, and capped: a corpus with many thousands
of differences still gives a page that opens; the page says how many it leaves out.

The page's markup is templates/comparison.html; this module gathers what it shows.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import List, NamedTuple, Optional, Tuple

from tesvo.compare import Comparison, Line, Names, Parting, Row, Side, Step, Summary, aligned_steps
from tesvo.fontfile import FontFile
from tesvo.report.draw import GlyphDefs, Placed, Run, asset, glyph_defs, positioned, render
from tesvo.report.model import differing, sorted_lines
from tesvo.report.outlines import FontArt

RUN_HEIGHT_PX = 64


class _Art:
    """A font's outlines, defined once on the page under a prefix of its own."""

    def __init__(self, data: bytes, index: int, prefix: str) -> None:
        self.art = FontArt(data, index)
        self.prefix = prefix
        self.used: set[int] = set()

    def use(self, gid: int) -> str:
        self.used.add(gid)
        return f"#{self.prefix}{gid}"

    def defs(self) -> GlyphDefs:
        return glyph_defs(self.art, self.used, self.prefix)


class SideRow(NamedTuple):
    """One side of a drawn line: its glyphs, or why it has none."""

    who: str
    run: Optional[Run]
    error: str


class StepCells(NamedTuple):
    """One side's step in the steps table: its name and each glyph's id, name and position,
    `at` the one where the sides part (None: elsewhere)."""

    label: str
    glyphs: List[str]
    at: Optional[int]


class StepRow(NamedTuple):
    left: Optional[StepCells]
    right: Optional[StepCells]
    parts: bool  # the step where the sides part


class StepsTable(NamedTuple):
    """Both sides' steps lined up, up to the one where they part, and where that is."""

    rows: List[StepRow]
    parting: Optional[Parting]
    where: str


class LineSection(NamedTuple):
    line: Line
    summary: str
    items: List[Tuple[int, int, str, str]]  # the port's items: start, end, direction, characters
    sides: Tuple[SideRow, SideRow]
    steps: Optional[StepsTable]


def _run(art: _Art, rows: Sequence[Row], marked: set[int], names: Optional[Sequence[str]]) -> Run:
    """Glyphs at their pen positions plus offsets, in the result's order, left to right."""
    run: list[Placed] = []
    pen = 0
    for k, (gid, _cluster, advance, x_offset, y_offset) in enumerate(rows):
        name = names[k] if names is not None and names[k] else art.art.name(gid)
        title = f"glyph {gid} {name}\nadvance {advance}, offset {x_offset}, {y_offset}"
        run.append(Placed(gid, pen, advance, x_offset, y_offset, title, marked=k in marked))
        pen += advance
    return positioned(art.art, art.use, run, top=art.art.ascender, bottom=art.art.descender,
                      height=RUN_HEIGHT_PX, css_class="run")


def _side_row(who: str, art: _Art, rows: Optional[Sequence[Row]], other: Optional[Sequence[Row]],
              error: Optional[str], names: Optional[Sequence[str]]) -> SideRow:
    if rows is None:
        return SideRow(who, None, error or "not shaped")
    return SideRow(who, _run(art, rows, differing(rows, other), names), "")


def _step_cells(step: Optional[Step], names: Names, at: Optional[int], lookup: Optional[str]) -> Optional[StepCells]:
    if step is None:
        return None
    ids = []
    for k, gid in enumerate(step.ids):
        name = names(gid)
        shown = f"{gid}" + (f" {name}" if name else "")
        if step.positions is not None:
            advance, dx, dy = step.positions[k]
            shown += f" +{advance}" + (f"@{dx},{dy}" if dx or dy else "")
        ids.append(shown)
    label = f"item {step.item}: {step.name}" + (f" \u00b7 {lookup}" if lookup else "")
    if step.nested:
        label += f" \u2192 {', '.join(map(str, step.nested))}"
    return StepCells(label, ids, at)


def _steps_table(comparison: Comparison, line: Line, names: Tuple[Names, Names]) -> StepsTable:
    """Both sides' steps lined up side by side, up to the one where they part (which may
    have run on one side only), which is highlighted with the values each side holds there."""
    rows = []
    found = line.parting
    # Steps of items that differ cannot be lined up: the parting row says so alone.
    lined_up = [] if found is not None and found.what == "items" else aligned_steps(line.left_steps or (),
                                                                                    line.right_steps or ())
    parting_at = comparison.parting_row(lined_up) if found is not None else None
    for k, (a, b) in enumerate(lined_up):
        parts = k == parting_at
        at = found.glyph if parts and found is not None else None
        rows.append(StepRow(_step_cells(a, names[0], at, _lookup(comparison, "left", a)),
                            _step_cells(b, names[1], at, _lookup(comparison, "right", b)), parts))
        if parts:
            break
    where = ""
    if found is not None:
        where = f"{found.words}, glyph {found.glyph}" if found.what != "items" else "itemization"
    return StepsTable(rows, found, where)


def _lookup(comparison: Comparison, name: str, step: Optional[Step]) -> Optional[str]:
    return comparison.lookup_name(name, step.name) if step is not None else None


def _section(comparison: Comparison, line: Line, arts: Tuple[_Art, _Art], traced: Optional[Line],
             names: Tuple[Names, Names]) -> LineSection:
    """A drawn line: the port's items when the difference comes from itemization, both sides'
    runs and, traced, their steps."""
    items = [(start, end, "rtl" if rtl else "ltr", line.text[start:end]) for start, end, rtl in line.items or ()]
    sides = (_side_row("left", arts[0], line.left, line.right, line.errors.get("left"), line.left_names),
             _side_row("right", arts[1], line.right, line.left, line.errors.get("right"), line.right_names))
    return LineSection(line, (traced or line).summary, items, sides,
                       _steps_table(comparison, traced, names) if traced is not None else None)


def render_comparison(comparison: Comparison, lines: Sequence[Line], summary: Summary,
                      options: Mapping[str, Optional[str]], *, cap: int, trace: bool) -> str:
    """The page for the differing `lines` of a comparison. With `trace`, the drawn lines are
    shaped again with a trace on both sides."""
    left, right = comparison.sides
    arts = (_art(comparison.files, left, "a"), _art(comparison.files, right, "b"))
    shown = sorted_lines(lines)[:cap]
    traced = _traced(comparison, shown) if trace else {}
    names = (comparison.glyph_name("left"), comparison.glyph_name("right"))
    sections = [_section(comparison, line, arts, traced.get(line.number), names) for line in shown]
    facts = [("left", left.label), ("right", right.label), ("lines", str(summary.lines)),
             ("same", str(summary.same)), ("different", str(summary.different)),
             ("not shaped", str(summary.errors)),
             *((k, v) for k, v in options.items() if v not in (None, "", "auto")),
             *((k, _fact(v)) for k, v in comparison.facts().items()),
             ("offsets", "x_offset, y_offset as HarfBuzz gives them")]
    # The fonts' glyphs once every drawn line has used its own.
    left_defs, right_defs = arts[0].defs(), arts[1].defs()
    return render("comparison.html", title="tesvo compare", style=asset("comparison.css"), script=None,
                  pending=False, facts_rows=facts, sections=sections, left_out=len(lines) - len(shown), cap=cap,
                  fonts=(left_defs, right_defs))


def _fact(value: object) -> str:
    """A fact of the summary record as the page shows it: "ids", "advances, offsets", "GSUB left only"."""
    if isinstance(value, dict):
        return ", ".join(f"{k} {v}" for k, v in value.items())
    if isinstance(value, list):
        return ", ".join(map(str, value))
    return str(value)


def _art(files: Mapping[str, FontFile], side: Side, prefix: str) -> _Art:
    return _Art(files[side.font].data, side.face, prefix)


def _traced(comparison: Comparison, shown: Sequence[Line]) -> dict[int, Line]:
    """Both sides' steps for the drawn lines that both sides shaped: those the comparison
    traced already, the others shaped again with a trace."""
    done = {line.number: line for line in shown if not line.errors and line.left_steps is not None}
    wanted = [line for line in shown if not line.errors and line.number not in done]
    again = comparison.lines([line.text for line in wanted], trace=True)
    done.update((line.number, redo) for line, redo in zip(wanted, again))
    return done
