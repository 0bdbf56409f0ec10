"""The trace report: one self-contained HTML page that draws a traced tesvo.Result.

For each item there is one row per stage the backend took (cmap, the shaper's reordering
phases, each GSUB lookup, each positioning step, final), showing the glyph run as the font's
own outlines with the characters of each glyph's cluster, as the shaper held it at that
stage, written under it. A substitution or reordering row highlights the glyphs it changed; a
positioning row writes each glyph's advance and offset and highlights those that changed
since the previous positioning step. A last row draws the item's positioned glyphs. A first
section draws the whole line as it appears on screen, the items placed by their bidi levels.
Long runs wrap onto as many lines as they need, right-to-left ones from the right; the stage
rows of a long item start closed. Everything (outlines, style, script) is inline: the page
loads nothing.
"""

from __future__ import annotations

import unicodedata
from typing import List, Optional, Sequence, Tuple

from tesvo.report.draw import Placed, attr, data_block, defs_svg, facts, glyph_defs, html_page, num, positioned

from tesvo.report.model import (
    LOOKUP_STAGE,
    Glyph,
    Item,
    Stage,
    changed_glyphs,
    changed_positions,
    cluster_spans,
    regroup,
    visual_item_order,
)
from tesvo.report.outlines import FontArt
from tesvo.result import Result

Span = Optional[Tuple[int, int]]

CELL_HEIGHT_PX = 44  # height of the ascender-to-descender band of a glyph cell
RUN_HEIGHT_PX = 72  # the same band in the positioned rows
LINE_HEIGHT_PX = 112  # and in the drawing of the whole line
WRAP_WIDTH_PX = 960  # a drawn run wraps to a new line past this width
FINE = 'stroke-width="1" vector-effect="non-scaling-stroke"'  # a one-pixel line at any scale
OPEN_ROWS_UP_TO = 300  # items of more glyphs show their stage rows closed, to be opened


def visible(chars: str) -> str:
    """Characters as they can be read under a glyph: spaces, controls and format characters
    by their code point, a lone combining mark on a dotted circle."""
    out = []
    for ch in chars:
        category = unicodedata.category(ch)
        if ch == " ":
            out.append("\u2423")
        elif category in ("Cc", "Cf", "Zs", "Zl", "Zp", "Cs", "Co", "Cn"):
            out.append(f"U+{ord(ch):04X}")
        elif category in ("Mn", "Me") and not out:
            out.append("\u25cc" + ch)
        else:
            out.append(ch)
    return "".join(out)


def describe_chars(chars: str) -> str:
    codes = " ".join(f"U+{ord(ch):04X}" for ch in chars)
    return f"\u201c{visible(chars)}\u201d {codes}" if chars else "(none)"


