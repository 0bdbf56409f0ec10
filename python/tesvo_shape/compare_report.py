"""The comparison report: one self-contained HTML page of the lines two sides shape
differently, each drawn with both sides' outlines one above the other, the differing glyphs
highlighted, and on request both sides' stages up to the first one where they part.

Lines are sorted by what differs (glyph ids, then clusters, advances, offsets; lines one
side could not shape last), then by line number, and capped: a corpus with many thousands
of differences still gives a page that opens; the page says how many it leaves out.
"""

from __future__ import annotations

import difflib
import html
from collections.abc import Sequence
from typing import Any, Optional

from .outlines import FontArt

RUN_HEIGHT_PX = 64
ORDER = {"glyphs": 0, "clusters": 1, "advances": 2, "offsets": 3}

STYLE = """
body { font: 14px/1.4 system-ui, sans-serif; margin: 24px; color: #222; }
h1 { font-size: 20px; margin: 0 0 8px; }
table.facts th { text-align: left; padding-right: 16px; font-weight: 600; }
section.line { border-top: 1px solid #ccd; padding: 10px 0; }
section.line h2 { font-size: 15px; margin: 0 0 6px; font-weight: 600; }
.kinds { color: #a40; font-weight: normal; }
.side { display: flex; align-items: center; gap: 12px; overflow-x: auto; }
.side .who { width: 6em; flex: none; color: #555; font-size: 12px; }
.error { color: #b00; }
svg.run rect.adv.a0 { fill: #eef3f8; } svg.run rect.adv.a1 { fill: #e2eaf2; }
svg.run rect.adv.diff { fill: #ffd866; }
svg.run g.pg { fill: #222; } svg.run g.pg.diff { fill: #b3261e; }
svg.run line.base { stroke: #9ab; stroke-width: 1; vector-effect: non-scaling-stroke; }
table.stages { border-collapse: collapse; margin-top: 6px; font: 12px/1.3 ui-monospace, monospace; }
table.stages td, table.stages th { border: 1px solid #dde; padding: 2px 6px; vertical-align: top; text-align: left; }
table.stages tr.parts td { background: #ffd866; }
p.note { color: #555; }
svg.defs { position: absolute; }
"""


def _num(value: float) -> str:
    return f"{value:.6g}"


def _esc(value: object) -> str:
    return html.escape(str(value), quote=True)


class _Art:
    """A font's outlines, defined once on the page under a prefix of its own."""

    def __init__(self, path: str, index: int, prefix: str) -> None:
        with open(path, "rb") as f:
            self.art = FontArt(f.read(), index)
        self.prefix = prefix
        self.used: set[int] = set()

    def use(self, gid: int) -> str:
        self.used.add(gid)
        return f"#{self.prefix}{gid}"

    def defs(self) -> str:
        return "".join(f'<path id="{self.prefix}{gid}" d="{_esc(self.art.path(gid))}"/>'
                       for gid in sorted(self.used))


def _run(art: _Art, rows: Sequence[Sequence[int]], differing: set[int]) -> str:
    """Glyphs at their pen positions plus offsets, in the result's order, left to right."""
    top, bottom = art.art.ascender, art.art.descender
    band = max(1, top - bottom)
    bands, glyphs = [], []
    pen, lo, hi = 0, 0.0, 0.0
    for k, (gid, _cluster, advance, x_offset, y_offset) in enumerate(rows):
        cls = " diff" if k in differing else ""
        if advance or cls:
            bands.append(f'<rect class="adv a{k % 2}{cls}" x="{pen}" y="{bottom}" '
                         f'width="{max(advance, band * 0.05):.0f}" height="{band}"/>')
        x, y = pen + x_offset, y_offset
        glyphs.append(f'<g class="pg{cls}"><title>glyph {gid} {_esc(art.art.name(gid))}\n'
                      f'advance {advance}, offset {x_offset}, {y_offset}</title>'
                      f'<use href="{art.use(gid)}" transform="translate({x},{y})"/></g>')
        box = art.art.bounds(gid)
        if box:
            lo, hi = min(lo, x + box[0]), max(hi, x + box[2])
        lo, hi = min(lo, x), max(hi, x, pen + advance)
        pen += advance
    pad = band * 0.05
    lo, hi = lo - pad, hi + pad
    width = max(hi - lo, 1.0)
    scale = RUN_HEIGHT_PX / band
    return (f'<svg class="run" width="{_num(width * scale)}" height="{RUN_HEIGHT_PX}" '
            f'viewBox="{_num(lo)} {-top} {_num(width)} {band}"><g transform="scale(1,-1)">'
            f'{"".join(bands)}<line class="base" x1="{_num(lo)}" y1="0" x2="{_num(hi)}" y2="0"/>'
            f'{"".join(glyphs)}</g></svg>')


def _differing(mine: Sequence[Sequence[int]], theirs: Optional[Sequence[Sequence[int]]]) -> set[int]:
    """The glyphs of `mine` that the other run does not have at the matching place: the
    runs are aligned (difflib), so that a ligature does not mark every glyph after it."""
    if theirs is None:
        return set()
    matcher = difflib.SequenceMatcher(None, [tuple(r) for r in mine], [tuple(r) for r in theirs],
                                      autojunk=False)
    same = {a + k for a, _, size in matcher.get_matching_blocks() for k in range(size)}
    return set(range(len(mine))) - same


