"""What both reports draw the same way: escaping, numbers, the facts table, a data block the
page's script reads, glyph definitions, a run of glyphs at their positions, and the page
around it all (its style and script read from the package's data files)."""

from __future__ import annotations

import html
import json
from collections.abc import Callable, Iterable, Sequence
from importlib import resources
from typing import NamedTuple, Optional

from tesvo.result import JsonValue
from tesvo.report.outlines import FontArt


def num(value: float) -> str:
    return f"{value:.6g}"


def attr(value: object) -> str:
    """Text for an attribute value or an element, quotes escaped."""
    return html.escape(str(value), quote=True)


def asset(name: str) -> str:
    """A data file of the report package: a page's style or script."""
    return resources.files(__package__).joinpath(name).read_text(encoding="utf-8")


def facts(rows: Iterable[tuple[str, str]]) -> str:
    """The table of facts at the head of a page: a name and a value a row."""
    cells = "".join(f'<tr><th>{attr(k)}</th><td dir="auto">{attr(v)}</td></tr>' for k, v in rows)
    return f'<table class="facts">{cells}</table>'


def data_block(element_id: str, data: JsonValue) -> str:
    """Data for the page's script. Every "<" is written as \\u003c, which JSON reads back as
    "<": a text or a glyph name holding "</script" or "<!--" cannot end the block or put
    the page's own script in a comment."""
    text = json.dumps(data, ensure_ascii=False).replace("<", "\\u003c")
    return f'<script type="application/json" id="{attr(element_id)}">{text}</script>'


def glyph_defs(art: FontArt, gids: Iterable[int], prefix: str = "g") -> str:
    """A definition per glyph, id prefix + glyph id: its outline, or for a font without
    outlines a box as wide as its advance with the id written upright inside (the drawings
    flip y, so the label flips back)."""
    if art.outlines:
        return "".join(f'<path id="{prefix}{gid}" d="{attr(art.path(gid))}"/>' for gid in sorted(gids))
    top, bottom = art.ascender, art.descender
    band, size = max(1, top - bottom), max(1, top - bottom) * 0.3
    return "".join(
        f'<g id="{prefix}{gid}" class="box"><rect x="0" y="{bottom}" '
        f'width="{max(art.advance(gid), 1)}" height="{band}"/>'
        f'<text transform="scale(1,-1)" x="{num(max(art.advance(gid), 1) / 2)}" '
        f'y="{num(-(top + bottom) / 2)}" font-size="{num(size)}">{gid}</text></g>'
        for gid in sorted(gids))


def defs_svg(content: str) -> str:
    return f'<svg class="defs" width="0" height="0" aria-hidden="true"><defs>{content}</defs></svg>'


class Placed(NamedTuple):
    """A glyph placed on a drawn run: at pen position `pen`, moved by its offset (HarfBuzz's
    convention, x positive right). `marked` paints it and its advance as differing. An empty
    `title` writes none (a page whose script titles glyphs when they are pointed at)."""

    gid: int
    pen: int
    advance: int
    dx: int
    dy: int
    title: str
    attrs: str = ""
    marked: bool = False


def positioned(art: FontArt, use: Callable[[int], str], run: Sequence[Placed], *, top: int, bottom: int,
               height: int, css_class: str) -> str:
    """One SVG of glyphs at their pen positions plus offsets, left to right: the advance of
    each glyph as a band, marks (no advance) in their own colour, and every non-zero offset
    as a line from the pen position to where the glyph was moved."""
    band = max(1, top - bottom)
    bands: list[str] = []  # painted first, so that no band hides a mark drawn before it
    glyphs: list[str] = []
    lo = hi = float(run[0].pen) if run else 0.0
    for p in run:
        ox, oy = p.pen + p.dx, p.dy
        marked = " diff" if p.marked else ""
        if p.advance or p.marked:
            wide = max(p.advance, round(band * 0.05)) if p.marked else p.advance
            bands.append(f'<rect class="adv a{len(bands) % 2}{marked}" x="{p.pen}" y="{bottom}" '
                         f'width="{wide}" height="{band}"/>')
        kind = ("mark" if p.advance == 0 else "base") + marked
        moved = ""
        if p.dx or p.dy:
            kind += " moved"
            moved = (f'<line class="off" x1="{p.pen}" y1="0" x2="{ox}" y2="{oy}"/>'
                     f'<circle class="off" cx="{ox}" cy="{oy}" r="{num(band * 0.012)}"/>')
        title = f"<title>{attr(p.title)}</title>" if p.title else ""
        glyphs.append(f'<g class="pg {kind}"{p.attrs}>{title}'
                      f'<use href="{use(p.gid)}" transform="translate({ox},{oy})"/>{moved}</g>')
        box = art.bounds(p.gid)
        if box:
            lo, hi = min(lo, ox + box[0]), max(hi, ox + box[2])
        lo, hi = min(lo, ox), max(hi, ox, p.pen + p.advance)
    pad = band * 0.05
    lo, hi = lo - pad, hi + pad
    width = max(hi - lo, 1.0)
    baseline = f'<line class="base" x1="{num(lo)}" y1="0" x2="{num(hi)}" y2="0"/>'
    return (f'<svg class="{css_class}" width="{num(width * height / band)}" height="{height}" '
            f'viewBox="{num(lo)} {-top} {num(width)} {band}">'
            f'<g transform="scale(1,-1)">{"".join(bands)}{baseline}{"".join(glyphs)}</g></svg>')


def html_page(title: str, style: str, body: str, *, body_attrs: str = "", script: Optional[str] = None) -> str:
    """The whole self-contained page: style and script inline, nothing loaded."""
    tail = f"<script>{asset(script)}</script>" if script is not None else ""
    return ('<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            '<meta name="viewport" content="width=device-width">'
            f"<title>{attr(title)}</title><style>{asset(style)}</style></head>"
            f"<body{body_attrs}>{body}{tail}</body></html>\n")
