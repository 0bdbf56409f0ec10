"""One request of the page shaped: every served font through the port (traced) and the other
engines, as the lists the page draws, with the clusters where engines and fonts differ and
the step where their traces part. The trace is read through the report's view model."""

from __future__ import annotations

import bisect
from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple, Optional

import tesvo._engine as _engine
from tesvo.compare.diff import aligned_steps, parting_row, port_steps
from tesvo.compare.engines import LINE_ENGINES, LineEngine, line_engine
from tesvo.compare.records import Row, Step
from tesvo.errors import FontError, OptionError, ShapeError
from tesvo.font import Font
from tesvo.report.model import LOOKUP_STAGE, regroup
from tesvo.result import Result
from tesvo.serve.fonts import ServedFont

MAX_TEXT = 20_000  # characters shaped live; a longer text is refused with a message
MAX_TRACED_ENGINES = 1_000  # above this many characters the other engines shape without a trace
PORT = "uniscribe"  # the port's name in the page's state

# The fields of a trace step the page draws itself; any other field a Stage has is shown as it is.
_STAGE_FIELDS = frozenset(("item", "kind", "name", "glyphs"))


class Settings(NamedTuple):
    """What the page asks to shape, checked."""

    text: str
    direction: str
    features: dict[str, bool]
    script: Optional[str]
    language: Optional[str]
    location: dict[str, float]
    faces: tuple[int, ...]
    known: dict[int, tuple[str, frozenset[int]]]  # per font, the outlines the page has: key and glyph ids
    # "first": the port with its trace and HarfBuzz's line, at once; "all": every engine traced,
    # which the page asks for next (HarfRust's trace costs more than all the rest together).
    phase: str = "all"


def settings(body: Any, fonts: int) -> Settings:
    """The request's JSON body as Settings; ValueError with one line for anything malformed."""
    if not isinstance(body, dict):
        raise ValueError("the request must be a JSON object")
    text = body.get("text", "")
    if not isinstance(text, str):
        raise ValueError("text must be a string")
    if len(text) > MAX_TEXT:
        raise ValueError(f"the text has {len(text):,} characters: at most {MAX_TEXT:,} are shaped live")
    direction = body.get("direction", "auto")
    if direction not in ("auto", "ltr", "rtl"):
        raise ValueError("direction must be auto, ltr or rtl")
    features = body.get("features") or {}
    if not isinstance(features, dict) or not all(isinstance(k, str) and isinstance(v, bool)
                                                 for k, v in features.items()):
        raise ValueError("features must map tags to true or false")
    location = body.get("location") or {}
    if not isinstance(location, dict) or not all(isinstance(k, str) and isinstance(v, (int, float))
                                                 and not isinstance(v, bool) for k, v in location.items()):
        raise ValueError("location must map axis tags to numbers")
    faces = body.get("faces") or [0] * fonts
    if not isinstance(faces, list) or len(faces) != fonts or not all(type(f) is int for f in faces):
        raise ValueError(f"faces must list a face index for each of the {fonts} fonts")
    known: dict[int, tuple[str, frozenset[int]]] = {}
    for number, entry in (body.get("known") or {}).items():
        if isinstance(entry, list) and len(entry) == 2 and isinstance(entry[0], str) and isinstance(entry[1], list):
            known[int(number)] = (entry[0], frozenset(g for g in entry[1] if type(g) is int))
    phase = body.get("phase", "all")
    if phase not in ("first", "all"):
        raise ValueError("phase must be first or all")
    return Settings(text, direction, features, _tag(body.get("script")), _tag(body.get("language")),
                    {k: float(v) for k, v in location.items()}, tuple(faces), known, phase)


def _tag(value: Any) -> Optional[str]:
    if value is None or value == "":
        return None
    if not isinstance(value, str) or len(value) > 35:
        raise ValueError("script and language must be short strings")
    return value


