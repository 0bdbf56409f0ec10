"""Texts made from the font itself that reach its lookups: for each rule of a lookup (a
ligature, a kerning pair or pair of classes, a mark on a base, a contextual rule's backtrack,
input and lookahead) the characters that give its glyphs, through the cmap and through the
substitutions before it (a ligature's glyph comes from its components' characters, a glyph
that a single substitution makes from that glyph's).

Each text is shaped, traced, and kept only if the lookup it was made for changed its run. A
rule whose text alone does not reach its lookup is tried in context: doubled, between two
letters of its script (the letter the font's rules use most in that block of Unicode), and
beside a zero width joiner (for the joining forms of Arabic, Syriac, N'Ko, Mongolian). The
order of everything is the font's: lookups by index, subtables and rules as stored, glyphs
by glyph order, so the same font gives the same texts.

Substitutions and single adjustments are reached once per subtable; ligatures, pairs, marks,
cursive pairs and contextual rules once per rule (bounded by lookups.MAX_RULES per subtable),
so that a changed kerning pair or mark anchor is on some line whatever lookup it sits in."""

from __future__ import annotations

import unicodedata
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from typing import NamedTuple, Optional

from tesvo.coverage.hits import LineHits, LookupKey
from tesvo.coverage.lookups import Lookup, LookupList, Rule

__all__ = ["Generated", "generate", "glyph_sources"]

Shape = Callable[[Sequence[str]], Sequence[Optional[LineHits]]]

ZWJ = "\u200d"
# Rules of one subtable of a substitution or single adjustment tried until one reaches it.
SUBTABLE_TRIES = 24
# Rules of one lookup not reached alone that are tried in context.
CONTEXT_TRIES = 64
# Sources tried at each position of a rule before its text is tried in context.
CHOICES = 4
# Lookups reached once per subtable, not once per rule.
PER_SUBTABLE = {("GSUB", 1), ("GSUB", 2), ("GSUB", 3), ("GSUB", 8), ("GPOS", 1)}


class Generated(NamedTuple):
    texts: tuple[str, ...]  # the texts kept, in the order made
    ran: set[LookupKey]  # lookups that ran on some text tried
    tried: set[LookupKey]  # lookups some text was made for
    scripts: set[str]  # the script tags the items of the texts tried were shaped with


class _Target(NamedTuple):
    key: LookupKey
    texts: tuple[str, ...]  # the text alone, then in context


def glyph_sources(lookups: LookupList) -> dict[str, str]:
    """Glyph name to the shortest text known to give it: its characters in the cmap (the
    lowest code point), then what the substitutions make, in lookup order, twice over (a
    glyph made from a glyph made by a later lookup)."""
    sources: dict[str, str] = {}
    for cp in sorted(lookups.cmap):
        if _usable(cp) and not _compatibility(cp):
            sources.setdefault(lookups.cmap[cp], chr(cp))
    for _ in range(2):
        for lookup in lookups.lookups:
            for sub in lookup.subtables:
                for inputs, outputs in sub.products:
                    parts = [sources.get(g) for g in inputs]
                    if all(p is not None for p in parts):
                        text = "".join(p for p in parts if p is not None)
                        for out in outputs:
                            if out not in sources or len(text) < len(sources[out]):
                                sources[out] = text
    # A presentation form (U+FEE0 ARABIC LETTER LAM MEDIAL FORM) is a glyph's source only
    # where no substitution makes the glyph from the letter itself: it does not join.
    for cp in sorted(lookups.cmap):
        if _usable(cp):
            sources.setdefault(lookups.cmap[cp], chr(cp))
    return sources


def _compatibility(cp: int) -> bool:
    return unicodedata.decomposition(chr(cp)).startswith("<")


def _usable(cp: int) -> bool:
    category = unicodedata.category(chr(cp))
    return category not in ("Cc", "Cs", "Co", "Cn", "Zl", "Zp")


def _text(rule: Rule, sources: dict[str, str], choice: int = 0) -> Optional[str]:
    """The rule's text: at each position a source of the glyphs that may stand there, the
    shortest first; `choice` takes the next ones (a mark that the normalizer would compose
    with its base into one character replaced by another of the same class)."""
    parts = []
    for glyphs in rule:
        known = sorted((sources[g] for g in glyphs if g in sources), key=len)
        if not known:
            return None
        parts.append(known[choice % len(known)])
    return "".join(parts)


