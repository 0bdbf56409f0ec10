"""A font held by the backend for as many texts as it is asked to shape."""

from __future__ import annotations

import itertools
import os
import threading
from collections import OrderedDict
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import TypeVar, Union

import tesvo._engine as _engine
from tesvo.axes import (Axis, AxisLocation, NamedInstance, Variations, location_text, merged, pairs_text,
                        parse_location, pick_instance, read_design_space, shown_location)
from tesvo.errors import FontError, OptionError, ShapeError
from tesvo.fontfile import FontFile, read_font
from tesvo.result import FontInfo, Item, Options, Result
from tesvo.uniscribe import UniscribeOutputs

__all__ = ["Font", "Features"]

# A feature list as the module parses it ("liga, -kern, ss01=2"), or a mapping of
# tags to values (True/False for on/off, or an integer).
Features = Union[str, Mapping[str, Union[bool, int]], None]

# Texts handed to the engine per call by shape_many and shape_json_many: large
# enough that the call costs nothing per text, small enough that the results are
# streamed.
_CHUNK = 64

_Call = tuple[str, str, str, str, str, bool]
_Pairs = tuple[tuple[str, float], ...]


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

    A variable font is shaped at its default instance unless `named_instance` (an fvar
    instance, by index or name) or `variations` (hb-shape's "wght=700,wdth=80", or a
    mapping {"wght": 700}) set a location; `variations` is applied after the named
    instance. `axes` and `named_instances` list what the font has. Values are clamped to
    their axis as HarfBuzz clamps them; each result records the location it was shaped at.

    A Font may be used from several threads at once; the backend's process-wide font is
    used by one request at a time, shared with `_tesvo.shape_json`.
    """

    def __init__(self, source: str | os.PathLike[str] | bytes | FontFile, *, index: int = 0,
                 backend: str | os.PathLike[str] | None = None, variations: Variations = None,
                 named_instance: int | str | None = None) -> None:
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
        library = None if backend is None else os.fspath(backend)
        try:
            opened = _engine.open(data, index, library)
        except (RuntimeError, OverflowError, ValueError) as e:
            raise FontError(str(e)) from None
        self._session, self.upem, self.glyph_count, self.family, backend_path, version = opened
        self.backend = os.path.normpath(backend_path)
        self.backend_version: str | None = version or None
        self.index = index
        self._data = data
        self._sha256: str | None = None
        self._info: FontInfo | None = None
        self._hash_lock = threading.Lock()
        self._space: tuple[tuple[Axis, ...], tuple[NamedInstance, ...]] | None = None
        self._names: tuple[str, ...] | None = None
        self._scripts: dict[str, dict[str, tuple[str, ...]]] | None = None
        # Remembered per set of options, the least recently used let go beyond _REMEMBERED.
        self._checked_tags: OrderedDict[tuple[str | None, str | None, str | None], tuple[tuple[str, ...], str]] = (
            OrderedDict())
        self._located: OrderedDict[str, tuple[AxisLocation, ...]] = OrderedDict()
        self._features: tuple[str, ...] | None = None  # the features the font can apply, once read
        self._features_read = False
        self._location: _Pairs = ()
        if named_instance is not None:
            self._location = pick_instance(named_instance, self.named_instances).location
        self._location = self._checked_location(variations, self._location)

    @property
    def axes(self) -> tuple[Axis, ...]:
        """The font's variation axes, in fvar's order; empty for a static font."""
        return self._design_space()[0]

    @property
    def named_instances(self) -> tuple[NamedInstance, ...]:
        """The font's named instances, in fvar's order."""
        return self._design_space()[1]

    @property
    def location(self) -> tuple[tuple[str, float], ...]:
        """The location this font shapes at unless a call names another, as set (before
        clamping); empty for the default instance."""
        return self._location

    def _design_space(self) -> tuple[tuple[Axis, ...], tuple[NamedInstance, ...]]:
        if self._space is None:
            self._space = read_design_space(self._data, self.index)
        return self._space

    def _checked_location(self, variations: Variations, base: _Pairs) -> _Pairs:
        text = location_text(variations)
        if not text.strip():
            return base
        return merged(base, parse_location(text, self.axes))

    def _coordinates(self, pairs: _Pairs) -> tuple[AxisLocation, ...]:
        """Every axis at a location as the backend reports it (empty for a static font),
        asked once per location."""
        key = pairs_text(pairs)
        found = _recall(self._located, key)
        if found is None:
            try:
                coords = _engine.coordinates(self._session, key)
            except ValueError as e:
                raise OptionError(str(e)) from None
            tags = _engine.axis_tags(self._data, self.index) if coords else ()
            found = tuple(AxisLocation(tag, design / 65536, normalized / 16384)
                          for tag, (design, normalized) in zip(tags, coords))
            _remember(self._located, key, found)
        return found

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
                import hashlib  # OpenSSL's, loaded for fonts given as bytes only

                self._sha256 = hashlib.sha256(self._data).hexdigest()
            return self._sha256

    @property
    def info(self) -> FontInfo:
        """How results name the font: its path, or for bytes its content hash."""
        if self._info is None:
            digest = self.sha256 if self.path is None else None
            self._info = FontInfo(self.path, digest, self.index, self.family, self.upem, self.glyph_count,
                                  self.backend, self.backend_version)
        return self._info

    def describe(self) -> dict[str, object]:
        """The font as the JSON schema names it (`Result.to_dict()["font"]`)."""
        return dict(self.info.to_dict())

    def _options(self, direction: str, features: Features, script: str | None,
                 language: str | None, trace: bool,
                 variations: Variations = None) -> tuple[_Call, Options, tuple[AxisLocation, ...]]:
        if not isinstance(direction, str):
            raise TypeError(f"direction must be str, not {type(direction).__qualname__}")
        if not isinstance(trace, bool):
            raise TypeError(f"trace must be bool, not {type(trace).__qualname__}")
        pairs = self._checked_location(variations, self._location)
        call = (direction, _feature_list(features), _tag(script, "script"), _tag(language, "language"),
                pairs_text(pairs), trace)
        location = self._coordinates(pairs)
        return call, Options(direction, call[1] or None, script, language, shown_location(pairs)), location

    @property
    def glyph_names(self) -> tuple[str, ...]:
        """Every glyph's name by id, as HarfBuzz gives it (and hb-shape prints it): from
        'post' or a CFF charset, else "gid<N>". Read from the font once."""
        if self._names is None:
            self._names = _engine.glyph_names(self._session)
        return self._names

    def _run(self, texts: list[object], call: _Call, extras: bool = False) -> list[_engine._Shaped | str]:
        try:
            return _engine.shape(self._session, texts, *call, self.glyph_names, extras)
        except ValueError as e:
            raise OptionError(str(e)) from None

    def _layout(self) -> dict[str, dict[str, tuple[str, ...]]]:
        """Script tag -> its language system tags, over GSUB and GPOS (tags unpadded)."""
        if self._scripts is None:
            scripts: dict[str, dict[str, tuple[str, ...]]] = {}
            for table in _engine.layout_tags(self._session):
                for script, _, languages in table:
                    known = scripts.setdefault(script.rstrip(" "), {})
                    known.update((tag.rstrip(" "), ()) for tag in languages)
            self._scripts = scripts
        return self._scripts

    def tag_warnings(self, script: str | None = None, language: str | None = None,
                     features: Features = None) -> tuple[str, ...]:
        """What Result.warnings says of these options whatever the text: a script the font's
        GSUB and GPOS do not list, a language code without an OpenType language system, a
        feature turned on that the font does not have."""
        return self._tag_warnings(script, language, _feature_list(features) or None)[0]

    def _tag_warnings(self, script: str | None, language: str | None,
                      features: str | None = None) -> tuple[tuple[str, ...], str]:
        """The warnings that do not depend on the text, and the language system tag the
        language option selects ("" for the default)."""
        key = (script, language, features)
        found = _recall(self._checked_tags, key)
        if found is None:
            found = self._check_tags(script, language, features)
            _remember(self._checked_tags, key, found)
        return found

    def _feature_warnings(self, features: str | None) -> list[str]:
        """A feature turned on that the font's GSUB, GPOS (and kern table) do not have."""
        if not features:
            return []
        if not self._features_read:
            self._features, self._features_read = _engine.feature_tags(self._data, self.index), True
        known = self._features
        if known is None:
            return []
        asked = [tag for tag, value in _engine.parse_features(features, True) if value]
        missing = [tag.rstrip(" ") for tag in dict.fromkeys(asked) if tag not in known]
        listed = ", ".join(sorted(_shown(t.rstrip(" ")) for t in known)) or "none"
        return [f"the font has no feature {tag!r} in GSUB or GPOS (its features: {listed}); it changed nothing"
                for tag in missing]

    def _check_tags(self, script: str | None, language: str | None,
                    features: str | None = None) -> tuple[tuple[str, ...], str]:
        warnings = self._feature_warnings(features)
        scripts = self._layout()
        listed = ", ".join(sorted(_shown(t) for t in scripts)) or "none"
        if script and script.rstrip(" ") not in scripts:
            warnings.append(f"the font has no script {script!r} in GSUB or GPOS (its scripts: {listed}); "
                            "each item was shaped with the script the font selects for it")
        tag = ""
        if language:
            try:
                tag = _engine.language_tag(self._session, language).rstrip(" ")
            except ValueError as e:
                raise OptionError(str(e)) from None
            if not tag:
                warnings.append(f"no OpenType language system for {language!r}: the default one was used")
        return tuple(warnings), tag

    def _language_warning(self, items: tuple[Item, ...], language: str, tag: str) -> tuple[str, ...]:
        if not tag:
            return ()
        scripts = self._layout()
        used = sorted({item.script_tag.rstrip(" ") for item in items})
        if any(tag in scripts.get(script, {}) for script in used):
            return ()
        return (f"the font has no language system {tag!r} ({language!r}) for the script "
                f"{' or '.join(repr(s) for s in used)}: the default language system was used",)

    def _result(self, text: object, index: int | None, outcome: _engine._Shaped | str, shown: Options,
                traced: bool, location: tuple[AxisLocation, ...]) -> Result | ShapeError:
        if isinstance(outcome, str):
            return ShapeError(outcome, text, index)
        items, glyphs, stages, cuts, props = outcome
        assert isinstance(text, str)
        warnings, tag = self._tag_warnings(shown.script, shown.language, shown.features)
        if shown.language:
            warnings += self._language_warning(items, shown.language, tag)
        warnings += cuts
        return Result(self.info, text, items, glyphs, stages if traced else None, shown, location, warnings,
                      UniscribeOutputs(props, text))

    def shape(self, text: str, *, direction: str = "auto", features: Features = None,
              script: str | None = None, language: str | None = None, trace: bool = False,
              variations: Variations = None, extras: bool = False) -> Result:
        """Shape one text.

        direction: "auto" (the paragraph direction of the Unicode rule: the first strong
        character, isolates skipped; left to right without one), "ltr" or "rtl".
        features: a feature list ("smcp, -kern, ss01=2") or a mapping {"smcp": True}.
        script, language: OpenType tags handed to the backend for every item ("cyrl",
        "SRB"); None lets the font choose the script per item and uses the default
        language system ("" means the same as None). trace: record every step the backend took (`stages`:
        cmap, reordering phases, GSUB and GPOS lookups, final), with true clusters.
        variations: axis values set for this call on top of the font's location
        ("wght=700" or {"wght": 700}); an axis the font does not have is an OptionError.
        extras: also ask the backend for what costs it more: each item's ABC widths
        (`Result.abc`) and every character's break attributes from ScriptBreak
        (`Result.uniscribe.soft_break` and the others); a trace asks for them too.

        A run of one script and direction with more glyphs than one Uniscribe item
        holds (65,535) is shaped as several items, cut at break opportunities (after
        white space first), each marked `continues` after the first, and
        `Result.warnings` says so.

        Raises OptionError for bad options or options the backend cannot apply, and
        ShapeError when the text cannot be shaped.
        """
        if not isinstance(text, str):
            raise TypeError(f"text must be str, not {type(text).__qualname__}")
        call, shown, location = self._options(direction, features, script, language, trace, variations)
        result = self._result(text, None, self._run([text], call, extras or trace)[0], shown, trace, location)
        if isinstance(result, ShapeError):
            raise result
        return result

    def shape_many(self, texts: Iterable[str], *, direction: str = "auto", features: Features = None,
                   script: str | None = None, language: str | None = None,
                   trace: bool = False, variations: Variations = None,
                   extras: bool = False) -> Iterator[Result | ShapeError]:
        """Shape a corpus with the same options: yields one Result per text in input
        order, or, for a text that cannot be shaped, its ShapeError (with `.index` and
        `.text`) in its place. The options are checked here, before anything is shaped
        (OptionError). Results are made as they are consumed, a few dozen texts at a time,
        so memory stays flat however long the corpus."""
        call, shown, location = self._options(direction, features, script, language, trace, variations)
        self._run([], call)  # checks the options now, not at the first next()

        def results(chunk: list[object], first: int) -> Iterator[Result | ShapeError]:
            for i, (text, outcome) in enumerate(zip(chunk, self._run(chunk, call, extras or trace))):
                yield self._result(text, first + i, outcome, shown, trace, location)
        return _chunked(iter(texts), results)

    def shape_json(self, text: str, *, direction: str = "auto", features: Features = None,
                   script: str | None = None, language: str | None = None, trace: bool = False,
                   variations: Variations = None) -> str:
        """The result as `_tesvo.shape_json` writes it (same schema, same text), with this
        font's options applied and `font_info.path` naming the font (its path, or
        "sha256:" and its hash). direction="auto" decides as shape_json does: right to left
        when the text holds a character of the right-to-left blocks. Unlike shape_json, an
        item with more glyphs than one Uniscribe item holds is shaped as pieces, as `shape`
        does, with a message naming the cut."""
        if not isinstance(text, str):
            raise TypeError(f"text must be str, not {type(text).__qualname__}")
        for outcome in self.shape_json_many([text], direction=direction, features=features, script=script,
                                            language=language, trace=trace, variations=variations):
            if isinstance(outcome, ShapeError):
                raise outcome
            return outcome
        raise AssertionError("one text, one outcome")

    def shape_json_many(self, texts: Iterable[str], *, direction: str = "auto", features: Features = None,
                        script: str | None = None, language: str | None = None, trace: bool = False,
                        compact: bool = False, variations: Variations = None) -> Iterator[str | ShapeError]:
        """shape_json for a corpus, streamed as shape_many is: the JSON text of each text,
        or its ShapeError in its place. compact: without the layout, as json.dumps writes
        with separators=(",", ":") (for JSON Lines)."""
        call, _, _ = self._options(direction, features, script, language, trace, variations)
        name = self._document_path()
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

    def _document_path(self) -> str:
        """How shape_json's document names the font: its path, or "sha256:" and its hash."""
        return self.path if self.path is not None else f"sha256:{self.sha256}"

    def lines(self, texts: Iterable[str], *, first: int = 1, schema: str = "shape_json",
              notation: Mapping[str, bool] | None = None, direction: str = "auto", features: Features = None,
              script: str | None = None, language: str | None = None, trace: bool = False,
              variations: Variations = None) -> tuple[bytes, int]:
        """What `tesvo --batch` prints for a run of texts, written by the engine: one line per
        text, as UTF-8, and the number of texts that failed.

        With `notation` (Result.to_text's switches, e.g. {"names": False}) a line is hb-shape's
        text notation of the text's glyphs, empty for a text that failed. Otherwise it is a JSON
        Lines record, numbered from `first`: {"line": N, "text": ..., "result": {...}} with the
        result in `schema` ("shape_json": shape_json's compact document; "tesvo":
        Result.to_dict()), or {"line": N, "text": ..., "error": "message"}; compact, as
        json.dumps writes with separators=(",", ":") and ensure_ascii=False.

        Options as for shape_many (shape_json's automatic direction for its schema). Every
        text must be a str without lone surrogates (TypeError, UnicodeError).
        """
        texts = list(texts)
        call, shown, location = self._options(direction, features, script, language, trace, variations)
        form: tuple[object, ...]
        if notation is not None:
            parts = {"names": True, "clusters": True, "positions": True, "advances": True}
            unknown = set(notation) - set(parts)
            if unknown:
                raise TypeError(f"notation: unknown switch {sorted(unknown)[0]!r}")
            parts.update((k, bool(v)) for k, v in notation.items())
            form = ("text", *parts.values())
        elif schema == "shape_json":
            form = ("shape_json", self._document_path())
        elif schema == "tesvo":
            fixed, tag = self._tag_warnings(shown.script, shown.language, shown.features)
            if trace or (shown.language and tag):
                # Stages, or a warning that depends on the text's items: a Result each.
                return _result_lines(texts, first, self.shape_many(
                    texts, direction=direction, features=features, script=script, language=language, trace=trace,
                    variations=variations))
            form = ("tesvo", self.info, shown, location, fixed)
        else:
            raise ValueError(f"schema must be 'shape_json' or 'tesvo', not {schema!r}")
        try:
            return _engine.lines(self._session, texts, *call, first, form)
        except UnicodeError:
            raise
        except ValueError as e:
            raise OptionError(str(e)) from None


