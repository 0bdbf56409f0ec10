"""A font held by the backend for as many texts as it is asked to shape."""

from __future__ import annotations

import hashlib
import itertools
import os
import threading
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import TypeVar, Union

import tesvo._engine as _engine
from tesvo.errors import FontError, OptionError, ShapeError
from tesvo.fontfile import FontFile, read_font
from tesvo.result import FontInfo, Options, Result, Stage, StageGlyph

__all__ = ["Font", "Features"]

# A feature list as the module parses it ("liga, -kern, ss01=2"), or a mapping of
# tags to values (True/False for on/off, or an integer).
Features = Union[str, Mapping[str, Union[bool, int]], None]

# Texts handed to the engine per call by shape_many and shape_json_many: large
# enough that the call costs nothing per text, small enough that the results are
# streamed.
_CHUNK = 64

# A face index is a 32-bit count in a collection's header.
_MAX_INDEX = 0xFFFFFFFF

_Call = tuple[str, str, str, str, bool]


def _feature_list(features: Features) -> str:
    if features is None:
        return ""
    if isinstance(features, str):
        return features
    if isinstance(features, Mapping):
        parts = []
        for tag, value in features.items():
            if not isinstance(tag, str) or "'" in tag:
                raise OptionError(f"bad feature tag {tag!r}")
            if not isinstance(value, int):  # bool is an int: True is 1
                raise OptionError(f"feature {tag!r}: the value must be True, False or an integer, "
                                  f"not {value!r}")
            parts.append(f"'{tag}'={int(value)}")
        return ", ".join(parts)
    raise TypeError(f"features must be str, a mapping or None, not {type(features).__qualname__}")


def _tag(value: str | None, what: str) -> str:
    if value is None:
        return ""
    if not isinstance(value, str):
        raise TypeError(f"{what} must be str or None, not {type(value).__qualname__}")
    return value