class _Engines:
    """The other engines of one font, kept while the font's build and options stay the same."""

    def __init__(self) -> None:
        self._key: Any = None
        self._engines: dict[str, LineEngine | str] = {}

    def get(self, key: Any, font: Font, face: int, s: Settings, location: tuple[tuple[str, float], ...]
            ) -> dict[str, LineEngine | str]:
        if key != self._key:
            self._engines = {}
            for name in LINE_ENGINES:
                try:
                    self._engines[name] = line_engine(name, font.data, face, s.features, s.script, s.language,
                                                      location)
                except OptionError as e:
                    self._engines[name] = str(e)
            self._key = key
        return self._engines


class Shaper:
    """Shapes the page's requests for the served fonts."""

    def __init__(self, fonts: Sequence[ServedFont]) -> None:
        self.fonts = fonts
        self._engines = [_Engines() for _ in fonts]
        # The steps of each font's other engines in the last request that traced them (`kept_serial`),
        # with the font's lookups' names and the run's direction (True: right to left), for engine_trace.
        self.kept: dict[tuple[int, str], tuple[list[Step], Mapping[tuple[str, int], str], bool]] = {}
        self.serial = 0  # counts the requests shaped
        self.kept_serial = 0

    def engine_trace(self, font: int, engine: str) -> dict[str, Any]:
        """The steps of another engine in the last request shaped, as the port's are sent."""
        steps, lookups, rtl = self.kept.get((font, engine), ([], {}, False))
        return {"serial": self.kept_serial, "steps": _engine_trace(steps, lookups), "rtl": rtl}

    def shape(self, s: Settings) -> dict[str, Any]:
        self.serial += 1
        if s.phase == "all":
            self.kept.clear()
            self.kept_serial = self.serial
        out = [self._font(k, served, s) for k, served in enumerate(self.fonts)]
        first = out[0]
        for other in out[1:]:
            _against_first(first, other)
        return {"serial": self.serial, "fonts": out}

    def _font(self, k: int, served: ServedFont, s: Settings) -> dict[str, Any]:
        face = s.faces[k]
        shown: dict[str, Any] = {"number": k, "label": served.label, "generation": served.build.generation,
                                 "face": face, "error": served.error, "engines": {}}
        try:
            font = served.font(face)
            known_axes = {a.tag for a in font.axes}
            location = {t: v for t, v in s.location.items() if t in known_axes}
            result = font.shape(s.text, direction=s.direction, features=s.features, script=s.script,
                                language=s.language, trace=True, variations=location or None)
        except (FontError, OptionError, ShapeError) as e:
            shown["message"] = " ".join(str(e).split())
            return shown
        key, art = served.art(face, {a.tag: a.value for a in result.location})
        names = font.glyph_names
        port = _visual_rows(result, _port_rows(result))
        engines = shown["engines"]
        engines[PORT] = _lists(port, names)
        steps = port_steps(result)
        lookups = art.lookup_names()
        shown["steps"] = _port_trace(result, lookups)
        engines[PORT]["steps"] = [step["name"] for step in shown["steps"]]
        shown["warnings"] = list(result.warnings)
        shown["items"] = [{"start": i.start, "end": i.end, "level": i.level, "rtl": i.rtl, "script": i.script_tag}
                          for i in result.items]
        shown["parting"] = {}
        shown["differ"] = {}
        pairs = tuple(location.items())
        others = self._engines[k].get((served.build.generation, face, s.features, s.script, s.language, pairs),
                                      font, face, s, pairs)
        traced = len(s.text) <= MAX_TRACED_ENGINES and s.phase == "all"
        for name, engine in others.items():
            if s.phase == "first" and name != "harfbuzz":
                continue
            if isinstance(engine, str):
                engines[name] = {"error": engine}
                continue
            try:
                rows, rtl = engine.shape_line(s.text, result, s.direction, trace=traced)
            except OptionError as e:
                engines[name] = {"error": str(e)}
                continue
            engines[name] = _lists(engine.output, names)
            shown["differ"][name] = differing_clusters(port, rows, names, names)
            if traced:
                # The steps' names go out now, their glyphs when the page asks (engine_trace).
                engines[name]["steps"] = [step.name for step in engine.steps]
                self.kept[(k, name)] = (list(engine.steps), lookups, rtl)
                # A whole line's steps line up with one item's only; and two engines that end
                # on the same run do not part, though their steps may be named otherwise
                # (HarfRust announces no reordering phase).
                if len(result.items) == 1 and shown["differ"][name]:
                    shown["parting"][name] = _parting(steps, engine.steps, names, names)
            elif s.phase == "all":
                engines[name]["note"] = (f"the text has over {MAX_TRACED_ENGINES:,} characters: "
                                         "this engine shapes without a trace")
        shown["art"] = key
        have_key, have = s.known.get(k, ("", frozenset()))
        used = set(engines[PORT]["ids"]).union(*(e.get("ids", ()) for e in engines.values()))
        used.update(g for step in shown["steps"] for g in step["ids"])
        fresh = have_key != key
        shown["glyphs"] = {g: {"n": names[g] if 0 <= g < len(names) else f"gid{g}", "d": art.path(g),
                               "a": art.advance(g)} for g in sorted(used) if fresh or g not in have}
        shown["ascender"], shown["descender"] = art.ascender, art.descender
        shown["_port_steps"] = steps
        shown["_rows"] = port
        shown["_names"] = names
        return shown


