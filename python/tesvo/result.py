"""The result of shaping a text: its items, its glyphs, the stages of a trace, and the
JSON form of all of them (see SCHEMA and SCHEMA_VERSION)."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any, NamedTuple

from tesvo._engine import Glyph, Item

if TYPE_CHECKING:
    from tesvo.font import Font

__all__ = ["Glyph", "Item", "Stage", "StageGlyph", "Result", "SCHEMA", "SCHEMA_VERSION"]

SCHEMA = "tesvo-result"
SCHEMA_VERSION = 1

# The fields of the records, in their order (the engine's record types are
# struct sequences, which have no _asdict).
_ITEM_KEYS = ("start", "end", "level", "rtl", "script_tag", "script")
_GLYPH_KEYS = ("id", "cluster", "advance", "du", "dv", "x_offset", "y_offset", "item")
_STAGE_GLYPH_KEYS = ("id", "cluster", "advance", "x_offset", "y_offset")


class StageGlyph(NamedTuple):
    """A glyph as one stage of the trace holds it. `cluster` is the shaper's cluster at
    that stage (a str index into the text; None where the backend does not give it);
    `advance`, `x_offset`, `y_offset` are the shaper's positions in HarfBuzz's convention
    (x positive right, as hb-shape --trace shows them), None in stages that do not
    position."""

    id: int
    cluster: int | None
    advance: int | None
    x_offset: int | None
    y_offset: int | None


class Stage(NamedTuple):
    """One item after one step of the backend's shaping, in the order the steps ran.

    `kind`: "normalize" (a round of HarfBuzz's normalization that changed the characters,
    before the cmap: "decompose", "reorder marks", "compose", "preprocess-text"; the glyphs
    are those the font maps the characters to), "cmap" (the glyphs the character map gave),
    "reorder" (a shaper's own reordering phase, such as "reordering indic initial", and
    "inserting dotted-circles"), "substitute" (a GSUB lookup, "GSUB lookup N 'tag'", an
    AAT subtable, "morx chainsubtable N", or "postprocess-glyphs"), "position" ("default
    positions", "GPOS lookup N 'tag'", "kerx subtable N", "kern table", "fallback mark",
    "fallback kern"), "final"; which steps appear depends on the HarfBuzz version. None
    from a backend that
    gives glyph ids alone (then the stages are cmap, GSUB lookups and final, and the
    glyphs have no clusters). Glyphs run in the shaper's buffer order."""

    item: int
    kind: str | None
    name: str
    glyphs: tuple[StageGlyph, ...]

    @property
    def ids(self) -> tuple[int, ...]:
        return tuple(g.id for g in self.glyphs)


class Result:
    """One shaped text.

    `items` run in logical order; `glyphs` follow them item by item, and within a
    right-to-left item run in visual order (left to right on screen). Indices
    (`Item.start`, `Item.end`, `Glyph.cluster`) are indices into the Python str `text`.
    `stages` is None unless the text was shaped with trace=True.
    """

    __slots__ = ("font", "text", "items", "glyphs", "stages", "options")

    def __init__(self, font: Font, text: str, items: tuple[Item, ...], glyphs: tuple[Glyph, ...],
                 stages: tuple[Stage, ...] | None, options: dict[str, Any]) -> None:
        self.font = font
        self.text = text
        self.items = items
        self.glyphs = glyphs
        self.stages = stages
        self.options = options

    def __repr__(self) -> str:
        return f"<tesvo.Result {self.text!r}: {len(self.items)} items, {len(self.glyphs)} glyphs>"

    @property
    def advance(self) -> int:
        """The sum of the advances, in font units."""
        return sum(g.advance for g in self.glyphs)

    def to_dict(self) -> dict[str, Any]:
        """The result as the JSON schema has it (`SCHEMA`, version `SCHEMA_VERSION`)."""
        doc: dict[str, Any] = {
            "schema": SCHEMA,
            "version": SCHEMA_VERSION,
            "font": self.font.describe(),
            "backend": self.font.backend,
            "text": self.text,
            "options": dict(self.options),
            "items": [dict(zip(_ITEM_KEYS, item)) for item in self.items],
            "glyphs": [dict(zip(_GLYPH_KEYS, glyph)) for glyph in self.glyphs],
        }
        if self.stages is not None:
            doc["stages"] = [{"item": s.item, "kind": s.kind, "name": s.name,
                              "glyphs": [dict(zip(_STAGE_GLYPH_KEYS, g)) for g in s.glyphs]}
                             for s in self.stages]
        return doc

    def to_json(self, *, indent: int | None = None) -> str:
        """The result as JSON text, keys in the schema's order."""
        return json.dumps(self.to_dict(), indent=indent, ensure_ascii=False)
