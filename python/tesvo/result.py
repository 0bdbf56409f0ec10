"""The result of shaping a text: its items, its glyphs, the stages of a trace, the font and
options it was shaped with, and the JSON form of all of them (see SCHEMA and SCHEMA_VERSION).

Every record here is a typed NamedTuple; `Item` is the engine's own record type, which
reads the same way (fields by name, tuples by position). The engine makes `Glyph` records
itself, from a result's columns, as they are read (`GlyphRun`), and the records of a trace
from its stages kept as changes (`StageGlyphs`).
"""

from __future__ import annotations

import array
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Mapping, NamedTuple, Optional, Union

import tesvo._engine as _engine
from tesvo._engine import GlyphRun, Item, StageGlyphs
from tesvo.axes import AxisLocation
from tesvo.uniscribe import JUSTIFICATION, ABCWidths, Break, UniscribeOutputs

__all__ = ["Glyph", "GlyphRun", "Item", "Stage", "StageChange", "StageGlyph", "StageGlyphs", "FontInfo", "Options",
           "Result", "SCHEMA", "SCHEMA_VERSION", "whole_stages"]

# The schema's name and version, from its one writer in the engine.
SCHEMA: str = _engine.RESULT_SCHEMA
SCHEMA_VERSION: int = _engine.RESULT_SCHEMA_VERSION


def _column(glyphs: Sequence[Glyph], k: int) -> memoryview:
    """Field k of every glyph as a memoryview of int32: a view of the run's own columns
    (GlyphRun.columns, read-only), or for records given otherwise an array made of them."""
    if isinstance(glyphs, GlyphRun):
        n = len(glyphs)
        return memoryview(glyphs.columns)[4 * n * k:4 * n * (k + 1)].cast("i")
    return memoryview(array.array("i", (int(g[k]) for g in glyphs)))

JsonValue = Union[None, bool, int, float, str, list["JsonValue"], dict[str, "JsonValue"]]


class Glyph(NamedTuple):
    """A positioned glyph; all values in font units."""

    id: int
    cluster: int  # index in the text (a str index) of the first character of the glyph's cluster
    advance: int
    du: int  # Uniscribe's offset along the advance: HarfBuzz's x_offset, negated in right-to-left items
    dv: int  # Uniscribe's offset across the advance, positive up
    x_offset: int  # HarfBuzz's x offset, positive right
    y_offset: int  # HarfBuzz's y offset, positive up
    item: int  # index of the item the glyph belongs to
    name: str  # the glyph's name as HarfBuzz gives it: from 'post' or CFF, else gid<N>
    # The glyph's SCRIPT_VISATTR as the backend returned it: its justification class by its
    # SCRIPT_JUSTIFY name, whether it starts its cluster (in the item's logical order), is a
    # diacritic, has no width.
    justification: str = "SCRIPT_JUSTIFY_NONE"
    cluster_start: bool = False
    diacritic: bool = False
    zero_width: bool = False


class FontInfo(NamedTuple):
    """How a result names the font it was shaped with: its file (`path`), or for a font given
    as bytes their SHA-256 (`sha256`), the face, and what the engine read from it."""

    path: Optional[str]
    sha256: Optional[str]
    face: int  # the index of the face in a collection
    family: str
    upem: int
    glyph_count: int
    backend: str
    backend_version: Optional[str] = None  # what the backend runs on ("HarfBuzz 10.2.0, ICU 76.1")

    def to_dict(self) -> dict[str, JsonValue]:
        named: dict[str, JsonValue] = {"path": self.path} if self.path is not None else {"sha256": self.sha256}
        named.update(index=self.face, family=self.family, upem=self.upem, glyph_count=self.glyph_count)
        return named


class Options(NamedTuple):
    """The options a text was shaped with, as given (`features` as the engine's list)."""

    direction: str
    features: Optional[str]
    script: Optional[str]
    language: Optional[str]
    variations: Optional[str] = None  # the location asked for, before clamping


class StageGlyph(NamedTuple):
    """A glyph as one stage of the trace holds it. `cluster` is the shaper's cluster at
    that stage (a str index into the text; None where the backend does not give it);
    `advance`, `x_offset`, `y_offset` are the shaper's positions in HarfBuzz's convention
    (x positive right, as hb-shape --trace shows them), None in stages that do not
    position."""

    id: int
    cluster: Optional[int]
    advance: Optional[int]
    x_offset: Optional[int]
    y_offset: Optional[int]
    name: str = ""  # as HarfBuzz gives it (Glyph.name)


