"""The trace report: one self-contained HTML page that draws a traced tesvo.Result.

For each item there is one row per stage the backend took (cmap, the shaper's reordering
phases, each GSUB lookup, each positioning step, final), showing the glyph run as the font's
own outlines with the characters of each glyph's cluster, as the shaper held it at that
stage, written under it. A substitution or reordering row highlights the glyphs it changed; a
positioning row writes each glyph's advance and offset and highlights those that changed
since the previous positioning step. A last row draws the item's positioned glyphs. A first
section draws the whole line as it appears on screen, the items placed by their bidi levels.
Long runs wrap onto as many lines as they need, right-to-left ones from the right; the stage
rows of a long item start closed.

The stage rows are drawn by the page's script, on demand (when a row comes into view or is
opened), from one data block: each stage's glyph ids, clusters, positions and what it changed,
a stage that changed nothing written once as the same as the one before. Every glyph's
outline is defined once. A bar at the top moves to the next or previous stage that changed
something, filters the stages by feature tag or lookup, and lights the glyphs of a range of
characters or of a word in every row. Everything (outlines, style, script) is inline: the page
loads nothing.
"""

from __future__ import annotations

import re
from typing import Dict, List, Optional, Sequence, Tuple

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
from tesvo.result import JsonValue, Result

Span = Optional[Tuple[int, int]]

STAGE_TAG = re.compile(r"'(?P<tag>[^']{1,4})'$")  # a lookup's feature tag at the end of its name

CELL_HEIGHT_PX = 44  # height of the ascender-to-descender band of a glyph cell
RUN_HEIGHT_PX = 72  # the same band in the positioned rows
LINE_HEIGHT_PX = 112  # and in the drawing of the whole line
WRAP_WIDTH_PX = 960  # a drawn run wraps to a new line past this width
FINE = 'stroke-width="1" vector-effect="non-scaling-stroke"'  # a one-pixel line at any scale
OPEN_ROWS_UP_TO = 300  # items of more glyphs show their stage rows closed, to be opened
TEXT_SHOWN = 200  # characters of the text the facts table shows


class _Page:
    """Collects what the page needs while the rows are written: the glyphs to define once."""

    def __init__(self, art: FontArt, items: Sequence[Item], text: str, names: Dict[int, str]) -> None:
        self.art = art
        self.names = names  # the glyphs' names as the shaping gave them
        self.lookup_names = art.lookup_names()
        self.text = text
        self.used: set[int] = set()
        self.cells: set[int] = set()
        gids = {g.g for item in items for g in item.final}
        gids |= {g.g for item in items for s in item.stages for g in s.changed}
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

    def data(self, items: List[JsonValue]) -> str:
        """What the page's script draws the stage rows from: the text, the glyphs' names and
        cell widths, and each item's stages."""
        names: Dict[str, JsonValue] = {str(gid): self.names.get(gid) or self.art.name(gid)
                                       for gid in sorted(self.cells | self.used)}
        widths: Dict[str, JsonValue] = {str(gid): self.cell_width(gid) for gid in sorted(self.cells)}
        return data_block("tesvo-data", {"text": self.text, "names": names, "widths": widths,
                                         "height": CELL_HEIGHT_PX, "items": items})

    def defs(self) -> str:
        cells = "".join(self._cell_symbol(gid) for gid in sorted(self.cells))
        return defs_svg(glyph_defs(self.art, self.used) + cells)


def _cluster_attrs(span: Span) -> str:
    return f' data-cl="{span[0]}" data-ce="{span[1]}"' if span else ""


def _stage_title(page: _Page, name: str) -> str:
    """The stage's name, with the lookup's name from the font's Debg table when it has one."""
    m = LOOKUP_STAGE.match(name)
    if m:
        lookup = page.lookup_names.get((m["table"], int(m["index"])))
        if lookup:
            return f"{name} \u00b7 {lookup}"
    return name


def _stage_changes(
    stage: Stage, ids: Optional[List[int]], placed: Optional[Sequence[Glyph]], placed_before: bool
) -> Tuple[List[bool], List[Optional[Tuple[bool, bool]]]]:
    """Which glyphs a stage changed and, in a positioning stage, whether each one's advance
    and offset changed: ids against the stage before, positions against the positioning
    stage before (the first positioning stage moves nothing; `placed_before`: that one is
    the stage before). What the stage replaced of the stage before, when known, spares
    comparing the glyphs around it."""
    now = [g.g for g in stage.glyphs]
    span = stage.change[:2] if stage.change is not None else None
    if not stage.positioned:
        return changed_glyphs(ids, now, moves=stage.kind == "reorder", span=span), [None] * len(now)
    # The final stage may still change glyphs: default ignorables become spaces.
    replaced = changed_glyphs(ids, now, span=span)
    moved = changed_positions(placed, stage.glyphs, span if placed_before else None)
    return [c or a or o for c, (a, o) in zip(replaced, moved)], list(moved)