class Font:
    """A font (or one face of a collection) handed to a Uniscribe OpenType backend once.

    `source` is a path or the font's bytes. `index` picks a face of a collection: the
    Uniscribe API has no face index, so that face is handed to the backend as a font of
    its own, its table directory and tables copied out of the collection. `backend` is the
    path of a backend library; by default the module's order of choice (TESVO_VANTOR, then
    the bundled libvantor).

    A Font may be used from several threads at once; the backend's process-wide font is
    used by one request at a time, shared with `_tesvo.shape_json`.
    """

    def __init__(self, source: str | os.PathLike[str] | bytes | FontFile, *, index: int = 0,
                 backend: str | os.PathLike[str] | None = None) -> None:
        if isinstance(index, bool) or not isinstance(index, int):
            raise TypeError(f"index must be int, not {type(index).__qualname__}")
        if isinstance(source, (str, os.PathLike)):
            source = read_font(source)
        if isinstance(source, FontFile):
            self.path: str | None = source.path
            data = source.data
        elif isinstance(source, (bytes, bytearray, memoryview)):
            self.path = None
            data = bytes(source)
        else:
            raise TypeError(f"source must be a path or bytes, not {type(source).__qualname__}")
        if index < 0:
            raise FontError(f"face index {index} out of range: it cannot be negative")
        if index > _MAX_INDEX:
            raise FontError(f"face index {index} out of range: a collection counts its faces in 32 bits")
        library = None if backend is None else os.fspath(backend)
        try:
            opened = _engine.open(data, index, library)
        except (RuntimeError, OverflowError, ValueError) as e:
            raise FontError(str(e)) from None
        self._session, self.upem, self.glyph_count, self.family, backend_path = opened
        self.backend = os.path.normpath(backend_path)
        self.index = index
        self._data = data
        self._sha256: str | None = None
        self._info: FontInfo | None = None
        self._hash_lock = threading.Lock()

    def __repr__(self) -> str:
        where = self.path if self.path is not None else f"sha256:{self.sha256[:12]}..."
        return f"<tesvo.Font {self.family!r} {where} index={self.index}>"

    @property
    def data(self) -> bytes:
        """The font's bytes as given or read (the whole collection)."""
        return self._data

    @property
    def sha256(self) -> str:
        """The SHA-256 of the font's bytes as given (the whole collection)."""
        with self._hash_lock:
            if self._sha256 is None:
                self._sha256 = hashlib.sha256(self._data).hexdigest()
            return self._sha256

    @property
    def info(self) -> FontInfo:
        """How results name the font: its path, or for bytes its content hash."""
        if self._info is None:
            digest = self.sha256 if self.path is None else None
            self._info = FontInfo(self.path, digest, self.index, self.family, self.upem, self.glyph_count,
                                  self.backend)
        return self._info

    def describe(self) -> dict[str, object]:
        """The font as the JSON schema names it (`Result.to_dict()["font"]`)."""
        return dict(self.info.to_dict())

    def _options(self, direction: str, features: Features, script: str | None,
                 language: str | None, trace: bool) -> tuple[_Call, Options]:
        if not isinstance(direction, str):
            raise TypeError(f"direction must be str, not {type(direction).__qualname__}")
        if not isinstance(trace, bool):
            raise TypeError(f"trace must be bool, not {type(trace).__qualname__}")
        call = (direction, _feature_list(features), _tag(script, "script"), _tag(language, "language"), trace)
        return call, Options(direction, call[1] or None, script, language)

    def _run(self, texts: list[object], call: _Call) -> list[_engine._Shaped | str]:
        try:
            return _engine.shape(self._session, texts, *call)
        except ValueError as e:
            raise OptionError(str(e)) from None

    def _result(self, text: object, index: int | None, outcome: _engine._Shaped | str, shown: Options,
                traced: bool) -> Result | ShapeError:
        if isinstance(outcome, str):
            return ShapeError(outcome, text, index)
        items, glyphs, stages, warnings = outcome
        assert isinstance(text, str)
        return Result(self.info, text, items, glyphs,
                      tuple(Stage(item, kind, name, tuple(StageGlyph(*g) for g in glyphs))
                            for item, kind, name, glyphs in stages) if traced else None, shown, warnings)

    def shape(self, text: str, *, direction: str = "auto", features: Features = None,
              script: str | None = None, language: str | None = None, trace: bool = False) -> Result:
        """Shape one text.

        direction: "auto" (the paragraph direction of the Unicode rule: the first strong
        character, isolates skipped; left to right without one), "ltr" or "rtl".
        features: a feature list ("smcp, -kern, ss01=2") or a mapping {"smcp": True}.
        script, language: OpenType tags handed to the backend for every item ("cyrl",
        "SRB"); None lets the font choose the script per item and uses the default
        language system ("" means the same as None). trace: record every step the backend took (`stages`:
        cmap, reordering phases, GSUB and GPOS lookups, final), with true clusters.

        A run of one script and direction with more glyphs than one Uniscribe item
        holds (65,535) is shaped as several items, cut at break opportunities (after
        white space first), each marked `continues` after the first, and
        `Result.warnings` says so.

        Raises OptionError for bad options or options the backend cannot apply, and
        ShapeError when the text cannot be shaped.
        """
        if not isinstance(text, str):
            raise TypeError(f"text must be str, not {type(text).__qualname__}")
        call, shown = self._options(direction, features, script, language, trace)
        result = self._result(text, None, self._run([text], call)[0], shown, trace)
        if isinstance(result, ShapeError):
            raise result
        return result

    def shape_many(self, texts: Iterable[str], *, direction: str = "auto", features: Features = None,
                   script: str | None = None, language: str | None = None,
                   trace: bool = False) -> Iterator[Result | ShapeError]:
        """Shape a corpus with the same options: yields one Result per text in input
        order, or, for a text that cannot be shaped, its ShapeError (with `.index` and
        `.text`) in its place. The options are checked here, before anything is shaped
        (OptionError). Results are made as they are consumed, a few dozen texts at a time,
        so memory stays flat however long the corpus."""
        call, shown = self._options(direction, features, script, language, trace)
        self._run([], call)  # checks the options now, not at the first next()

        def results(chunk: list[object], first: int) -> Iterator[Result | ShapeError]:
            for i, (text, outcome) in enumerate(zip(chunk, self._run(chunk, call))):
                yield self._result(text, first + i, outcome, shown, trace)
        return _chunked(iter(texts), results)

    def shape_json(self, text: str, *, direction: str = "auto", features: Features = None,
                   script: str | None = None, language: str | None = None, trace: bool = False) -> str:
        """The result as `_tesvo.shape_json` writes it (same schema, same text), with this
        font's options applied and `font_info.path` naming the font (its path, or
        "sha256:" and its hash). direction="auto" decides as shape_json does: right to left
        when the text holds a character of the right-to-left blocks."""
        if not isinstance(text, str):
            raise TypeError(f"text must be str, not {type(text).__qualname__}")
        for outcome in self.shape_json_many([text], direction=direction, features=features, script=script,
                                            language=language, trace=trace):
            if isinstance(outcome, ShapeError):
                raise outcome
            return outcome
        raise AssertionError("one text, one outcome")

    def shape_json_many(self, texts: Iterable[str], *, direction: str = "auto", features: Features = None,
                        script: str | None = None, language: str | None = None, trace: bool = False,
                        compact: bool = False) -> Iterator[str | ShapeError]:
        """shape_json for a corpus, streamed as shape_many is: the JSON text of each text,
        or its ShapeError in its place. compact: without the layout, as json.dumps writes
        with separators=(",", ":") (for JSON Lines)."""
        call, _ = self._options(direction, features, script, language, trace)
        name = self.path if self.path is not None else f"sha256:{self.sha256}"
        self._documents([], call, name, compact)

        def documents(chunk: list[object], first: int) -> Iterator[str | ShapeError]:
            for i, (text, (ok, out)) in enumerate(zip(chunk, self._documents(chunk, call, name, compact))):
                yield out if ok else ShapeError(out, text, first + i)
        return _chunked(iter(texts), documents)

    def _documents(self, texts: list[object], call: _Call,
                   name: str, compact: bool = False) -> list[tuple[bool, str]]:
        try:
            return _engine.document(self._session, texts, *call, name, compact)
        except ValueError as e:
            raise OptionError(str(e)) from None


T = TypeVar("T")


def _chunked(texts: Iterator[object], run: Callable[[list[object], int], Iterator[T]]) -> Iterator[T]:
    """Hands the texts to `run` a chunk at a time, with the index of the chunk's first. When
    the texts' iterator raises, the texts it gave before are still shaped and yielded, then
    its exception goes on to the caller."""
    first = 0
    while True:
        chunk: list[object] = []
        try:
            chunk.extend(itertools.islice(texts, _CHUNK))
        except Exception:
            if chunk:
                yield from run(chunk, first)
            raise
        if not chunk:
            return
        yield from run(chunk, first)
        first += len(chunk)