class StageChange(NamedTuple):
    """What a stage changed: the glyphs [start, stop) of the item's stage before it, replaced
    by `glyphs`. The span is the shortest one: the glyphs both stages begin and end with
    (equal in every field) are left out, so a step that changed nothing replaces nothing by
    nothing. The first stage of an item replaces nothing in an empty run."""

    start: int
    stop: int
    glyphs: tuple[StageGlyph, ...]


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
    glyphs have no clusters). Glyphs run in the shaper's buffer order.

    From the engine, `glyphs` is a StageGlyphs: the trace keeps each stage as what it
    changed (`change`), and the whole stage is rebuilt, its records made, when its glyphs
    are first read."""

    item: int
    kind: Optional[str]
    name: str
    glyphs: Sequence[StageGlyph]  # a StageGlyphs from the engine
    # For a contextual or chaining lookup: the lookups (indices into the same table's
    # lookup list) its rules called, in the order first called, each once, the calls of
    # the lookups it called included; called whether or not they then changed a glyph
    # (hb-shape --trace's "recursing to lookup N"). Empty for other stages and from a
    # backend that does not tell.
    nested: tuple[int, ...] = ()

    @property
    def ids(self) -> tuple[int, ...]:
        if isinstance(self.glyphs, StageGlyphs):
            return self.glyphs.ids
        return tuple(g.id for g in self.glyphs)

    @property
    def change(self) -> Optional[StageChange]:
        """What this stage changed in the item's stage before it; None for a stage made
        otherwise than by the engine (whose glyphs are not a StageGlyphs)."""
        if not isinstance(self.glyphs, StageGlyphs):
            return None
        return StageChange(*self.glyphs.change)

    def to_dict(self) -> dict[str, JsonValue]:
        glyphs: list[JsonValue] = [dict(g._asdict()) for g in self.glyphs]
        return {"item": self.item, "kind": self.kind, "name": self.name, "glyphs": glyphs,
                "nested": list(self.nested)}


if not TYPE_CHECKING:
    # The engine's record types, set up here and nowhere else: it makes every trace's records
    # with Stage and StageGlyph, and every glyph with its subclass of the NamedTuple Glyph,
    # under the same name (the same record, its fields read as slots of the tuple, which the
    # interpreter reads without calling anything).
    Glyph = _engine.record_types(Glyph, Stage, StageGlyph)


class Result(NamedTuple):
    """One shaped text.

    `items` run in logical order; `glyphs` follow them item by item, and within a
    right-to-left item run in visual order (left to right on screen). Indices
    (`Item.start`, `Item.end`, `Glyph.cluster`) are indices into the Python str `text`.
    `stages` is None unless the text was shaped with trace=True. `font` describes the font
    (a FontInfo, not the Font itself: a result outlives the font and travels between
    processes). `warnings`: one line for each run of the itemizer that had to be shaped
    as several items.

    `glyphs` is a GlyphRun: a Glyph record made for each glyph read, from the engine's
    own glyph records, or from columns of 32-bit integers once those are asked for.
    `glyph_ids`, `clusters`, `advances`, `du`, `dv`, `x_offsets`, `y_offsets` and
    `glyph_items` give the columns themselves as read-only memoryviews of int32 (format
    "i"), made at the first of them, which `numpy.frombuffer` or `numpy.asarray` read
    without copying.
    """

    font: FontInfo
    text: str
    items: tuple[Item, ...]
    glyphs: Sequence[Glyph]  # a GlyphRun from the engine
    stages: Optional[tuple[Stage, ...]]
    options: Options
    # Every axis of a variable font at the location the text was shaped at (empty for a
    # static font), as the backend reports it.
    location: tuple[AxisLocation, ...] = ()
    # What the caller should know about how the text was shaped: a script or language
    # system asked for that the font does not have, for example.
    warnings: tuple[str, ...] = ()
    # The backend's own Uniscribe outputs (item analyses, ABC widths, glyph and character
    # properties, log clusters, breaks); None for a result made otherwise than by shaping.
    uniscribe: Optional[UniscribeOutputs] = None

    @property
    def abc(self) -> tuple[ABCWidths, ...]:
        """Per item, its ABC widths from ScriptPlaceOpenType: shaped with extras=True or
        trace=True, else empty."""
        return self.uniscribe.abc if self.uniscribe is not None else ()

    def _props_column(self, k: int) -> memoryview:
        if self.uniscribe is not None:
            names = ("justification", "cluster_start", "diacritic", "zero_width")
            column: memoryview = getattr(self.uniscribe, names[k])
            return column
        values = ((JUSTIFICATION.index(g.justification), g.cluster_start, g.diacritic, g.zero_width)[k]
                  for g in self.glyphs)
        return memoryview(array.array("i", (int(v) for v in values)))

    @property
    def justifications(self) -> memoryview:
        """Per glyph, its SCRIPT_JUSTIFY value (`Glyph.justification` names it)."""
        return self._props_column(0)

    @property
    def cluster_starts(self) -> memoryview:
        return self._props_column(1)

    @property
    def diacritics(self) -> memoryview:
        return self._props_column(2)

    @property
    def zero_widths(self) -> memoryview:
        return self._props_column(3)

    @property
    def log_clusters(self) -> Optional[memoryview]:
        """Per UTF-16 code unit of the text, the glyph index within its item (in the
        backend's logical order) that the backend returned; None for a result made otherwise
        than by shaping."""
        return self.uniscribe.log_clusters if self.uniscribe is not None else None

    @property
    def can_glyph_alone(self) -> Optional[memoryview]:
        """Per UTF-16 code unit, SCRIPT_CHARPROP's fCanGlyphAlone."""
        return self.uniscribe.can_glyph_alone if self.uniscribe is not None else None

    @property
    def breaks(self) -> Optional[tuple[Break, ...]]:
        """Per UTF-16 code unit, ScriptBreak's SCRIPT_LOGATTR: shaped with extras=True or
        trace=True (and a backend with ScriptBreak), else None."""
        return self.uniscribe.breaks if self.uniscribe is not None else None

    @property
    def glyph_ids(self) -> memoryview:
        return _column(self.glyphs, 0)

    @property
    def clusters(self) -> memoryview:
        return _column(self.glyphs, 1)

    @property
    def advances(self) -> memoryview:
        return _column(self.glyphs, 2)

    @property
    def du(self) -> memoryview:
        return _column(self.glyphs, 3)

    @property
    def dv(self) -> memoryview:
        return _column(self.glyphs, 4)

    @property
    def x_offsets(self) -> memoryview:
        return _column(self.glyphs, 5)

    @property
    def y_offsets(self) -> memoryview:
        return _column(self.glyphs, 6)

    @property
    def glyph_items(self) -> memoryview:
        return _column(self.glyphs, 7)

    def __repr__(self) -> str:
        return f"<tesvo.Result {self.text!r}: {len(self.items)} items, {len(self.glyphs)} glyphs>"

    @property
    def advance(self) -> int:
        """The sum of the advances, in font units."""
        return sum(self.advances)

    def to_dict(self) -> dict[str, JsonValue]:
        """The result as the JSON schema has it (`SCHEMA`, version `SCHEMA_VERSION`), keys in
        the schema's order: the engine's writer of the schema (as tesvo --batch writes it),
        read back."""
        import json

        doc: dict[str, JsonValue] = json.loads(_engine.result_json(self))
        return doc

    def visual_glyphs(self) -> list[Glyph]:
        """The whole line's glyphs in visual order (left to right on screen): the items
        placed by their bidi levels (rule L2 of the bidi algorithm), each item's glyphs in
        visual order within it."""
        runs: list[list[Glyph]] = [[] for _ in self.items]
        for glyph in self.glyphs:
            runs[glyph.item].append(glyph)
        return [glyph for index in _engine.visual_order([item.level for item in self.items]) for glyph in runs[index]]

    def to_text(self, *, names: bool = True, clusters: bool = True, positions: bool = True,
                advances: bool = True) -> str:
        """The glyphs in hb-shape's text notation, `[name=cluster@dx,dy+advance|...]`: the
        whole line in visual order, clusters as indices into `text` (code points, as
        hb-shape counts them), offsets and advances in HarfBuzz's convention. The switches
        are hb-shape's --no-glyph-names, --no-clusters, --no-positions, --no-advances.
        Written by the engine, as tesvo --batch writes it."""
        return _engine.notation(self.glyphs, [item.level for item in self.items], names, clusters, positions,
                                advances)

    def to_json(self, *, indent: Optional[int] = None) -> str:
        """The result as JSON text, keys in the schema's order, laid out as json.dumps lays
        out to_dict() (with `indent`)."""
        import json

        return json.dumps(self.to_dict(), indent=indent, ensure_ascii=False)


def whole_stages(doc: Mapping[str, Any]) -> list[dict[str, Any]]:
    """The stages of a traced result's JSON (`Result.to_dict()`, `tesvo --schema tesvo
    --trace`), each whole again: the schema keeps each stage as the change it made to the one
    before it of its item (`count`, `start`, `stop`, `changed` rows of id, cluster, advance,
    x_offset, y_offset) and the glyphs' names once (`stage_glyph_names`); this gives each as
    `item`, `kind`, `name`, `glyphs` (all the stage's glyphs, each a dict of those five and
    its `name`) and `nested`, as `Stage.to_dict()` gives them. A ValueError names a stage
    whose change the ones before it do not lead to."""
    names = doc.get("stage_glyph_names") or {}
    fields = ("id", "cluster", "advance", "x_offset", "y_offset")
    out: list[dict[str, Any]] = []
    glyphs: list[Any] = []
    for k, stage in enumerate(doc.get("stages") or ()):
        if k == 0 or stage["item"] != doc["stages"][k - 1]["item"]:
            glyphs = []
        start, stop = stage["start"], stage["stop"]
        if not 0 <= start <= stop <= len(glyphs):
            raise ValueError(f"stage {k} ({stage['name']!r}) replaces glyphs {start} to {stop} of a stage of "
                             f"{len(glyphs)}")
        changed = [dict(zip(fields, row), name=names.get(str(row[0]), "")) for row in stage["changed"]]
        glyphs = glyphs[:start] + changed + glyphs[stop:]
        if len(glyphs) != stage["count"]:
            raise ValueError(f"stage {k} ({stage['name']!r}) has {len(glyphs)} glyphs, not its count {stage['count']}")
        out.append({"item": stage["item"], "kind": stage["kind"], "name": stage["name"], "glyphs": glyphs,
                    "nested": list(stage.get("nested", ()))})
    return out
