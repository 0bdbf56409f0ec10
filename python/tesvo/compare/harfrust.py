"""HarfRust (HarfBuzz's Rust port, through pyharfrust2) shaping a whole line as one run, beside
the port: its glyphs as compared rows and, with a trace, its steps, read from the messages it
records as HarfBuzz writes them and named as the bundled port names them."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any, NamedTuple, Optional

from tesvo.compare.engines import load_pyharfrust2, load_uharfbuzz
from tesvo.compare.harfbuzz import _harfbuzz_features, is_ot_language, rows_for_items, step_recorder
from tesvo.compare.records import Row, Step
from tesvo.errors import OptionError
from tesvo.font import Features
from tesvo.result import Result


class _Info(NamedTuple):
    codepoint: int
    cluster: int


class _Position(NamedTuple):
    x_advance: int
    x_offset: int
    y_offset: int


class _Replay:
    """The recorded glyphs of one message at a time, read as HarfBuzz's buffer is read from
    its message callback (what `step_recorder` needs of a buffer)."""

    def __init__(self) -> None:
        self.glyphs: Sequence[dict[str, int]] = ()
        self.callback: Optional[Callable[[str], bool]] = None

    @property
    def glyph_infos(self) -> list[_Info]:
        return [_Info(g["g"], g["cl"]) for g in self.glyphs]

    @property
    def glyph_positions(self) -> Optional[list[_Position]]:
        return [_Position(g["ax"], g["dx"], g["dy"]) for g in self.glyphs]

    def set_message_func(self, callback: Optional[Callable[[str], bool]]) -> None:
        self.callback = callback


def _script(tag: Optional[str]) -> str:
    """An OpenType script tag ("dev2") as the ISO 15924 code pyharfrust2 takes ("Deva"), read
    with HarfBuzz's own table; "" (guessed from the text) without one or without uharfbuzz."""
    if not tag or tag.strip() in ("DFLT", "dflt"):
        return ""
    try:
        buf = load_uharfbuzz().Buffer()
    except OptionError:
        return ""
    buf.set_script_from_ot_tag(tag)
    return str(buf.script or "")


def _bcp47(language: Optional[str]) -> str:
    """The language as pyharfrust2 takes it, a BCP 47 code: an OpenType language system tag
    ("SRB") read with HarfBuzz's own table ("sr"); "" without uharfbuzz to read it."""
    if not language or not is_ot_language(language):
        return language or ""
    try:
        buf = load_uharfbuzz().Buffer()
    except OptionError:
        return ""
    buf.set_language_from_ot_tag(language.strip())
    return str(buf.language or "")


class HarfRustShaper:
    """HarfRust shaping a line with the same options as the port (a LineEngine)."""

    def __init__(self, data: bytes, index: int, features: Features, script: Optional[str],
                 language: Optional[str], location: tuple[tuple[str, float], ...] = ()) -> None:
        self._module: Any = load_pyharfrust2()
        self._data = data
        self._index = index
        self._features = ",".join(f"{tag.rstrip()}={value}" for tag, value in _harfbuzz_features(features).items())
        self._script = _script(script)
        self._language = _bcp47(language)
        self._variations = ",".join(f"{tag}={value!r}" for tag, value in location)
        self.steps: list[Step] = []
        self.output: tuple[Row, ...] = ()  # the last line as HarfRust put it out
        self._names: Optional[Callable[[int], Optional[str]]] = None

    def name(self, gid: int) -> Optional[str]:
        """The glyph's name as HarfBuzz gives it, where uharfbuzz is there to read it."""
        if self._names is None:
            try:
                hb = load_uharfbuzz()
                font = hb.Font(hb.Face(self._data, self._index))
                self._names = lambda g: (lambda n: None if n == f"gid{g}" else n)(str(font.glyph_to_string(g)))
            except OptionError:
                self._names = lambda g: None
        return self._names(gid)

    def shape_line(self, text: str, result: Result, direction: str, *,
                   trace: bool = False) -> tuple[tuple[Row, ...], bool]:
        """The whole line as one run, as `HarfBuzzShaper.shape_line` shapes it."""
        self.steps = []
        try:
            stages = self._module.shape_trace(
                self._data, text, direction=direction if direction in ("ltr", "rtl") else "auto",
                script=self._script, language=self._language, features=self._features or None,
                variations=self._variations or None, face_index=self._index)
        except (ValueError, RuntimeError) as e:
            raise OptionError(f"harfrust: {e}") from None
        index = _str_indices(text)
        final = stages[-1]["glyphs"] if stages else []
        rows = [(g["g"], index.get(g["cl"], 0), g["ax"], g["dx"], g["dy"]) for g in final]
        rtl = _rtl(stages, len(rows))
        self.output = tuple(rows)
        if trace:
            self._replay(stages, rtl)
        return rows_for_items(rows, rtl, result), rtl

    def _replay(self, stages: Sequence[dict[str, Any]], rtl: bool) -> None:
        buf = _Replay()
        message = step_recorder(buf, 0, self.steps)
        for stage in stages:
            buf.glyphs = stage["glyphs"]
            message(stage["m"])
        order = list(stages[-1]["glyphs"]) if stages else []
        if rtl:
            order.reverse()  # the final step in the shaper's (logical) order, as the port records it
        self.steps.append(Step(0, "final", tuple(g["g"] for g in order),
                               tuple((g["ax"], g["dx"], g["dy"]) for g in order)))


def _str_indices(text: str) -> dict[int, int]:
    """A UTF-8 byte offset (pyharfrust2's clusters) to the str index of its character."""
    index, at = {}, 0
    for k, ch in enumerate(text):
        index[at] = k
        at += len(ch.encode("utf-8", "surrogatepass"))
    index[at] = len(text)
    return index


def _rtl(stages: Sequence[dict[str, Any]], count: int) -> bool:
    """Whether the run came out right to left: HarfBuzz's output then runs in visual order,
    its clusters falling."""
    if not stages or count < 2:
        return False
    clusters = [g["cl"] for g in stages[-1]["glyphs"]]
    return bool(clusters[0] > clusters[-1])
