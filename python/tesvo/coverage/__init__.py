"""Lookup coverage: which of a font's GSUB and GPOS lookups a set of texts reaches.

Every text is shaped traced; a lookup is reached by a line when a step it made changed the
line's run, and ran on it when its step is there but changed nothing. Per subtable, the
count is inferred: a changed line is given to the first subtable whose coverage holds a
glyph the step changed. With `generate=True`, texts made from the font itself (`generate`)
are added, each kept only if it reached the lookup it was made for; a lookup still not
reached says why (`LookupCoverage.reason`). The figure is of the lookups in reach with the
options: those out of reach (of a script or language system not shaped, a feature off unless
asked, referenced by nothing, or that no text can reach, `reach`) are left out of it.

    >>> from tesvo.coverage import coverage
    >>> report = coverage("NotoSans-Regular.ttf", generate=True)
    >>> print(report.to_text())
"""

from __future__ import annotations

import itertools
import os
import time
from collections.abc import Iterable, Iterator, Sequence
from typing import Optional, Union

from tesvo.corpora import for_font, load
from tesvo.coverage.generate import Generated, generate as make_texts
from tesvo.coverage.hits import Coverages, LineHits, LookupKey, line_hits, stage_lookups
from tesvo.coverage.lookups import Lookup, LookupList
from tesvo.coverage.reach import unreachable
from tesvo.coverage.records import OPTION_WHY, SCHEMA, Coverage, LookupCoverage
from tesvo.errors import OptionError, ShapeError
from tesvo.font import Features, Font
from tesvo.fontfile import FontFile, read_font
from tesvo.result import Result

__all__ = ["coverage", "generate_texts", "Coverage", "LookupCoverage", "Shaper", "SCHEMA"]

_CHUNK = 256


class Shaper:
    """One font with the options of a coverage: shapes texts traced and says what each
    reached."""

    def __init__(self, font: Union[str, os.PathLike[str], bytes, FontFile], *, index: int = 0,
                 features: Features = None, script: Optional[str] = None, language: Optional[str] = None,
                 variations: Optional[str] = None, named_instance: Union[int, str, None] = None,
                 backend: Optional[str] = None, direction: str = "auto") -> None:
        data = font if isinstance(font, (bytes, FontFile)) else read_font(font)
        self.name = os.path.basename(data.path) if isinstance(data, FontFile) else "(font bytes)"
        raw = data.data if isinstance(data, FontFile) else data
        self.font = Font(data, index=index, backend=backend, variations=variations, named_instance=named_instance)
        self.direction, self.features, self.script, self.language = direction, features, script, language
        list(self._shaped([]))  # the options checked before anything is shaped
        self.lookups = LookupList(raw, index)
        gids = {name: k for k, name in enumerate(self.lookups.glyph_order)}
        pairs = {(lk.key, k): frozenset((gids[a], gids[b]) for a, b in sub.pairs if a in gids and b in gids)
                 for lk in self.lookups.lookups for k, sub in enumerate(lk.subtables) if sub.pairs is not None}
        makes: dict[LookupKey, dict[int, frozenset[int]]] = {}
        for lk in self.lookups.lookups:
            for sub in lk.subtables:
                for inputs, outputs in sub.products:
                    if inputs and inputs[0] in gids:
                        made = makes.setdefault(lk.key, {})
                        made[gids[inputs[0]]] = made.get(gids[inputs[0]], frozenset()) | {
                            gids[g] for g in outputs if g in gids}
        self.coverages = Coverages({lk.key: [frozenset(gids[g] for g in sub.coverage if g in gids)
                                             for sub in lk.subtables] for lk in self.lookups.lookups}, pairs, makes)

    def hits(self, texts: Iterable[str], features: Features = None) -> Iterator[Optional[LineHits]]:
        """Per text, what it reached (shaped with `features` instead of the coverage's, where
        given); None for a text that could not be shaped."""
        pending = iter(texts)
        while chunk := list(itertools.islice(pending, _CHUNK)):
            for outcome in self._shaped(chunk, features):
                yield None if isinstance(outcome, ShapeError) else line_hits(outcome, self.coverages)

    def _shaped(self, texts: list[str], features: Features = None) -> Iterator[Union[Result, ShapeError]]:
        return self.font.shape_many(texts, direction=self.direction, features=features or self.features,
                                    script=self.script, language=self.language, trace=True)

    def runs(self, texts: Iterable[str]) -> Iterator[tuple[tuple[int, ...], ...]]:
        """Per text, the glyph ids of the run after each of its lookup steps (none for a text
        that could not be shaped)."""
        pending = iter(texts)
        while chunk := list(itertools.islice(pending, _CHUNK)):
            for outcome in self._shaped(chunk):
                stages = () if isinstance(outcome, ShapeError) else outcome.stages or ()
                yield tuple(stage.ids for stage in stages if next(stage_lookups(stage), None) is not None)

    def generate(self) -> Generated:
        return make_texts(self.lookups, lambda texts: list(self.hits(texts)), lambda texts: list(self.runs(texts)))


