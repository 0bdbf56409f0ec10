"""The texts that give a font's glyphs, and the order a rule's texts are written in.

A glyph's texts come from the cmap (its characters, the lowest code point first) and from
the substitutions (a ligature's glyph from its components' texts, a single substitution's
glyph from its input's, twice over for a glyph made from a glyph a later lookup makes).
Where a glyph has several, shaping picks: the first that, between two letters of its
script, has the glyph in some run the lookups see goes first (a reph from RA and a virama,
not from a vowel sign that one contextual rule turns into a reph).

A rule's glyphs stand in the order the lookup sees them, which is not always the text's: a
shaper that reorders a cluster (the Indic ones) moves a pre-base matra's glyph before the
consonants it follows and a reph's after the consonant it precedes. Which texts it moves is
found by shaping each beside a letter of its script, so the order is the shaper's own."""

from __future__ import annotations

import unicodedata
from collections import Counter
from collections.abc import Callable, Iterable, Sequence
from typing import Optional

from tesvo.coverage.lookups import LookupList, Rule

__all__ = ["Runs", "Sources", "glyph_sources", "checked", "letters_of", "moves_of", "choices_of", "in_text_order",
           "block_letter"]

# Per text, the glyph ids of the run after each of its lookup steps (empty: it failed).
Runs = Callable[[Sequence[str]], Sequence[Sequence[tuple[int, ...]]]]
# Glyph name to the texts that give it, best first.
Sources = dict[str, list[str]]

ZWJ = "\u200d"
ZWNJ = "\u200c"
# Texts kept per glyph.
SOURCES = 4


def glyph_sources(lookups: LookupList) -> Sources:
    """Glyph name to the texts known to give it, best first: its characters in the cmap, then
    what the substitutions make, in lookup order, the shorter first; a text that gives the
    glyph beside others (a part of a multiple substitution's output) after those it is the
    whole output of. A presentation form (U+FEE0 ARABIC LETTER LAM MEDIAL FORM) only where
    nothing else gives the glyph: it does not join."""
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
    for cp in sorted(lookups.cmap):
        if _usable(cp) and lookups.cmap[cp] not in found:
            add(lookups.cmap[cp], chr(cp), 0)
    return {g: sorted(known, key=known.__getitem__)[:SOURCES] for g, known in found.items()}


def _compatibility(cp: int) -> bool:
    return unicodedata.decomposition(chr(cp)).startswith("<")


def _usable(cp: int) -> bool:
    return unicodedata.category(chr(cp)) not in ("Cc", "Cs", "Co", "Cn", "Zl", "Zp")


def letters_of(lookups: LookupList, sources: Sources) -> dict[int, str]:
    """Per block of 128 code points, the letter the font's rules name most often."""
    counts: Counter[str] = Counter()
    for lookup in lookups.lookups:
        for sub in lookup.subtables:
            for rule in sub.rules:
                for glyphs in rule:
                    source = sources.get(glyphs[0], [""])[0] if glyphs else ""
                    if len(source) == 1 and unicodedata.category(source).startswith("L"):
                        counts[source] += 1
    best: dict[int, str] = {}
    for letter, _ in sorted(counts.items(), key=lambda kv: (-kv[1], kv[0])):
        best.setdefault(ord(letter) >> 7, letter)
    return best


def block_letter(text: str, letters: dict[int, str]) -> Optional[str]:
    """The letter of the block of the text's first letter or mark."""
    own = next((ch for ch in text if unicodedata.category(ch)[0] in "LM"), text[0])
    return letters.get(ord(own) >> 7)


def checked(sources: Sources, lookups: LookupList, letters: dict[int, str], runs: Runs) -> Sources:
    """The sources with, for each glyph the rules name that has several texts, the first that
    gives it (between two letters of its block) moved first."""
    named = {g for lookup in lookups.lookups for sub in lookup.subtables for rule in sub.rules for pos in rule
             for g in pos}
    probes = [(glyph, text) for glyph in sorted(named) if len(sources.get(glyph, ())) > 1 for text in sources[glyph]]
    between = []
    for _, text in probes:
        letter = block_letter(text, letters) or ""
        between.append(letter + text + letter)
    out = {glyph: list(texts) for glyph, texts in sources.items()}
    fine: set[str] = set()
    for (glyph, text), shaped in zip(probes, runs(between)):
        if glyph not in fine and any(lookups.gid(glyph) in run for run in shaped):
            out[glyph].remove(text)
            out[glyph].insert(0, text)
            fine.add(glyph)
    return out


def choices_of(rule: Rule, sources: Sources, prefer: frozenset[str] = frozenset(), most: int = 4) -> \
        Optional[list[list[str]]]:
    """Per position of the rule, up to `most` texts of the glyphs that may stand there: each
    glyph's best text, the shortest first (`prefer`red letters first among the same length),
    then their other texts. None where a position has none."""
    out = []
    for glyphs in rule:
        texts = [sources[g] for g in glyphs if g in sources]
        if not texts:
            return None
        known = sorted(dict.fromkeys(t[0] for t in texts), key=lambda t: (len(t), t not in prefer))
        known += sorted(dict.fromkeys(x for t in texts for x in t[1:] if x not in known), key=len)
        out.append(known[:most])
    return out


def moves_of(parts: Iterable[str], lookups: LookupList, sources: Sources, letters: dict[int, str],
             runs: Runs) -> dict[str, int]:
    """Of the texts that hold a mark, those whose glyphs the shaper moves: -1 where, after a
    letter of its block, a glyph of the text comes before the letter's in some run the
    lookups see (a pre-base matra); +1 where, before the letter, one comes after it (a
    reph)."""
    made: dict[str, set[str]] = {}
    for glyph, texts in sources.items():
        for text in texts:
            made.setdefault(text, set()).add(glyph)
    probes: list[tuple[str, str, int, frozenset[int]]] = []
    for part in sorted(set(parts)):
        if not any(unicodedata.category(ch).startswith("M") for ch in part):
            continue
        letter = block_letter(part, letters)
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
        if any(own in run and any(g in ids for g in run[:run.index(own)]) for run in after):
            moves[part] = -1
        elif any(own in run and any(g in ids for g in run[len(run) - run[::-1].index(own):]) for run in before):
            moves[part] = 1
    return moves


def _joins(part: str) -> bool:
    """A text that ends in a virama or a joiner: the cluster goes on after it."""
    return part[-1] in (ZWJ, ZWNJ) or unicodedata.combining(part[-1]) == 9


def in_text_order(parts: Sequence[str], moves: dict[str, int]) -> str:
    """The text that gives a rule's glyphs in its order: a part whose glyph the shaper moves
    before the consonants it follows (-1, a pre-base matra) is written after the cluster it
    stands before in the rule; one whose glyph it moves after the consonant it precedes (+1,
    a reph) before the cluster it stands after."""
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