class _Page:
    """Collects what the page needs while the rows are written: the glyphs to define once."""

    def __init__(self, art: FontArt, items: Sequence[Item], text: str) -> None:
        self.art = art
        self.lookup_names = art.lookup_names()
        self.text = text
        self.used: set[int] = set()
        self.cells: set[int] = set()
        gids = {g.g for item in items for g in item.final}
        gids |= {g.g for item in items for s in item.stages for g in s.glyphs}
        top, bottom = art.ascender, art.descender
        for gid in gids:
            box = art.bounds(gid)
            if box:
                top, bottom = max(top, int(box[3])), min(bottom, int(box[1]))
        self.top, self.bottom = top, bottom

    @property
    def band(self) -> int:
        return max(1, self.top - self.bottom)

    def use(self, gid: int) -> str:
        self.used.add(gid)
        return f"#g{gid}"

    def _cell_box(self, gid: int) -> Tuple[float, float]:
        """Left and right of a glyph's cell in font units: its ink and advance, padded."""
        advance = self.art.advance(gid)
        box = self.art.bounds(gid)
        left = min(0.0, box[0] if box else 0.0)
        right = max(float(advance), box[2] if box else 0.0, left + self.band * 0.15)
        pad = self.band * 0.04
        return left - pad, right + pad

    def cell_width(self, gid: int) -> str:
        left, right = self._cell_box(gid)
        return num((right - left) * CELL_HEIGHT_PX / self.band)

    def use_cell(self, gid: int) -> str:
        """A glyph as the stage rows draw it, with its baseline and advance edges: defined
        once per glyph, because a long text repeats its glyphs in every row."""
        self.cells.add(gid)
        self.use(gid)
        return f"#c{gid}"

    def _cell_symbol(self, gid: int) -> str:
        left, right = self._cell_box(gid)
        advance = self.art.advance(gid)
        return (
            f'<symbol id="c{gid}" viewBox="{num(left)} {-self.top} {num(right - left)} {self.band}">'
            # The lines carry their own stroke: the page's style does not reach into the
            # copies that <use> makes of a symbol.
            f'<line stroke="#9ab" {FINE} x1="{num(left)}" y1="0" x2="{num(right)}" y2="0"/>'
            f'<line stroke="#dde" {FINE} x1="0" y1="{-self.top}" x2="0" y2="{-self.bottom}"/>'
            f'<line stroke="#dde" {FINE} x1="{advance}" y1="{-self.top}" x2="{advance}" '
            f'y2="{-self.bottom}"/><use href="#g{gid}" transform="scale(1,-1)"/></symbol>'
        )

    def chars(self, span: Span) -> str:
        return self.text[span[0] : span[1]] if span else ""

    def glyph_title(self, glyph: Glyph, span: Span, positioned: bool) -> str:
        lines = [f"glyph {glyph.g} {self.art.name(glyph.g)}"]
        if span:
            lines.append(f"cluster {span[0]}..{span[1]}: {describe_chars(self.chars(span))}")
        if positioned:
            lines.append(f"advance {glyph.ax}, offset {glyph.dx}, {glyph.dy}")
        return "\n".join(lines)

    def data(self) -> str:
        """What the page's script needs to title a cell: the text and the glyphs' names."""
        names: dict[str, str] = {str(gid): self.art.name(gid) for gid in sorted(self.cells)}
        return data_block("tesvo-data", {"text": self.text, "names": dict(names)})

    def defs(self) -> str:
        cells = "".join(self._cell_symbol(gid) for gid in sorted(self.cells))
        return defs_svg(glyph_defs(self.art, self.used) + cells)


def _cluster_attrs(span: Span) -> str:
    return f' data-cl="{span[0]}" data-ce="{span[1]}"' if span else ""


def _position_note(glyph: Glyph, moved: Tuple[bool, bool]) -> str:
    """The advance and offset under a glyph of a positioning row, as hb-shape writes them
    (+advance, @x,y when there is an offset), a changed value in bold."""
    advance = f"+{glyph.ax}"
    parts = [f"<b>{advance}</b>" if moved[0] else advance]
    if glyph.dx or glyph.dy or moved[1]:
        offset = f"@{glyph.dx},{glyph.dy}"
        parts.append(f"<b>{offset}</b>" if moved[1] else offset)
    return f'<span class="pos">{"".join(parts)}</span>'


def _glyph_cell(page: _Page, glyph: Glyph, span: Span, changed: bool, position: Optional[Tuple[bool, bool]]) -> str:
    width = page.cell_width(glyph.g)
    cls = "g changed" if changed else "g"
    # A long text repeats a cell in every stage row, so the cell carries only what it
    # shows; the page's script writes its title (name, characters) when it is pointed at.
    return (
        f'<div class="{cls}"{_cluster_attrs(span)}>'
        f'<svg width="{width}" height="{CELL_HEIGHT_PX}"><use href="{page.use_cell(glyph.g)}"/></svg>'
        f'<span class="gid">{glyph.g}</span>'
        f'<span class="ch">{attr(visible(page.chars(span)))}</span>'
        f'{_position_note(glyph, position) if position is not None else ""}</div>'
    )


def _stage_title(page: _Page, name: str) -> str:
    """The stage's name, with the lookup's name from the font's Debg table when it has one."""
    m = LOOKUP_STAGE.match(name)
    if m:
        lookup = page.lookup_names.get((m["table"], int(m["index"])))
        if lookup:
            return f"{name} \u00b7 {lookup}"
    return name


def _stage_changes(
    stage: Stage, ids: Optional[List[int]], placed: Optional[Sequence[Glyph]]
) -> Tuple[List[bool], List[Optional[Tuple[bool, bool]]]]:
    """Which glyphs a stage changed and, in a positioning stage, whether each one's advance
    and offset changed: ids against the stage before, positions against the positioning
    stage before (the first positioning stage moves nothing)."""
    now = [g.g for g in stage.glyphs]
    if not stage.positioned:
        return changed_glyphs(ids, now, moves=stage.kind == "reorder"), [None] * len(now)
    # The final stage may still change glyphs: default ignorables become spaces.
    replaced = changed_glyphs(ids, now)
    moved = changed_positions(placed, stage.glyphs)
    return [c or a or o for c, (a, o) in zip(replaced, moved)], list(moved)