def generate_texts(font: Union[str, os.PathLike[str], bytes, FontFile], *, index: int = 0, features: Features = None,
                   script: Optional[str] = None, language: Optional[str] = None, variations: Optional[str] = None,
                   named_instance: Union[int, str, None] = None, backend: Optional[str] = None,
                   direction: str = "auto") -> tuple[str, ...]:
    """The texts made from the font that reach its lookups and rules, shaped with the
    options given (as coverage(generate=True) makes them): what `tesvo compare --generate`
    adds to its texts."""
    shaper = Shaper(font, index=index, features=features, script=script, language=language, variations=variations,
                    named_instance=named_instance, backend=backend, direction=direction)
    return shaper.generate().texts


class _Tally:
    """Lines per lookup: changed, ran only, changed per subtable."""

    def __init__(self) -> None:
        self.changed: dict[LookupKey, int] = {}
        self.ran_only: dict[LookupKey, int] = {}
        self.subtables: dict[tuple[LookupKey, int], int] = {}
        self.ran: set[LookupKey] = set()
        self.scripts: set[str] = set()
        self.lines = 0

    def add(self, hits: Optional[LineHits]) -> None:
        self.lines += 1
        if hits is None:
            return
        self.ran.update(hits.ran)
        self.scripts.update(hits.scripts)
        for key, sub in hits.changed.items():
            self.changed[key] = self.changed.get(key, 0) + 1
            if sub is not None:
                self.subtables[(key, sub)] = self.subtables.get((key, sub), 0) + 1
        for key in hits.ran - hits.changed.keys():
            self.ran_only[key] = self.ran_only.get(key, 0) + 1

    def per_subtable(self, lookup: Lookup) -> tuple[int, ...]:
        return tuple(self.subtables.get((lookup.key, k), 0) for k in range(len(lookup.subtables)))


def default_corpora(lookups: LookupList) -> list[str]:
    """The shipped corpora of the font's scripts; OptionError when none fits."""
    chosen = for_font(lookups.scripts, lookups.cmap)
    if not chosen:
        raise OptionError("no shipped corpus fits the font's scripts; give texts (--text-file) or a corpus")
    return chosen


def coverage(font: Union[str, os.PathLike[str], bytes, FontFile], texts: Optional[Iterable[str]] = None, *,
             corpus: Union[str, Sequence[str], None] = None, generate: bool = False, index: int = 0,
             features: Features = None, script: Optional[str] = None, language: Optional[str] = None,
             variations: Optional[str] = None, named_instance: Union[int, str, None] = None,
             backend: Optional[str] = None, direction: str = "auto") -> Coverage:
    """Which of the font's lookups `texts` reach, shaped with the options given; the texts
    of the shipped `corpus` (a name or names) are added, and with neither, the corpora of
    the font's scripts are used. `generate`: texts made from the font are added too
    (Coverage.generated). FontError, OptionError for a font or options that cannot be used,
    KeyError for an unknown corpus."""
    started = time.perf_counter()
    shaper = Shaper(font, index=index, features=features, script=script, language=language,
                    variations=variations, named_instance=named_instance, backend=backend, direction=direction)
    names = [corpus] if isinstance(corpus, str) else list(corpus or ())
    lines = list(texts or ())
    if not names and texts is None:
        names = default_corpora(shaper.lookups)
    for name in names:
        lines += load(name)
    tally = _Tally()
    for hits in shaper.hits(lines):
        tally.add(hits)
    made = shaper.generate() if generate else None
    extra = _Tally()
    for hits in shaper.hits(made.texts if made else ()):
        extra.add(hits)
    called_by: dict[LookupKey, list[int]] = {}
    for lookup in shaper.lookups.lookups:
        for k in lookup.calls:
            called_by.setdefault((lookup.table, k), []).append(lookup.number)
    records = [_record(lk, tally, extra, made, tuple(called_by.get(lk.key, ())), language)
               for lk in shaper.lookups.lookups]
    if made is not None:
        records = [_confirmed(shaper, lk, record, made) for lk, record in zip(shaper.lookups.lookups, records)]
    out = {r.key: r.why or "" for r in records if not r.reached and r.why in OPTION_WHY}
    dead = unreachable(shaper.lookups, out, [r.key for r in records if r.reached])
    records = [r._replace(why="unreachable", reason=f"no text can reach it with these options: {dead[r.key]}")
               if r.key in dead else r for r in records]
    return Coverage(shaper.name, len(lines), tuple(names), tuple(records), made.texts if made else (),
                    time.perf_counter() - started)


