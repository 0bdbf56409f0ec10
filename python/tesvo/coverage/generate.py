"""Texts made from the font itself that reach its lookups: for each rule of a lookup (a
ligature, a kerning pair or pair of classes, a mark on a base, a contextual rule's backtrack,
input and lookahead) the characters that give its glyphs, through the cmap and through the
substitutions before it (a ligature's glyph comes from its components' characters, a glyph
that a single substitution makes from that glyph's).

A rule's glyphs are in the order the lookup sees them, which is not always the text's: a
shaper that reorders a cluster (Indic scripts) moves a pre-base matra's glyph before the
consonants it follows and a reph's after those it precedes. Which texts move is found by
shaping each beside a letter of its script, and the rule's text is written back in the
order that gives its glyphs.

Each text is shaped, traced, and kept only if the lookup it was made for changed its run (a
contextual rule: and called the lookups the rule calls, else the first text that reached
the lookup is kept). A rule whose text alone does not reach its lookup is tried in context: doubled, between two
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
# Per text, the glyph ids of the run after each lookup step (empty: it failed).
Runs = Callable[[Sequence[str]], Sequence[Sequence[tuple[int, ...]]]]

ZWJ = "\u200d"
ZWNJ = "\u200c"
# Rules of one subtable of a substitution or single adjustment tried until one reaches it.
SUBTABLE_TRIES = 24
# Rules of one lookup not reached alone that are tried in context.
CONTEXT_TRIES = 64
# Sources tried at each position of a rule before its text is tried in context.
CHOICES = 4
# Texts kept per glyph that may give it, the best checked first by shaping.
SOURCES = 4
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
    calls: frozenset[LookupKey] = frozenset()  # the lookups a contextual rule calls


def glyph_sources(lookups: LookupList) -> dict[str, list[str]]:
    """Glyph name to the texts known to give it, best first: its characters in the cmap (the
    lowest code point first), then what the substitutions make, in lookup order, twice over (a
    glyph made from a glyph made by a later lookup), the shorter first; a glyph that a
    substitution makes beside others (a part of a multiple substitution's output) after those
    it is the whole output of. At most SOURCES per glyph."""
    found: dict[str, dict[str, tuple[int, int, int]]] = {}

    def add(glyph: str, text: str, partial: int) -> None:
        known = found.setdefault(glyph, {})
        if text not in known:
            known[text] = (partial, len(text), len(known))

    def best(glyph: str) -> Optional[str]:
        known = found.get(glyph)
        return min(known, key=known.__getitem__) if known else None

    for cp in sorted(lookups.cmap):
        if _usable(cp) and not _compatibility(cp):
            add(lookups.cmap[cp], chr(cp), 0)
    for _ in range(2):
        for lookup in lookups.lookups:
            for sub in lookup.subtables:
                for inputs, outputs in sub.products:
                    parts = [best(g) for g in inputs]
                    if all(p is not None for p in parts):
                        text = "".join(p for p in parts if p is not None)
                        for out in outputs:
                            add(out, text, int(len(outputs) > 1))
    # A presentation form (U+FEE0 ARABIC LETTER LAM MEDIAL FORM) is a glyph's source only
    # where no substitution makes the glyph from the letter itself: it does not join.
    for cp in sorted(lookups.cmap):
        if _usable(cp) and lookups.cmap[cp] not in found:
            add(lookups.cmap[cp], chr(cp), 0)
    return {g: sorted(known, key=known.__getitem__)[:SOURCES] for g, known in found.items()}


def _compatibility(cp: int) -> bool:
    return unicodedata.decomposition(chr(cp)).startswith("<")


def _usable(cp: int) -> bool:
    category = unicodedata.category(chr(cp))
    return category not in ("Cc", "Cs", "Co", "Cn", "Zl", "Zp")


def _parts(rule: Rule, sources: dict[str, str], choice: int = 0) -> Optional[tuple[str, ...]]:
    """The rule's glyphs as texts: at each position a source of the glyphs that may stand
    there, the shortest first; `choice` takes the next ones (a mark that the normalizer would
    compose with its base into one character replaced by another of the same class)."""
    parts = []
    for glyphs in rule:
        known = sorted((sources[g] for g in glyphs if g in sources), key=len)
        if not known:
            return None
        parts.append(known[choice % len(known)])
    return tuple(parts)


def _joins(part: str) -> bool:
    """A text that ends in a virama or a joiner: the cluster goes on after it."""
    return part[-1] in (ZWJ, ZWNJ) or unicodedata.combining(part[-1]) == 9


def _join(parts: Sequence[str], moves: dict[str, int]) -> str:
    """The text that gives a rule's glyphs in its order: a part whose glyph the shaper moves
    before the consonants it follows (moves -1, a pre-base matra) is written after the
    cluster it stands before in the rule; one whose glyph it moves after the consonant it
    precedes (+1, a reph) before the cluster it stands after."""
    n = len(parts)
    order = list(range(n))
    for i in [i for i in range(n) if moves.get(parts[i]) == 1]:
        at = order.index(i)
        j = at - 1
        if j < 0:
            continue
        while j > 0 and _joins(parts[order[j - 1]]) and not moves.get(parts[order[j - 1]]):
            j -= 1
        order.insert(j, order.pop(at))
    for i in reversed([i for i in range(n) if moves.get(parts[i]) == -1]):
        at = order.index(i)
        j = at + 1
        if j >= n:
            continue
        while j < n - 1 and _joins(parts[order[j]]):
            j += 1
        order.insert(j, order.pop(at))
    return "".join(parts[k] for k in order)


def _text(rule: Rule, sources: dict[str, str], moves: dict[str, int], choice: int = 0) -> Optional[str]:
    parts = _parts(rule, sources, choice)
    return _join(parts, moves) if parts else None


def _moves(parts: set[str], lookups: LookupList, sources: dict[str, str], letters: dict[int, str],
           runs: Runs) -> dict[str, int]:
    """Of the rules' parts that hold a mark, those whose glyphs the shaper moves: -1 where,
    after a letter of its block, a glyph of the part comes before the letter's in some run
    the lookups see; +1 where, before the letter, one comes after it."""
    made: dict[str, set[str]] = {}
    for glyph, source in sources.items():
        made.setdefault(source, set()).add(glyph)
    probes: list[tuple[str, str, int, frozenset[int]]] = []
    for part in sorted(parts):
        if not any(unicodedata.category(ch).startswith("M") for ch in part):
            continue
        letter = _block_letter(part, letters)
        if letter is None or ord(letter) not in lookups.cmap:
            continue
        own = lookups.gid(lookups.cmap[ord(letter)])
        glyphs = {lookups.gid(g) for g in made.get(part, ())}
        glyphs |= {lookups.gid(lookups.cmap[ord(ch)]) for ch in part if ord(ch) in lookups.cmap}
        probes.append((part, letter, own, frozenset(glyphs - {own})))
    shaped = runs([t for part, letter, _, _ in probes for t in (letter + part, part + letter)])
    moves: dict[str, int] = {}
    for k, (part, _, own, ids) in enumerate(probes):
        after, before = shaped[2 * k], shaped[2 * k + 1]
        if any(own in run and any(run[i] in ids for i in range(run.index(own))) for run in after):
            moves[part] = -1
        elif any(own in run and any(g in ids for g in run[len(run) - run[::-1].index(own):]) for run in before):
            moves[part] = 1
    return moves


def _checked(candidates: dict[str, list[str]], lookups: LookupList, letters: dict[int, str],
             runs: Runs) -> dict[str, str]:
    """Per glyph, the first of its texts that, shaped between two letters of its block, has
    the glyph in some run the lookups see (a reph from RA and a virama, not from a vowel
    sign a contextual rule turns into one); the first text where none does. Only the glyphs
    the rules name are checked."""
    named = {g for lookup in lookups.lookups for sub in lookup.subtables for rule in sub.rules for pos in rule
             for g in pos}
    probes = [(glyph, text) for glyph in sorted(named) for text in candidates.get(glyph, [])[:SOURCES]
              if len(candidates[glyph]) > 1]
    between = []
    for _, text in probes:
        letter = _block_letter(text, letters) or ""
        between.append(letter + text + letter)
    sources = {glyph: texts[0] for glyph, texts in candidates.items()}
    fine: set[str] = set()
    for (glyph, text), shaped in zip(probes, runs(between)):
        if glyph not in fine and any(lookups.gid(glyph) in run for run in shaped):
            sources[glyph] = text
            fine.add(glyph)
    return sources


def _block_letter(text: str, letters: dict[int, str]) -> Optional[str]:
    own = next((ch for ch in text if unicodedata.category(ch)[0] in "LM"), text[0])
    return letters.get(ord(own) >> 7)


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


def _rule_parts(lookups: LookupList, sources: dict[str, str]) -> set[str]:
    return {part for lookup in lookups.lookups for sub in lookup.subtables for rule in sub.rules
            for choice in range(CHOICES) for part in (_parts(rule, sources, choice) or ())}


def _targets(lookup: Lookup, sources: dict[str, str], letters: dict[int, str],
             moves: dict[str, int]) -> Iterator[list[_Target]]:
    """Per subtable (or per rule), the texts that may reach the lookup, in the order tried."""
    per_subtable = (lookup.table, lookup.type) in PER_SUBTABLE
    for sub in lookup.subtables:
        if per_subtable:
            texts = list(dict.fromkeys(t for t in (_text(r, sources, moves) for r in sub.rules) if t))
            yield [_Target(lookup.key, _in_context(t, letters)) for t in texts[:SUBTABLE_TRIES]]
            continue
        for k, rule in enumerate(sub.rules):
            parts = _parts(rule, sources)
            if not parts:
                continue
            text = _join(parts, moves)
            others = (_text(rule, sources, moves, c) for c in range(1, CHOICES))
            calls = frozenset((lookup.table, i) for i in sub.calls[k]) if k < len(sub.calls) else frozenset()
            yield [_Target(lookup.key, tuple(dict.fromkeys((text, *(t for t in others if t), *_in_context(text, letters),
                                                            "".join(parts)))), calls)]


def generate(lookups: LookupList, shape: Shape, runs: Optional[Runs] = None) -> Generated:
    """Texts that reach the font's lookups, each checked by `shape`, which shapes texts
    traced and gives each one's LineHits (None: it failed); `runs` gives the runs that tell
    which parts of a rule the shaper moves (without it, none)."""
    candidates = glyph_sources(lookups)
    sources = {glyph: texts[0] for glyph, texts in candidates.items()}
    letters = _letters(lookups, sources)
    moves: dict[str, int] = {}
    if runs is not None:
        sources = _checked(candidates, lookups, letters, runs)
        moves = _moves(_rule_parts(lookups, sources), lookups, sources, letters, runs)
    groups = [g for lookup in lookups.lookups for g in _targets(lookup, sources, letters, moves)]
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

    def reaches(target: _Target, text: str, called: bool) -> bool:
        hits = seen.get(text)
        return hits is not None and target.key in hits.changed and (not called or target.calls <= hits.called)

    kept: dict[int, str] = {}
    loose: dict[int, str] = {}  # a text that reached the lookup without the calls of its rule
    pending = list(range(len(groups)))
    for depth in range(max((len(t.texts) for g in groups for t in g), default=0)):
        check([t.texts[depth] for k in pending for t in _tries(groups[k], depth, kept, k)])
        still: list[int] = []
        for k in pending:
            tries = [t for t in groups[k] if depth < len(t.texts)]
            found = next((t.texts[depth] for t in tries if reaches(t, t.texts[depth], True)), None)
            if found is not None:
                kept[k] = found
                continue
            if k not in loose:
                near = next((t.texts[depth] for t in tries if reaches(t, t.texts[depth], False)), None)
                if near is not None:
                    loose[k] = near
            if depth == 0 or _worth_more(groups[k], ran, still, groups):
                still.append(k)
        pending = still
    for k, text in loose.items():
        kept.setdefault(k, text)
    return Generated(tuple(dict.fromkeys(kept[k] for k in sorted(kept))), ran, tried, scripts)


def _tries(group: list[_Target], depth: int, kept: dict[int, str], k: int) -> list[_Target]:
    return [t for t in group if depth < len(t.texts)] if k not in kept else []


def _worth_more(group: list[_Target], ran: set[LookupKey], still: list[int], groups: list[list[_Target]]) -> bool:
    """A group tried in a further context: at most CONTEXT_TRIES groups per lookup."""
    if not group:
        return False
    key = group[0].key
    return sum(1 for k in still if groups[k] and groups[k][0].key == key) < CONTEXT_TRIES