def _side_row(who: str, art: _Art, rows: Optional[Sequence[Sequence[int]]],
              other: Optional[Sequence[Sequence[int]]], error: Optional[str]) -> str:
    if rows is None:
        body = f'<span class="error">{_esc(error or "not shaped")}</span>'
    else:
        body = _run(art, rows, _differing(rows, other))
    return f'<div class="side"><span class="who">{_esc(who)}</span>{body}</div>'


def _stage_key(name: str) -> str:
    """Stage names of the two sides meet on "cmap", "GSUB lookup N" and "final"."""
    return " ".join(name.split()[:3]) if name.startswith("GSUB lookup") else name


def _stage_table(left: list[tuple[int, str, tuple[int, ...]]],
                 right: list[tuple[int, str, tuple[int, ...]]]) -> str:
    """Both sides' stages side by side, up to the first pair that differs (names or ids)."""
    rows = []
    for k in range(max(len(left), len(right))):
        a = left[k] if k < len(left) else None
        b = right[k] if k < len(right) else None
        parts = a is None or b is None or a[0] != b[0] or _stage_key(a[1]) != _stage_key(b[1]) or a[2] != b[2]
        cells = "".join(
            f"<td>{'' if s is None else _esc(f'item {s[0]}: {s[1]}')}</td>"
            f"<td>{'' if s is None else _esc(' '.join(map(str, s[2])))}</td>" for s in (a, b))
        rows.append(f'<tr{" class=parts" if parts else ""}>{cells}</tr>')
        if parts:
            break
    head = "<tr><th>left stage</th><th>glyph ids</th><th>right stage</th><th>glyph ids</th></tr>"
    return f'<table class="stages">{head}{"".join(rows)}</table>'


def _stages(result: Any) -> list[tuple[int, str, tuple[int, ...]]]:
    if result is None:
        return []
    if isinstance(result, list):  # a HarfBuzz side's recorded stages
        return result
    # The glyph sequence step by step: positioning steps change no glyph, and the
    # HarfBuzz side records none.
    return [(s.item, s.name, s.ids) for s in (result.stages or ()) if s.kind != "position"]


def sorted_lines(lines: Sequence[Any]) -> list[Any]:
    def key(line: Any) -> tuple[int, int]:
        worst = min((ORDER[k] for k in line.kinds), default=len(ORDER))
        return worst, line.number
    return sorted(lines, key=key)


def render_comparison(left: Any, right: Any, lines: Sequence[Any], summary: Any,
                      options: dict[str, Any], *, cap: int, trace: bool) -> str:
    """The page for the differing `lines` of a comparison of sides `left` and `right`. With
    `trace`, the drawn lines are shaped again with a trace on both sides."""
    arts = (_Art(left.font, left.index, "a"), _Art(right.font, right.index, "b"))
    shown = sorted_lines(lines)[:cap]
    traced = _traced(left, right, shown, options) if trace else {}
    sections = []
    for line in shown:
        kinds = ", ".join(line.kinds) if line.kinds else "could not be shaped"
        where = f" from glyph {line.first}" if line.first is not None else ""
        parts = [f'<section class="line"><h2>line {line.number}: <span dir="auto">{_esc(line.text)}'
                 f'</span> <span class="kinds">{_esc(kinds)}{where}</span></h2>',
                 _side_row("left", arts[0], line.left, line.right, line.errors.get("left")),
                 _side_row("right", arts[1], line.right, line.left, line.errors.get("right"))]
        if line.number in traced:
            parts.append(_stage_table(*traced[line.number]))
        parts.append("</section>")
        sections.append("".join(parts))
    left_out = len(lines) - len(shown)
    note = (f'<p class="note">{left_out} more differing lines are not drawn (the page draws at most '
            f"{cap}, sorted by what differs, then by line).</p>" if left_out > 0 else "")
    facts = [("left", left.label), ("right", right.label), ("lines", summary.lines),
             ("same", summary.same), ("different", summary.different), ("not shaped", summary.errors),
             *((k, v) for k, v in options.items() if v not in (None, "", "auto")),
             ("offsets", "x_offset, y_offset as HarfBuzz gives them")]
    table = "".join(f"<tr><th>{_esc(k)}</th><td dir=\"auto\">{_esc(v)}</td></tr>" for k, v in facts)
    defs = f'<svg class="defs" width="0" height="0" aria-hidden="true"><defs>{arts[0].defs()}{arts[1].defs()}</defs></svg>'
    return ("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>tesvo compare</title>"
            f"<style>{STYLE}</style></head><body><h1>tesvo compare</h1>"
            f'<table class="facts">{table}</table>{note}{"".join(sections)}{defs}'
            '<p class="note" id="ready">Glyphs that differ from the other side are red on yellow; '
            "glyphs run in the result's order (items in logical order, right-to-left items as on "
            "screen).</p></body></html>\n")


def _traced(left: Any, right: Any, shown: Sequence[Any], options: dict[str, Any]) -> dict[int, tuple[Any, Any]]:
    """Both sides' stages for the drawn lines that both sides shaped."""
    from tesvo.compare import compare

    wanted = [line for line in shown if not line.errors]
    out = {}
    again = compare(left, right, [line.text for line in wanted], trace=True, **options)
    for line, redo in zip(wanted, again):
        out[line.number] = (_stages(redo.left_result), _stages(redo.right_result))
    return out
