"""The comparison report: one self-contained HTML page of the lines two sides shape
differently, each drawn with both sides' outlines one above the other, the differing glyphs
highlighted, and on request both sides' stages up to the first one where they part.

Lines are sorted by what differs (glyph ids, then clusters, advances, offsets; lines one
side could not shape last), then by line number, and capped: a corpus with many thousands
of differences still gives a page that opens; the page says how many it leaves out.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Optional

from tesvo.compare import Comparison, Line, Row, Side, Step, Summary
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


def _run(art: _Art, rows: Sequence[Row], marked: set[int]) -> str:
    """Glyphs at their pen positions plus offsets, in the result's order, left to right."""
    run: list[Placed] = []
    pen = 0
    for k, (gid, _cluster, advance, x_offset, y_offset) in enumerate(rows):
        title = f"glyph {gid} {art.art.name(gid)}\nadvance {advance}, offset {x_offset}, {y_offset}"
        run.append(Placed(gid, pen, advance, x_offset, y_offset, title, marked=k in marked))
        pen += advance
    return positioned(art.art, art.use, run, top=art.art.ascender, bottom=art.art.descender,
                      height=RUN_HEIGHT_PX, css_class="run")


def _side_row(who: str, art: _Art, rows: Optional[Sequence[Row]], other: Optional[Sequence[Row]],
              error: Optional[str]) -> str:
    if rows is None:
        body = f'<span class="error">{attr(error or "not shaped")}</span>'
    else:
        body = _run(art, rows, differing(rows, other))
    return f'<div class="side"><span class="who">{attr(who)}</span>{body}</div>'


def _step_key(name: str) -> str:
    """Step names of the two sides meet on "cmap", "GSUB lookup N" and "final"."""
    return " ".join(name.split()[:3]) if name.startswith("GSUB lookup") else name


def _steps_table(left: Sequence[Step], right: Sequence[Step]) -> str:
    """Both sides' steps side by side, up to the first pair that differs (names or ids)."""
    rows = []
    for k in range(max(len(left), len(right))):
        a = left[k] if k < len(left) else None
        b = right[k] if k < len(right) else None
        parts = a is None or b is None or a.item != b.item or _step_key(a.name) != _step_key(b.name) or a.ids != b.ids
        cells = "".join(
            f"<td>{'' if s is None else attr(f'item {s.item}: {s.name}')}</td>"
            f"<td>{'' if s is None else attr(' '.join(map(str, s.ids)))}</td>" for s in (a, b))
        rows.append(f'<tr{" class=parts" if parts else ""}>{cells}</tr>')
        if parts:
            break
    head = "<tr><th>left stage</th><th>glyph ids</th><th>right stage</th><th>glyph ids</th></tr>"
    return f'<table class="stages">{head}{"".join(rows)}</table>'


def _section(line: Line, arts: tuple[_Art, _Art], traced: Optional[Line]) -> str:
    kinds = ", ".join(line.kinds) if line.kinds else "could not be shaped"
    where = f" from glyph {line.first}" if line.first is not None else ""
    parts = [f'<section class="line"><h2>line {line.number}: <span dir="auto">{attr(line.text)}'
             f'</span> <span class="kinds">{attr(kinds)}{where}</span></h2>',
             _side_row("left", arts[0], line.left, line.right, line.errors.get("left")),
             _side_row("right", arts[1], line.right, line.left, line.errors.get("right"))]
    if traced is not None:
        parts.append(_steps_table(traced.left_steps or (), traced.right_steps or ()))
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
    sections = "".join(_section(line, arts, traced.get(line.number)) for line in shown)
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
    """Both sides' steps for the drawn lines that both sides shaped."""
    wanted = [line for line in shown if not line.errors]
    again = comparison.lines([line.text for line in wanted], trace=True)
    return {line.number: redo for line, redo in zip(wanted, again)}