def _port_rows(result: Result) -> list[Row]:
    return [(g.id, g.cluster, g.advance, g.x_offset, g.y_offset) for g in result.glyphs]


def _visual_rows(result: Result, rows: Sequence[Row]) -> list[Row]:
    """Rows in the port's order (items in logical order, a right-to-left item's glyphs in
    visual order) as the line shows them, left to right: the items placed by their levels."""
    starts = [item.start for item in result.items]
    runs: list[list[Row]] = [[] for _ in result.items] or [[]]
    for row in rows:
        runs[max(0, bisect.bisect_right(starts, row[1]) - 1)].append(row)
    if len(runs) == 1:
        return list(runs[0])
    return [row for k in _engine.visual_order([item.level for item in result.items]) for row in runs[k]]


def _lists(rows: Sequence[Row], names: Sequence[str]) -> dict[str, Any]:
    """An engine's glyphs as window.tesvoState holds them."""
    return {"ids": [r[0] for r in rows], "names": [names[r[0]] if 0 <= r[0] < len(names) else f"gid{r[0]}"
                                                   for r in rows],
            "clusters": [r[1] for r in rows], "advances": [r[2] for r in rows],
            "offsets": [[r[3], r[4]] for r in rows]}


def differing_clusters(a: Sequence[Row], b: Sequence[Row], a_names: Sequence[str], b_names: Sequence[str]
                       ) -> list[int]:
    """The clusters (their first characters, sorted) whose glyphs differ between two runs:
    by glyph name, advance and offset, so two builds of a font that renumber glyphs compare."""
    def by_cluster(rows: Sequence[Row], names: Sequence[str]) -> dict[int, list[tuple[Any, ...]]]:
        found: dict[int, list[tuple[Any, ...]]] = {}
        for gid, cl, ax, dx, dy in rows:
            found.setdefault(cl, []).append((names[gid] if 0 <= gid < len(names) else gid, ax, dx, dy))
        return found
    left, right = by_cluster(a, a_names), by_cluster(b, b_names)
    return sorted(cl for cl in set(left) | set(right) if left.get(cl) != right.get(cl))


def _lookup_label(name: str, lookups: Mapping[tuple[str, int], str]) -> Optional[str]:
    m = LOOKUP_STAGE.match(name)
    return lookups.get((m["table"], int(m["index"]))) if m else None