def _shown(tag: str) -> str:
    """A font's tag in a message: its control characters escaped, as repr writes them (a
    hostile font's tags reach a terminal through the warnings)."""
    return repr(tag)[1:-1]


_REMEMBERED = 256  # locations and sets of options a Font keeps what it found for

K = TypeVar("K")
V = TypeVar("V")


def _recall(cache: OrderedDict[K, V], key: K) -> V | None:
    found = cache.get(key)
    if found is not None:
        cache.move_to_end(key)
    return found


def _remember(cache: OrderedDict[K, V], key: K, value: V) -> None:
    cache[key] = value
    if len(cache) > _REMEMBERED:
        cache.popitem(last=False)


def _result_lines(texts: list[str], first: int, outcomes: Iterator[Result | ShapeError]) -> tuple[bytes, int]:
    """Font.lines in the package schema, a Result at a time, each written by the engine."""
    import json

    lines, failed = [], 0
    for number, (text, outcome) in enumerate(zip(texts, outcomes), start=first):
        head = f'{{"line":{number},"text":{json.dumps(text, ensure_ascii=False)}'
        if isinstance(outcome, ShapeError):
            lines.append(head + ',"error":' + json.dumps(" ".join(str(outcome).split("\n")), ensure_ascii=False) + "}\n")
            failed += 1
        else:
            lines.append(head + ',"result":' + _engine.result_json(outcome) + "}\n")
    return "".join(lines).encode(), failed


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