def _stage_filter_attrs(name: str) -> str:
    """What the filter matches a row by: its feature tag and its lookup."""
    m = STAGE_TAG.search(name)
    tag = f' data-tag="{attr(m["tag"])}"' if m else ""
    lookup = LOOKUP_STAGE.match(name)
    return tag + (f' data-lookup="{lookup["table"]} {lookup["index"]}"' if lookup else "")


def _stage_record(page: _Page, stage: Stage, before: Optional[Stage], changed: List[bool],
                  positions: List[Optional[Tuple[bool, bool]]]) -> Dict[str, JsonValue]:
    """One stage as the data block holds it: "g" the glyph ids, "c" their clusters, "p" the
    advance and offsets of each glyph (three numbers a glyph, positioning stages), "x" the
    glyphs it changed, "a" and "o" those whose advance and whose offset changed; or, for a
    stage that left every glyph as the one before it had it, "same" alone."""
    for gid in {g.g for g in stage.changed}:  # the others are the stage before's
        page.use_cell(gid)
    if before is not None and (before.positioned, before.glyphs) == (stage.positioned, stage.glyphs):
        return {"same": 1}
    record: Dict[str, JsonValue] = {"g": [g.g for g in stage.glyphs], "c": [g.cl for g in stage.glyphs]}
    if stage.positioned:
        record["p"] = [v for g in stage.glyphs for v in (g.ax, g.dx, g.dy)]
        record["a"] = [k for k, moved in enumerate(positions) if moved and moved[0]]
        record["o"] = [k for k, moved in enumerate(positions) if moved and moved[1]]
    record["x"] = [k for k, c in enumerate(changed) if c]
    return record


def _stage_rows(page: _Page, item: Item) -> Tuple[List[str], List[JsonValue]]:
    """The rows of an item's stages, empty until the page's script draws them, and the
    stages' records for the data block."""
    rows: List[str] = []
    records: List[JsonValue] = []
    ids: Optional[List[int]] = None  # the glyph ids of the previous stage
    placed: Optional[Sequence[Glyph]] = None  # the glyphs of the previous positioning stage
    closed = " closed" if len(item.final) > OPEN_ROWS_UP_TO else ""
    direction = "rtl" if item.rtl else "ltr"
    for k, stage in enumerate(item.stages):
        placed_before = k > 0 and item.stages[k - 1].positioned
        changed, positions = _stage_changes(stage, ids, placed, placed_before)
        records.append(_stage_record(page, stage, item.stages[k - 1] if k else None, changed, positions))
        count = sum(changed)
        note = f'<span class="note">{count} changed</span>' if count else ""
        unchanged = " unchanged" if ids is not None and not count else ""
        kind = f' data-kind="{stage.kind}"' if stage.kind else ""
        # Cells in logical order, the shaper's, laid out in the item's direction: a
        # right-to-left row reads as on screen, starts at its first glyph and wraps from
        # the right.
        empty = "" if stage.glyphs else "<em>no glyphs</em>"
        rows.append(
            f'<tr class="stage{unchanged}{closed}" data-item="{item.number}" data-stage="{k}" '
            f'data-changed="{count}"{kind}{_stage_filter_attrs(stage.name)}><th title="{attr(stage.name)}">'
            f'<span class="name">{attr(_stage_title(page, stage.name))}</span>{note}</th>'
            f'<td><div class="run" dir="{direction}">{empty}</div></td></tr>'
        )
        ids = [g.g for g in stage.glyphs]
        if stage.positioned:
            placed = stage.glyphs
    return rows, records


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
    return f'<div class="lines" dir="{direction}">{"".join(map(_piece_box, svgs))}</div>'


SVG_SIZE = re.compile(r'<svg [^>]*?width="(?P<width>[^"]+)" height="(?P<height>[^"]+)"')


def _piece_box(svg: str) -> str:
    """A piece of a drawn run in a box of its size that the browser draws only when it comes
    near the screen (content-visibility), so that a long line costs nothing out of sight."""
    size = SVG_SIZE.match(svg)
    if size is None:
        return svg
    return (f'<div class="piece" style="contain-intrinsic-size:auto {size["width"]}px auto '
            f'{size["height"]}px">{svg}</div>')


def _positioned_piece(page: _Page, piece: Sequence[Tuple[Glyph, Span, int]], height: int) -> str:
    # A long text draws thousands of glyphs here: the page's script writes each one's title
    # (name, characters, position) when it is pointed at, from its data-g and data-p.
    run = [Placed(glyph.g, pen, glyph.ax, glyph.dx, glyph.dy, "",
                  f'{_cluster_attrs(span)} data-g="{glyph.g}" data-p="{glyph.ax},{glyph.dx},{glyph.dy}"')
           for glyph, span, pen in piece]
    return positioned(page.art, page.use, run, top=page.top, bottom=page.bottom, height=height,
                      css_class="positioned")