def _record(lookup: Lookup, tally: _Tally, extra: _Tally, made: Optional[Generated],
            called_by: tuple[int, ...], language: Optional[str]) -> LookupCoverage:
    record = LookupCoverage(lookup.table, lookup.number, lookup.type, lookup.type_name, lookup.features, lookup.name,
                            tally.changed.get(lookup.key, 0), tally.ran_only.get(lookup.key, 0),
                            tally.per_subtable(lookup), extra.changed.get(lookup.key, 0), extra.per_subtable(lookup),
                            lookup.calls, called_by)
    if record.reached:
        return record
    ran = tally.ran | extra.ran | (made.ran if made else set())
    # With texts made from the font, a script counts where its own characters are shaped
    # with it (the corpora shape Latin as latn in a font without Latin letters).
    scripts = made.scripts if made else tally.scripts
    why, reason = _reason(lookup, ran, scripts, made, called_by, language)
    return record._replace(why=why, reason=reason)


def _reason(lookup: Lookup, ran: set[LookupKey], scripts: set[str], made: Optional[Generated],
            called_by: tuple[int, ...], language: Optional[str]) -> tuple[str, str]:
    """Why no line reached the lookup (a word of WHY, and in words), from what the font says
    of it and what the traces showed."""
    if not lookup.features:
        if called_by:
            return "nested", (f"called only from contextual lookup {', '.join(map(str, called_by))}, which "
                              "never called it on the texts (or the backend's HarfBuzz does not tell the calls)")
        return "no feature", "referenced by no feature"
    if lookup.key in ran:
        if made is not None and lookup.key not in made.tried:
            return "no cmap path", "ran on the texts, but no text could be made for it: no cmap path to its glyphs"
        on = "the texts made for it" if made is not None else "the texts"
        return "unchanged", (f"ran without changing anything on {on}: the context its rules ask for not met, or "
                             "its glyphs taken by an earlier lookup")
    shaped = [use for use in lookup.features if use.script in scripts]
    if not shaped:
        which = "no text of the font's characters was" if made is not None else "no item was"
        return "other script", (f"only under the script {', '.join(sorted({u.script for u in lookup.features}))}, "
                                f"which {which} shaped with (they were shaped as {', '.join(sorted(scripts))}; "
                                "give --script)")
    asked = (language or "").strip().upper()
    if all(use.language != "dflt" and use.language.upper() != asked for use in shaped):
        names = sorted({f"{u.script}/{u.language}" for u in shaped})
        return "other language", f"only under the language systems {', '.join(names)} (give --language)"
    if made is None:
        return "not run", "never ran on the texts (--generate makes texts for it)"
    if lookup.key not in made.tried:
        return "no cmap path", "no text: no cmap path to the glyphs its rules ask for"
    tags = ",".join(lookup.feature_tags)
    return "on request", f"not applied with these options: feature {tags} only on request (give --features {tags})"


def _confirmed(shaper: Shaper, lookup: Lookup, record: LookupCoverage, made: Generated) -> LookupCoverage:
    """An "on request" lookup stays so only if the texts made for it reach it with its
    features turned on; else it is "not run" (and counts among the lookups in reach)."""
    if record.why != "on request":
        return record
    tags = lookup.feature_tags
    texts = made.made_for.get(lookup.key, ())
    if any(hits is not None and lookup.key in hits.changed
           for hits in shaper.hits(texts, features=_with_features(shaper.features, tags))):
        return record
    return record._replace(why="not run", reason=f"never ran on the texts made for it, not even with --features "
                                                 f"{','.join(tags)}")


def _with_features(features: Features, tags: Sequence[str]) -> Features:
    if features is None or features == "":
        return ",".join(tags)
    if isinstance(features, str):
        return features + "," + ",".join(tags)
    return {**features, **{tag: True for tag in tags}}
