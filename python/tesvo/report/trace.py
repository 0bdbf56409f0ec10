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

The page's markup is templates/trace.html; this module gathers what it shows from the view
model: the rows, the drawn runs, the glyphs to define and the data block.
"""

from __future__ import annotations

import re
from typing import Dict, List, NamedTuple, Optional, Sequence, Tuple

from tesvo.report.draw import Attrs, GlyphDefs, Placed, Run, asset, glyph_defs, num, positioned, render
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
from tesvo.report.uniscribe_view import PropsRow, props_rows
from tesvo.result import JsonValue, Result

Span = Optional[Tuple[int, int]]

STAGE_TAG = re.compile(r"'(?P<tag>[^']{1,4})'$")  # a lookup's feature tag at the end of its name

CELL_HEIGHT_PX = 44  # height of the ascender-to-descender band of a glyph cell
RUN_HEIGHT_PX = 72  # the same band in the positioned rows
LINE_HEIGHT_PX = 112  # and in the drawing of the whole line
WRAP_WIDTH_PX = 960  # a drawn run wraps to a new line past this width
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

    def _cell(self, gid: int) -> Cell:
        left, right = self._cell_box(gid)
        return Cell(gid, left, right, right - left, self.art.advance(gid))

    def chars(self, span: Span) -> str:
        return self.text[span[0] : span[1]] if span else ""

    def data(self, items: List[JsonValue]) -> JsonValue:
        """What the page's script draws the stage rows from: the text, the glyphs' names and
        cell widths, and each item's stages."""
        names: Dict[str, JsonValue] = {str(gid): self.names.get(gid) or self.art.name(gid)
                                       for gid in sorted(self.cells | self.used)}
        widths: Dict[str, JsonValue] = {str(gid): self.cell_width(gid) for gid in sorted(self.cells)}
        return {"text": self.text, "names": names, "widths": widths, "height": CELL_HEIGHT_PX, "items": items}

    def defs(self) -> Tuple[GlyphDefs, List[Cell]]:
        """The definitions of every glyph drawn, and of the cells the stage rows draw."""
        return glyph_defs(self.art, self.used), [self._cell(gid) for gid in sorted(self.cells)]


class Cell(NamedTuple):
    """A glyph as the stage rows draw it: from `left` to `right` in font units (`width` wide)
    around its advance, from the page's top down to its bottom."""

    gid: int
    left: float
    right: float
    width: float
    advance: int


class Lines(NamedTuple):
    """A drawn run cut into pieces that wrap as lines of text do, in a container of the
    run's direction."""

    direction: str
    pieces: List[Run]


class StageRow(NamedTuple):
    """The row of one stage, which the page's script fills with its glyphs: `changed` of them
    changed, `tag` and `lookup` what the filter matches it by (None: not a lookup)."""

    css_class: str
    stage: int
    changed: int
    kind: Optional[str]
    tag: Optional[str]
    lookup: Optional[str]
    name: str
    title: str  # the name with the lookup's own name from the font, when it has one
    empty: bool


class ItemSection(NamedTuple):
    item: Item
    rows: List[StageRow]
    final: Lines
    props: Optional[PropsRow] = None  # what the Uniscribe implementation returned


def _cluster_attrs(span: Span) -> Attrs:
    return (("data-cl", span[0]), ("data-ce", span[1])) if span else ()


def _stage_title(page: _Page, stage: Stage) -> str:
    """The stage's name, with the lookup's name from the font's Debg table when it has one,
    and the lookups it called (with theirs): "GSUB lookup 31 'abvs' → 32 · ivowel_alt"."""
    m = LOOKUP_STAGE.match(stage.name)
    if not m:
        return stage.name
    title = stage.name
    lookup = page.lookup_names.get((m["table"], int(m["index"])))
    if lookup:
        title += f" \u00b7 {lookup}"
    called = []
    for index in stage.nested:
        name = page.lookup_names.get((m["table"], index))
        called.append(f"{index} \u00b7 {name}" if name else str(index))
    if called:
        title += f" \u2192 {', '.join(called)}"
    return title


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


def _stage_filter(name: str) -> Tuple[Optional[str], Optional[str]]:
    """What the filter matches a row by: its feature tag and its lookup."""
    m = STAGE_TAG.search(name)
    lookup = LOOKUP_STAGE.match(name)
    return m["tag"] if m else None, f'{lookup["table"]} {lookup["index"]}' if lookup else None


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