def _item_text(page: _Page, item: Item) -> str:
    spans = "".join(
        f'<span data-cl="{i}" data-ce="{i + 1}">{attr(page.text[i])}</span>'
        for i in range(item.start, item.end)
    )
    direction = "rtl" if item.rtl else "ltr"
    return f'<p class="text" dir="{direction}">{spans}</p>'


def _item_section(page: _Page, item: Item, records: List[JsonValue]) -> str:
    direction = "right to left" if item.rtl else "left to right"
    heading = (
        f"Item {item.number} \u00b7 {direction} (level {item.level}) \u00b7 script tag "
        f"\u2018{attr(item.script_tag)}\u2019 (script {item.script}) \u00b7 "
        f"characters {item.start}..{item.end} \u00b7 {len(item.final)} glyphs"
    )
    rows, stages = _stage_rows(page, item)
    records.append({"start": item.start, "end": item.end, "rtl": item.rtl, "stages": stages})
    rows = rows or [
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
    "glyphs (the rows of long items start hidden). Keys: n or j the next stage that changed "
    "something, p or k the previous one, / the search box."
    "</p>"
)


def _toolbar(items: Sequence[Item]) -> str:
    """The bar that stays at the top: moving from change to change, the filter by feature
    tag or lookup (those the trace holds), the search box, and the switch that hides the
    stages that changed nothing."""
    names = [stage.name for item in items for stage in item.stages]
    tags = sorted({m["tag"] for m in map(STAGE_TAG.search, names) if m})
    lookups = sorted({(m["table"], int(m["index"])) for m in map(LOOKUP_STAGE.match, names) if m})
    options = ['<option value="">every stage</option>']
    options += [f'<option value="tag:{attr(tag)}">feature \u2018{attr(tag)}\u2019</option>' for tag in tags]
    options += [f'<option value="lookup:{table} {index}">{table} lookup {index}</option>' for table, index in lookups]
    return (
        '<nav class="bar">'
        '<button type="button" id="prev-change" title="previous stage that changed something (p, k)">'
        "\u25b2 previous change</button>"
        '<button type="button" id="next-change" title="next stage that changed something (n, j)">'
        "next change \u25bc</button>"
        f'<label>show <select id="filter">{"".join(options)}</select></label>'
        '<label>find <input type="search" id="search" size="24" '
        'placeholder="a word, or characters 10..25" title="a word of the text, or a range of characters '
        '(from..to, counted from 0; the end is not included): its glyphs light up in every row (/)"></label>'
        '<span id="status" class="status"></span>'
        '<label><input type="checkbox" id="hide-unchanged"> hide the stages that changed nothing</label>'
        "</nav>"
    )


def _shown_text(text: str) -> str:
    """The text as the facts table shows it: up to TEXT_SHOWN characters, then its length."""
    if len(text) <= TEXT_SHOWN:
        return text
    return f"{text[:TEXT_SHOWN]}\u2026 ({len(text):,} characters; the rows below show all of it)"


def shaped_names(result: Result) -> Dict[int, str]:
    """The names HarfBuzz gave the glyphs of a result ("gid<N>", its name for a glyph the
    font does not name, left out: the font's glyph order as fontTools reads it stands in)."""
    glyphs = [(g.id, g.name) for g in result.glyphs]
    for stage in result.stages or ():  # every glyph of a stage came in with a change
        change = stage.change
        glyphs += [(g.id, g.name) for g in (change.glyphs if change is not None else stage.glyphs)]
    return {gid: name for gid, name in glyphs if name and name != f"gid{gid}"}


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
    location = {axis.tag: axis.value for axis in result.location}
    page = _Page(FontArt(font_data, index, location), items, result.text, shaped_names(result))
    line = _positioned_run(
        page,
        [(item, item.final) for item in visual_item_order(items)],
        LINE_HEIGHT_PX,
        rtl=paragraph_rtl,
    )
    records: List[JsonValue] = []
    sections = "".join(_item_section(page, item, records) for item in items)
    family = result.font.family
    table = facts(
        [
            ("font", font_label),
            ("family", family),
            ("units per em", str(result.font.upem)),
            ("glyphs in font", str(result.font.glyph_count)),
            ("backend", result.font.backend),
            *([("backend runs on", result.font.backend_version)] if result.font.backend_version else []),
            *([("location", ", ".join(f"{a.tag}={a.value:g} ({a.normalized:+.3f})" for a in result.location))]
              if result.location else []),
            ("text", _shown_text(result.text)),
            ("length", f"{len(result.text):,} characters, {len(result.glyphs):,} glyphs, {len(items)} items"),
            ("paragraph", "right to left" if paragraph_rtl else "left to right"),
            *options,
        ]
    )
    title = f"tesvo-shape trace: {family or font_label}"
    body = (
        f"<header><h1>{attr(title)}</h1>{table}{LEGEND}</header>{_toolbar(items)}"
        f'<section class="line"><h2>The line as on screen</h2>{line}</section>'
        f"{sections}{page.defs()}{page.data(records)}"
    )
    return html_page(title, "trace.css", body, body_attrs=' data-tesvo-report="pending"', script="trace.js")
