"""The trace report's row of what the Uniscribe implementation returned for an item: its
characters over its glyphs, both in logical order, an arrow from each character to the glyph
its log cluster names, and under each glyph its justification class and its flags (cluster
start, diacritic, zero width). Computed here, drawn by the template as one SVG."""

from __future__ import annotations

from typing import List, NamedTuple, Optional, Sequence, Tuple

from tesvo.result import Result
from tesvo.uniscribe import JUSTIFICATION, UniscribeOutputs

CELL_PX = 58  # the width of a character's or a glyph's column
DRAWN_UP_TO = 160  # characters or glyphs of an item drawn; a longer item is drawn up to there
HEIGHT = 112
NAME_CHARS = 9  # a glyph's name shown in its column, cut with an ellipsis (whole in its title)


class PropsCell(NamedTuple):
    x: int  # the column's middle
    text: str  # the character, or the glyph's name
    label: str  # a glyph's justification class, short; a character's log cluster
    flags: str  # a glyph's "start", "diacritic", "zero width"; "alone" for fCanGlyphAlone
    title: str  # every value in words


class PropsRow(NamedTuple):
    width: int
    height: int
    chars: List[PropsCell]
    glyphs: List[PropsCell]
    arrows: List[Tuple[int, int]]  # from a character's x to its glyph's x
    note: str  # what is left out, and the item's analysis and ABC widths


def _short(value: int) -> str:
    name = JUSTIFICATION[value] if 0 <= value < len(JUSTIFICATION) else f"{value}"
    short = name.replace("SCRIPT_JUSTIFY_", "").replace("ARABIC_", "ar ").replace("_", " ").lower()
    return "" if short == "none" else short


def _glyph_cell(outputs: UniscribeOutputs, visual: int, x: int, name: str, logical: int) -> PropsCell:
    g = outputs.glyph(visual)
    flags = [word for word, on in (("start", g.cluster_start), ("diacritic", g.diacritic),
                                   ("zero width", g.zero_width)) if on]
    shown = name if len(name) <= NAME_CHARS else name[:NAME_CHARS - 1] + "\u2026"
    return PropsCell(x, shown, _short(g.justification), " ".join(flags), f"glyph {logical} {name}: {g.justification_name}, " +
                     (", ".join(flags) if flags else "not a cluster start"))


def props_rows(result: Result, starts: Sequence[int]) -> List[Optional[PropsRow]]:
    """Per item of `result` (whose first glyphs sit at `starts`), its row; None for every
    item of a result without Uniscribe outputs."""
    outputs = result.uniscribe
    if outputs is None:
        return [None] * len(result.items)
    names = [g.name for g in result.glyphs]
    analyses, widths = outputs.analyses, outputs.abc  # each made once, for every item
    rows: List[Optional[PropsRow]] = []
    for k, item in enumerate(result.items):
        first = starts[k]
        count = (starts[k + 1] if k + 1 < len(starts) else len(result.glyphs)) - first
        # Glyph j of the item in logical order, as log clusters count them.
        visual = [first + (count - 1 - j if item.rtl else j) for j in range(count)]
        shown_chars = min(item.end - item.start, DRAWN_UP_TO)
        shown_glyphs = min(count, DRAWN_UP_TO)
        chars = []
        arrows = []
        unit = outputs.unit_of(item.start)  # the character's first UTF-16 code unit
        for i in range(shown_chars):
            at = item.start + i
            cluster = outputs.log_clusters[unit]
            x = i * CELL_PX + CELL_PX // 2
            alone = "alone" if outputs.can_glyph_alone[unit] else ""
            unit += 2 if ord(result.text[at]) > 0xFFFF else 1
            chars.append(PropsCell(x, result.text[at], f"\u2192{cluster}", alone,
                                   f"U+{ord(result.text[at]):04X}, log cluster {cluster}" + (", can glyph alone" if alone else "")))
            if 0 <= cluster < shown_glyphs:
                arrows.append((x, cluster * CELL_PX + CELL_PX // 2))
        glyphs = [_glyph_cell(outputs, visual[j], j * CELL_PX + CELL_PX // 2, names[visual[j]], j)
                  for j in range(shown_glyphs)]
        analysis = analyses[k]
        set_flags = [f for f in analysis._fields[1:] if f != "bidi_level" and getattr(analysis, f)]
        note = (f"eScript {analysis.script}, bidi level {analysis.bidi_level}"
                + (f", {', '.join(set_flags)}" if set_flags else ""))
        if widths:
            note += f"; ABC {widths[k].a}, {widths[k].b}, {widths[k].c}"
        if shown_chars < item.end - item.start or shown_glyphs < count:
            note += f"; the first {DRAWN_UP_TO} characters and glyphs drawn (all of them in the JSON)"
        width = max(shown_chars, shown_glyphs, 1) * CELL_PX
        rows.append(PropsRow(width, HEIGHT, chars, glyphs, arrows, note))
    return rows