def _stage_rows(page: _Page, item: Item) -> List[str]:
    rows = []
    ids: Optional[List[int]] = None  # the glyph ids of the previous stage
    placed: Optional[Sequence[Glyph]] = None  # the glyphs of the previous positioning stage
    closed = " closed" if len(item.final) > OPEN_ROWS_UP_TO else ""
    direction = "rtl" if item.rtl else "ltr"
    for k, stage in enumerate(item.stages):
        # Cells in logical order, the shaper's, laid out in the item's direction: a
        # right-to-left row reads as on screen, starts at its first glyph and wraps from
        # the right.
        changed, positions = _stage_changes(stage, ids, placed)
        spans = cluster_spans(stage.glyphs, item.start, item.end)
        cells = "".join(_glyph_cell(page, *cell) for cell in zip(stage.glyphs, spans, changed, positions))
        count = sum(changed)
        note = f'<span class="note">{count} changed</span>' if count else ""
        unchanged = " unchanged" if ids is not None and not count else ""
        if closed and cells:
            # Inert until the row is opened: the browser parses it but lays nothing out. A
            # stage that left every glyph as it was refers to the row before it, which the
            # page's script copies when the row is opened.
            before = item.stages[k - 1] if k else None
            same = before is not None and (before.positioned, before.glyphs) == (stage.positioned, stage.glyphs)
            cells = "<template data-same></template>" if same else f"<template>{cells}</template>"
        kind = f' data-kind="{stage.kind}"' if stage.kind else ""
        rows.append(
            f'<tr class="stage{unchanged}{closed}" data-stage="{k}"{kind}><th title="{attr(stage.name)}">'
            f'<span class="name">{attr(_stage_title(page, stage.name))}</span>{note}</th>'
            f'<td><div class="run" dir="{direction}">{cells or "<em>no glyphs</em>"}</div></td></tr>'
        )
        ids = [g.g for g in stage.glyphs]
        if stage.positioned:
            placed = stage.glyphs
    return rows


def _positioned_run(
    page: _Page,
    runs: Sequence[Tuple[Item, Sequence[Glyph]]],
    height: int = RUN_HEIGHT_PX,
    rtl: bool = False,
) -> str:
    """Glyphs drawn at their pen positions plus offsets, left to right: the advance of each
    glyph as a band, marks (no advance) in their own colour, and every non-zero offset as a
    line from the pen position to where the glyph was moved. The run is cut between clusters
    into pieces of at most WRAP_WIDTH_PX, one SVG each, which wrap as lines of text do: a
    right-to-left run starts at the right."""
    Entry = Tuple[Glyph, Span, int]
    entries: List[Entry] = []
    pen = 0
    for item, glyphs in runs:
        for glyph, span in zip(glyphs, cluster_spans(glyphs, item.start, item.end)):
            entries.append((glyph, span, pen))
            pen += glyph.ax
    # Cut from where reading starts, so that only the last line is short.
    wrap = WRAP_WIDTH_PX * page.band / height
    pieces: List[List[Entry]] = [[]]
    width = 0
    after_space = 0  # entries of the last piece up to its last space, 0 for none
    for entry in reversed(entries) if rtl else entries:
        glyph, span = entry[0], entry[1]
        last = pieces[-1]
        if last and span != last[-1][1] and width + glyph.ax > wrap:
            # Break after the piece's last space when it has one, as text wraps.
            cut = after_space or len(last)
            pieces[-1], carried = last[:cut], last[cut:]
            pieces.append(carried)
            width = sum(e[0].ax for e in carried)
            after_space = 0
        pieces[-1].append(entry)
        width += glyph.ax
        if page.chars(span).isspace():
            after_space = len(pieces[-1])
    if rtl:
        # Each piece back in left-to-right order; the first piece, the rightmost, comes
        # first in a right-to-left container.
        pieces = [piece[::-1] for piece in pieces]
    svgs = [_positioned_piece(page, piece, height) for piece in pieces]
    direction = "rtl" if rtl else "ltr"
    return f'<div class="lines" dir="{direction}">{"".join(svgs)}</div>'