def _port_trace(result: Result, lookups: Mapping[tuple[str, int], str]) -> list[dict[str, Any]]:
    """The port's steps in the order they ran, item by item, each as what it changed in the
    stage before it of its item: `change` [start, stop] replaced by `rows` of id, cluster,
    advance, x offset, y offset; `ids` the glyphs it put in. Fields of the engine's Stage
    past the ones drawn go out as they are, under `more`."""
    items = regroup(result)
    extra = [f for f in type(result.stages[0])._fields if f not in _STAGE_FIELDS] if result.stages else []
    out: list[dict[str, Any]] = []
    raw = iter(result.stages or ())
    for item in items:
        for stage in item.stages:
            source = next(raw)
            start, stop, count = stage.change if stage.change else (0, 0, len(stage.glyphs))
            rows = [[g.g, g.cl, g.ax, g.dx, g.dy] for g in stage.glyphs[start:start + count]]
            record: dict[str, Any] = {"item": item.number, "kind": stage.kind, "name": stage.name,
                                      "lookup": _lookup_label(stage.name, lookups), "change": [start, stop],
                                      "rows": rows, "ids": sorted({r[0] for r in rows}),
                                      "positioned": stage.positioned}
            if extra:
                record["more"] = {f: _shown(getattr(source, f)) for f in extra}
            out.append(record)
    return out


def _shown(value: Any) -> Any:
    """A Stage field as JSON: a tuple of numbers or words as a list (Stage.nested: empty for
    most steps, which the page then leaves out), anything else as it reads."""
    if isinstance(value, tuple) and all(isinstance(v, (str, int)) for v in value):
        return list(value)
    return value if isinstance(value, (str, int, float, bool, type(None))) else repr(value)


def _engine_trace(steps: Sequence[Step], lookups: Mapping[tuple[str, int], str]) -> list[dict[str, Any]]:
    """Another engine's steps as the port's are sent: each as what it changed (no clusters)."""
    out: list[dict[str, Any]] = []
    before: tuple[tuple[int, int, int, int], ...] = ()
    for step in steps:
        placed = step.positions or ((0, 0, 0),) * len(step.ids)
        now = tuple((g, *p) for g, p in zip(step.ids, placed))
        head = 0
        while head < min(len(now), len(before)) and now[head] == before[head]:
            head += 1
        tail = 0
        while tail < min(len(now), len(before)) - head and now[-1 - tail] == before[-1 - tail]:
            tail += 1
        rows = [[g, None, ax, dx, dy] for g, ax, dx, dy in now[head:len(now) - tail]]
        out.append({"item": step.item, "kind": None, "name": step.name, "lookup": _lookup_label(step.name, lookups),
                    "change": [head, len(before) - tail], "rows": rows, "positioned": step.positions is not None})
        before = now
    return out


def _parting(left: Sequence[Step], right: Sequence[Step], left_names: Sequence[str],
             right_names: Sequence[str], by_names: bool = False) -> Optional[dict[str, Any]]:
    """Where two traces part: the index of the left side's step (data-step) and its words."""
    def named(names: Sequence[str]) -> Any:
        return lambda g: names[g] if 0 <= g < len(names) else None
    pairs = aligned_steps(left, right)
    found = parting_row(pairs, named(left_names), named(right_names), by_names=by_names)
    if found is None:
        return None
    k, what = found
    index = {id(step): n for n, step in enumerate(left)}
    step = next((index[id(a)] for a, _ in reversed(pairs[:k + 1]) if a is not None), 0)
    return {"step": step, "words": what.words, "left": what.left, "right": what.right, "what": what.what}


def _against_first(first: dict[str, Any], other: dict[str, Any]) -> None:
    """A second font (another build) against the first: the clusters where their port
    glyphs differ, by name, and the step where their traces part."""
    if "_rows" not in first or "_rows" not in other:
        return
    other["differ"]["first font"] = differing_clusters(first["_rows"], other["_rows"], first["_names"],
                                                       other["_names"])
    other["parting"]["first font"] = _parting(first["_port_steps"], other["_port_steps"], first["_names"],
                                              other["_names"], by_names=True)


def public(payload: dict[str, Any]) -> dict[str, Any]:
    """The payload without what was kept for comparing fonts."""
    for shown in payload["fonts"]:
        for key in [k for k in shown if k.startswith("_")]:
            del shown[key]
    return payload