def _letters(lookups: LookupList, sources: dict[str, str]) -> dict[int, str]:
    """Per block of 128 code points, the letter the font's rules name most often."""
    counts: Counter[str] = Counter()
    for lookup in lookups.lookups:
        for sub in lookup.subtables:
            for rule in sub.rules:
                for glyphs in rule:
                    source = sources.get(glyphs[0], "") if glyphs else ""
                    if len(source) == 1 and unicodedata.category(source).startswith("L"):
                        counts[source] += 1
    best: dict[int, str] = {}
    for letter, _ in sorted(counts.items(), key=lambda kv: (-kv[1], kv[0])):
        best.setdefault(ord(letter) >> 7, letter)
    return best


def _in_context(text: str, letters: dict[int, str]) -> tuple[str, ...]:
    """The text alone, then in the contexts a shaper's forms ask for."""
    own = next((ch for ch in text if unicodedata.category(ch).startswith("L")), None)
    block = letters.get(ord(own) >> 7) if own is not None else letters.get(ord(text[0]) >> 7)
    tries = [text, text + text]
    for letter in dict.fromkeys(x for x in (block, own) if x is not None):
        tries += [letter + text, text + letter, letter + text + letter]
    tries += [ZWJ + text, text + ZWJ, ZWJ + text + ZWJ, text * 3]
    return tuple(dict.fromkeys(tries))


def _targets(lookup: Lookup, sources: dict[str, str], letters: dict[int, str]) -> Iterator[list[_Target]]:
    """Per subtable (or per rule), the texts that may reach the lookup, in the order tried."""
    per_subtable = (lookup.table, lookup.type) in PER_SUBTABLE
    for sub in lookup.subtables:
        if per_subtable:
            texts = list(dict.fromkeys(t for t in (_text(r, sources) for r in sub.rules) if t))[:SUBTABLE_TRIES]
            yield [_Target(lookup.key, _in_context(t, letters)) for t in texts]
            continue
        for rule in sub.rules:
            text = _text(rule, sources)
            if text:
                others = (_text(rule, sources, k) for k in range(1, CHOICES))
                yield [_Target(lookup.key, tuple(dict.fromkeys((text, *(t for t in others if t),
                                                                 *_in_context(text, letters)))))]


def generate(lookups: LookupList, shape: Shape) -> Generated:
    """Texts that reach the font's lookups, each checked by `shape`, which shapes texts
    traced and gives each one's LineHits (None: it failed)."""
    sources = glyph_sources(lookups)
    letters = _letters(lookups, sources)
    groups = [g for lookup in lookups.lookups for g in _targets(lookup, sources, letters)]
    tried = {g[0].key for g in groups if g}
    seen: dict[str, Optional[LineHits]] = {}
    ran: set[LookupKey] = set()
    scripts: set[str] = set()

    def check(texts: list[str]) -> None:
        fresh = [t for t in dict.fromkeys(texts) if t not in seen]
        for text, hits in zip(fresh, shape(fresh)):
            seen[text] = hits
            if hits is not None:
                ran.update(hits.ran)
                scripts.update(hits.scripts)

    def reaches(target: _Target, text: str) -> bool:
        hits = seen.get(text)
        return hits is not None and target.key in hits.changed

    kept: dict[int, str] = {}
    pending = list(range(len(groups)))
    for depth in range(max((len(t.texts) for g in groups for t in g), default=0)):
        check([t.texts[depth] for k in pending for t in _tries(groups[k], depth, kept, k)])
        still: list[int] = []
        for k in pending:
            found = next((t.texts[depth] for t in groups[k] if depth < len(t.texts) and reaches(t, t.texts[depth])),
                         None)
            if found is not None:
                kept[k] = found
            elif depth == 0 or _worth_more(groups[k], ran, still, groups):
                still.append(k)
        pending = still
    return Generated(tuple(dict.fromkeys(kept[k] for k in sorted(kept))), ran, tried, scripts)


def _tries(group: list[_Target], depth: int, kept: dict[int, str], k: int) -> list[_Target]:
    return [t for t in group if depth < len(t.texts)] if k not in kept else []


def _worth_more(group: list[_Target], ran: set[LookupKey], still: list[int], groups: list[list[_Target]]) -> bool:
    """A group tried in a further context: at most CONTEXT_TRIES groups per lookup."""
    if not group:
        return False
    key = group[0].key
    return sum(1 for k in still if groups[k] and groups[k][0].key == key) < CONTEXT_TRIES
