"""What both reports draw the same way, and the templates that write it.

The markup is in the package's templates/ (Jinja2, HTML escaped): `page.html` is the page
around both reports, `draw.html` the parts both draw (the facts table, glyph definitions, a
run of glyphs at their positions), `trace.html` and `comparison.html` the reports. This
module computes what those parts show from the view model and renders a template; each
page's style and script are data files beside it, written into the page as they are."""

from __future__ import annotations

import html
import json
from collections.abc import Callable, Iterable, Sequence
from importlib import resources
from typing import NamedTuple, Optional

from jinja2 import Environment, PackageLoader, StrictUndefined
from markupsafe import Markup

from tesvo.result import JsonValue
from tesvo.report.outlines import FontArt

# An element's attributes past the ones every element of its kind has: (name, value) pairs.
Attrs = tuple[tuple[str, object], ...]


def num(value: float) -> str:
    return f"{value:.6g}"


def _escaped(value: object) -> object:
    """What a template writes for a value: the value escaped as html.escape escapes it (quotes
    as &quot; and &#x27;, in attributes and text alike), markup the templates made as it is."""
    if isinstance(value, (Markup, int)):
        return value
    return Markup(html.escape(str(value), quote=True))


def asset(name: str) -> Markup:
    """A data file of the report package, a page's style or script, written as it is."""
    return Markup(resources.files(__package__).joinpath(name).read_text(encoding="utf-8"))


def script_data(data: JsonValue) -> Markup:
    """Data for the page's script. Every "<" is written as \\u003c, which JSON reads back as
    "<": a text or a glyph name holding "</script" or "<!--" cannot end the block or put
    the page's own script in a comment."""
    return Markup(json.dumps(data, ensure_ascii=False).replace("<", "\\u003c"))


# Autoescaping is on: every value a template writes goes through _escaped, which escapes the
# characters Jinja2's own escaping escapes, in the entities the pages have always had; only
# Markup (a macro's output, the style, the script, the data block) is written as it is.
_ENVIRONMENT = Environment(loader=PackageLoader(__package__, "templates"), autoescape=True, finalize=_escaped,
                           undefined=StrictUndefined, trim_blocks=True, lstrip_blocks=True, keep_trailing_newline=True)
_ENVIRONMENT.filters["num"] = num
_ENVIRONMENT.filters["script_data"] = script_data


def render(template: str, **values: object) -> str:
    """The page a template of the package writes from `values`."""
    return _ENVIRONMENT.get_template(template).render(values)


class Boxes(NamedTuple):
    """How a font without outlines draws its glyphs: a box from the descender up to the
    ascender, as wide as the glyph's advance, with the glyph's id written in its middle."""

    bottom: int
    band: int
    label_y: float
    size: float


class GlyphDef(NamedTuple):
    """One glyph's definition, id prefix + glyph id: its outline's path data, or for a font
    without outlines (`path` None) a box `width` wide."""

    gid: int
    id: str
    path: Optional[str]
    width: int


class GlyphDefs(NamedTuple):
    glyphs: tuple[GlyphDef, ...]
    boxes: Optional[Boxes]  # None for a font with outlines


def glyph_defs(art: FontArt, gids: Iterable[int], prefix: str = "g") -> GlyphDefs:
    """A definition per glyph: its outline, or for a font without outlines a box as wide as
    its advance with the id written upright inside (the drawings flip y, so the label flips
    back)."""
    if art.outlines:
        return GlyphDefs(tuple(GlyphDef(gid, f"{prefix}{gid}", art.path(gid), 0) for gid in sorted(gids)), None)
    top, bottom = art.ascender, art.descender
    band = max(1, top - bottom)
    return GlyphDefs(tuple(GlyphDef(gid, f"{prefix}{gid}", None, max(art.advance(gid), 1)) for gid in sorted(gids)),
                     Boxes(bottom, band, -(top + bottom) / 2, band * 0.3))


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
    attrs: Attrs = ()
    marked: bool = False


class Band(NamedTuple):
    """A glyph's advance drawn as a band under it, in one of two alternating shades."""

    css_class: str
    x: int
    width: int


class Drawn(NamedTuple):
    """A glyph drawn at (x, y), its pen position plus its offset; a glyph `moved` off its pen
    position is drawn with a line from there to where it is."""

    css_class: str
    attrs: Attrs
    title: str
    href: str
    pen: int
    x: int
    y: int
    moved: bool


class Run(NamedTuple):
    """One SVG of glyphs at their positions: `span` font units from `left` (the baseline
    runs to `right`) and from the ascender `top` down `band`, drawn `width` by `height`
    pixels."""

    css_class: str
    width: float
    height: int
    left: float
    right: float
    span: float
    top: int
    bottom: int
    band: int
    dot: float  # the radius of the dot where a moved glyph is
    bands: tuple[Band, ...]
    glyphs: tuple[Drawn, ...]


def positioned(art: FontArt, use: Callable[[int], str], run: Sequence[Placed], *, top: int, bottom: int,
               height: int, css_class: str) -> Run:
    """One SVG of glyphs at their pen positions plus offsets, left to right: the advance of
    each glyph as a band, marks (no advance) in their own colour, and every non-zero offset
    as a line from the pen position to where the glyph was moved."""
    band = max(1, top - bottom)
    bands: list[Band] = []  # painted first, so that no band hides a mark drawn before it
    glyphs: list[Drawn] = []
    lo = hi = float(run[0].pen) if run else 0.0
    for p in run:
        ox, oy = p.pen + p.dx, p.dy
        marked = " diff" if p.marked else ""
        if p.advance or p.marked:
            wide = max(p.advance, round(band * 0.05)) if p.marked else p.advance
            bands.append(Band(f"adv a{len(bands) % 2}{marked}", p.pen, wide))
        kind = ("mark" if p.advance == 0 else "base") + marked
        if p.dx or p.dy:
            kind += " moved"
        glyphs.append(Drawn(f"pg {kind}", p.attrs, p.title, use(p.gid), p.pen, ox, oy, bool(p.dx or p.dy)))
        box = art.bounds(p.gid)
        if box:
            lo, hi = min(lo, ox + box[0]), max(hi, ox + box[2])
        lo, hi = min(lo, ox), max(hi, ox, p.pen + p.advance)
    pad = band * 0.05
    lo, hi = lo - pad, hi + pad
    width = max(hi - lo, 1.0)
    return Run(css_class, width * height / band, height, lo, hi, width, top, bottom, band, band * 0.012,
               tuple(bands), tuple(glyphs))