def _positioned_piece(page: _Page, piece: Sequence[Tuple[Glyph, Span, int]], height: int) -> str:
    run = [Placed(glyph.g, pen, glyph.ax, glyph.dx, glyph.dy, page.glyph_title(glyph, span, True),
                  _cluster_attrs(span)) for glyph, span, pen in piece]
    return positioned(page.art, page.use, run, top=page.top, bottom=page.bottom, height=height,
                      css_class="positioned")


def _item_text(page: _Page, item: Item) -> str:
    spans = "".join(
        f'<span data-cl="{i}" data-ce="{i + 1}">{attr(page.text[i])}</span>'
        for i in range(item.start, item.end)
    )
    direction = "rtl" if item.rtl else "ltr"
    return f'<p class="text" dir="{direction}">{spans}</p>'


def _item_section(page: _Page, item: Item) -> str:
    direction = "right to left" if item.rtl else "left to right"
    heading = (
        f"Item {item.number} \u00b7 {direction} (level {item.level}) \u00b7 script tag "
        f"\u2018{attr(item.script_tag)}\u2019 (script {item.script}) \u00b7 "
        f"characters {item.start}..{item.end} \u00b7 {len(item.final)} glyphs"
    )
    rows = _stage_rows(page, item) or [
        '<tr class="untraced"><th><span class="name">no trace</span></th>'
        "<td><em>the backend recorded no stage for this item (a trace needs its usp_trace_* exports)</em></td></tr>"
    ]
    rows.append(
        f'<tr class="final"><th><span class="name">positioned</span>'
        f'<span class="note">advances and offsets</span></th>'
        f'<td>{_positioned_run(page, [(item, item.final)], rtl=item.rtl)}</td></tr>'
    )
    return (
        f'<section class="item" data-item="{item.number}" data-rtl="{int(item.rtl)}" data-level="{item.level}">'
        f"<h2>{heading}</h2>{_item_text(page, item)}"
        f'<table class="stages">{"".join(rows)}</table></section>'
    )


LEGEND = (
    '<p class="legend">'
    '<span class="swatch changed"></span> changed by this stage (a positioning stage: advance '
    "or offset changed since the previous one, the new value in bold) "
    '<span class="swatch mark"></span> glyph without advance (mark) '
    '<span class="swatch off"></span> offset from the pen position '
    '<span class="swatch hot"></span> same cluster as the glyph under the pointer. '
    "Glyphs read as on screen, right-to-left items from the right; under each glyph the "
    "characters of its cluster as the shaper held it at that stage. Positioning rows write "
    "+advance and @x,y offset in HarfBuzz's convention, as hb-shape --trace does: until the "
    "final stage an attached mark's offset is relative to its base. "
    "Hover a glyph for its id, name and characters; click a stage's name to show or hide its "
    "glyphs (the rows of long items start hidden)."
    "</p>"
    '<p class="switches"><label><input type="checkbox" id="hide-unchanged"> hide the stages '
    "that changed nothing</label></p>"
)


def render_report(
    result: Result,
    font_data: bytes,
    *,
    font_label: str,
    index: int = 0,
    paragraph_rtl: bool,
    options: Sequence[Tuple[str, str]] = (),
) -> str:
    """The report page for a tesvo.Result shaped with trace=True from face `index` of
    `font_data`, in a paragraph of the given direction."""
    items = regroup(result)
    page = _Page(FontArt(font_data, index), items, result.text)
    line = _positioned_run(
        page,
        [(item, item.final) for item in visual_item_order(items)],
        LINE_HEIGHT_PX,
        rtl=paragraph_rtl,
    )
    sections = "".join(_item_section(page, item) for item in items)
    family = result.font.family
    table = facts(
        [
            ("font", font_label),
            ("family", family),
            ("units per em", str(result.font.upem)),
            ("glyphs in font", str(result.font.glyph_count)),
            ("backend", result.font.backend),
            ("text", result.text),
            ("paragraph", "right to left" if paragraph_rtl else "left to right"),
            *options,
        ]
    )
    title = f"tesvo-shape trace: {family or font_label}"
    body = (
        f"<header><h1>{attr(title)}</h1>{table}{LEGEND}</header>"
        f'<section class="line"><h2>The line as on screen</h2>{line}</section>'
        f"{sections}{page.defs()}{page.data()}"
    )
    return html_page(title, "trace.css", body, body_attrs=' data-tesvo-report="pending"', script="trace.js")