def _stage_rows(page: _Page, item: Item) -> Tuple[List[StageRow], List[JsonValue]]:
    """The rows of an item's stages, empty until the page's script draws them, and the
    stages' records for the data block."""
    rows: List[StageRow] = []
    records: List[JsonValue] = []
    ids: Optional[List[int]] = None  # the glyph ids of the previous stage
    placed: Optional[Sequence[Glyph]] = None  # the glyphs of the previous positioning stage
    closed = " closed" if len(item.final) > OPEN_ROWS_UP_TO else ""
    for k, stage in enumerate(item.stages):
        placed_before = k > 0 and item.stages[k - 1].positioned
        changed, positions = _stage_changes(stage, ids, placed, placed_before)
        records.append(_stage_record(page, stage, item.stages[k - 1] if k else None, changed, positions))
        count = sum(changed)
        unchanged = " unchanged" if ids is not None and not count else ""
        # Cells in logical order, the shaper's, laid out in the item's direction: a
        # right-to-left row reads as on screen, starts at its first glyph and wraps from
        # the right.
        rows.append(StageRow(f"stage{unchanged}{closed}", k, count, stage.kind, *_stage_filter(stage.name),
                             stage.name, _stage_title(page, stage), not stage.glyphs))
        ids = [g.g for g in stage.glyphs]
        if stage.positioned:
            placed = stage.glyphs
    return rows, records


def _positioned_run(
    page: _Page,
    runs: Sequence[Tuple[Item, Sequence[Glyph]]],
    height: int = RUN_HEIGHT_PX,
    rtl: bool = False,
) -> Lines:
    """Glyphs drawn at their pen positions plus offsets, left to right: the advance of each
    glyph as a band, marks (no advance) in their own colour, and every non-zero offset as a
    line from the pen position to where the glyph was moved. The run is cut between clusters
    into pieces of at most WRAP_WIDTH_PX, one SVG each, which wrap as lines of text do: a
    right-to-left run starts at the right. Each piece is drawn in a box of its size that the
    browser draws only when it comes near the screen (content-visibility), so that a long
    line costs nothing out of sight."""
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
    return Lines("rtl" if rtl else "ltr", [_positioned_piece(page, piece, height) for piece in pieces])


def _positioned_piece(page: _Page, piece: Sequence[Tuple[Glyph, Span, int]], height: int) -> Run:
    # A long text draws thousands of glyphs here: the page's script writes each one's title
    # (name, characters, position) when it is pointed at, from its data-g and data-p.
    run = [Placed(glyph.g, pen, glyph.ax, glyph.dx, glyph.dy, "",
                  (*_cluster_attrs(span), ("data-g", glyph.g), ("data-p", f"{glyph.ax},{glyph.dx},{glyph.dy}")))
           for glyph, span, pen in piece]
    return positioned(page.art, page.use, run, top=page.top, bottom=page.bottom, height=height,
                      css_class="positioned")


def _item_section(page: _Page, item: Item, records: List[JsonValue], props: Optional[PropsRow]) -> ItemSection:
    rows, stages = _stage_rows(page, item)
    records.append({"start": item.start, "end": item.end, "rtl": item.rtl, "stages": stages})
    return ItemSection(item, rows, _positioned_run(page, [(item, item.final)], rtl=item.rtl), props)


def _toolbar(items: Sequence[Item]) -> Tuple[List[str], List[Tuple[str, int]]]:
    """What the filter of the bar at the top offers: the feature tags and the lookups that the
    trace holds."""
    names = [stage.name for item in items for stage in item.stages]
    tags = sorted({m["tag"] for m in map(STAGE_TAG.search, names) if m})
    lookups = sorted({(m["table"], int(m["index"])) for m in map(LOOKUP_STAGE.match, names) if m})
    return tags, lookups


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
    starts = [0]
    for item in items[:-1]:
        starts.append(starts[-1] + len(item.final))
    props = props_rows(result, starts)
    sections = [_item_section(page, item, records, row) for item, row in zip(items, props)]
    family = result.font.family
    facts = [
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
    tags, lookups = _toolbar(items)
    glyphs, cells = page.defs()
    return render("trace.html", title=f"tesvo-shape trace: {family or font_label}", style=asset("trace.css"),
                  script=asset("trace.js"), pending=True, facts_rows=facts, tags=tags, lookups=lookups, line=line,
                  sections=sections, text=result.text, glyphs=glyphs, cells=cells, top=page.top,
                  bottom=page.bottom, band=page.band, data=page.data(records))
