"""The comparison report: one self-contained HTML page of the lines two sides shape
differently, each drawn with both sides' outlines one above the other, the differing glyphs
highlighted, and on request both sides' stages up to the first one where they part.

Lines are sorted by what differs (glyph ids, then clusters, advances, offsets; lines one
side could not shape last), then by line number, and capped: a corpus with many thousands
of differences still gives a page that opens; the page says how many it leaves out.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import Optional

from tesvo.compare import Comparison, Line, Parting, Row, Side, Step, Summary, aligned_steps
from tesvo.fontfile import FontFile
from tesvo.report.draw import Placed, attr, defs_svg, facts, glyph_defs, html_page, positioned
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

    def defs(self) -> str:
        return glyph_defs(self.art, self.used, self.prefix)


def _run(art: _Art, rows: Sequence[Row], marked: set[int], names: Optional[Sequence[str]]) -> str:
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
              error: Optional[str], names: Optional[Sequence[str]]) -> str:
    if rows is None:
        body = f'<span class="error">{attr(error or "not shaped")}</span>'
    else:
        body = _run(art, rows, differing(rows, other), names)
    return f'<div class="side"><span class="who">{attr(who)}</span>{body}</div>'


def _step_cells(step: Optional[Step], names: Callable[[int], Optional[str]], at: Optional[int]) -> str:
    if step is None:
        return "<td></td><td></td>"
    ids = []
    for k, gid in enumerate(step.ids):
        name = names(gid)
        shown = f"{gid}" + (f" {name}" if name else "")
        if step.positions is not None:
            advance, dx, dy = step.positions[k]
            shown += f" +{advance}" + (f"@{dx},{dy}" if dx or dy else "")
        ids.append(f"<b>{attr(shown)}</b>" if k == at else attr(shown))
    return f"<td>{attr(f'item {step.item}: {step.name}')}</td><td>{' | '.join(ids)}</td>"


def _steps_table(line: Line, names: tuple[Callable[[int], Optional[str]], Callable[[int], Optional[str]]]) -> str:
    """Both sides' steps lined up side by side, up to the one where they part, which is
    highlighted with the values each side holds there."""
    rows = []
    found = line.parting
    # Steps of items that differ cannot be lined up: the parting row says so alone.
    lined_up = [] if found is not None and found.what == "items" else aligned_steps(line.left_steps or (),
                                                                                    line.right_steps or ())
    for a, b in lined_up:
        parts = found is not None and a is not None and b is not None and a.name == found.step and a.item == found.item
        at = found.glyph if parts and found is not None else None
        cells = _step_cells(a, names[0], at) + _step_cells(b, names[1], at)
        rows.append(f'<tr{" class=parts" if parts else ""}>{cells}</tr>')
        if parts:
            break
    if found is not None:
        rows.append(_parting_row(found))
    head = "<tr><th>left step</th><th>glyphs</th><th>right step</th><th>glyphs</th></tr>"
    return f'<table class="stages">{head}{"".join(rows)}</table>'


def _parting_row(found: Parting) -> str:
    where = f"{found.step} (item {found.item}), glyph {found.glyph}" if found.what != "items" else "itemization"
    return (f'<tr class="values"><td colspan="4">the sides part at {attr(where)}: left '
            f'<b class="left">{attr(found.left)}</b>, right <b class="right">{attr(found.right)}</b></td></tr>')


def _items_row(line: Line) -> str:
    """The port's items, for a line whose difference comes from itemization."""
    if not line.items:
        return ""
    cut = " · ".join(f"{start}..{end} {'rtl' if rtl else 'ltr'}: "
                          f"<span dir=auto>{attr(line.text[start:end])}</span>" for start, end, rtl in line.items)
    return f'<p class="items">the port\'s items: {cut}</p>'


def _section(line: Line, arts: tuple[_Art, _Art], traced: Optional[Line],
             names: tuple[Callable[[int], Optional[str]], Callable[[int], Optional[str]]]) -> str:
    summary = (traced or line).summary
    parts = [f'<section class="line" data-line="{line.number}"><h2>line {line.number}: '
             f'<span dir="auto">{attr(line.text)}</span> <span class="kinds">{attr(summary)}</span></h2>',
             _items_row(line),
             _side_row("left", arts[0], line.left, line.right, line.errors.get("left"), line.left_names),
             _side_row("right", arts[1], line.right, line.left, line.errors.get("right"), line.right_names)]
    if traced is not None:
        parts.append(_steps_table(traced, names))
    parts.append("</section>")
    return "".join(parts)


def render_comparison(comparison: Comparison, lines: Sequence[Line], summary: Summary,
                      options: Mapping[str, Optional[str]], *, cap: int, trace: bool) -> str:
    """The page for the differing `lines` of a comparison. With `trace`, the drawn lines are
    shaped again with a trace on both sides."""
    left, right = comparison.sides
    arts = (_art(comparison.files, left, "a"), _art(comparison.files, right, "b"))
    shown = sorted_lines(lines)[:cap]
    traced = _traced(comparison, shown) if trace else {}
    names = (comparison.glyph_name("left"), comparison.glyph_name("right"))
    sections = "".join(_section(line, arts, traced.get(line.number), names) for line in shown)
    left_out = len(lines) - len(shown)
    note = (f'<p class="note">{left_out} more differing lines are not drawn (the page draws at most '
            f"{cap}, sorted by what differs, then by line).</p>" if left_out > 0 else "")
    table = facts([("left", left.label), ("right", right.label), ("lines", str(summary.lines)),
                   ("same", str(summary.same)), ("different", str(summary.different)),
                   ("not shaped", str(summary.errors)),
                   *((k, v) for k, v in options.items() if v not in (None, "", "auto")),
                   ("offsets", "x_offset, y_offset as HarfBuzz gives them")])
    body = (f"<h1>tesvo compare</h1>{table}{note}{sections}{defs_svg(arts[0].defs() + arts[1].defs())}"
            '<p class="note" id="ready">Glyphs that differ from the other side are red on yellow; '
            "glyphs run in the result's order (items in logical order, right-to-left items as on "
            "screen).</p>")
    return html_page("tesvo compare", "comparison.css", body)


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
