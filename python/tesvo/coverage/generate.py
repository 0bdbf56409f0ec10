"""Texts made from the font itself that reach its lookups: for each rule of a lookup (a
ligature, a kerning pair or pair of classes, a mark on a base, a contextual rule's backtrack,
input and lookahead) the characters that give its glyphs (`sources`: through the cmap and the
substitutions before it), written in the order that gives the rule's glyphs (a shaper that
reorders a cluster moves some of them).

Each text is shaped, traced, and kept only if the lookup it was made for changed its run (a
contextual rule's: and called the lookups the rule calls; where no text does, the first that
reached the lookup is kept). A rule whose text alone does not reach its lookup is tried with
other texts of its glyphs, then in context: doubled, between two letters of its script (the
letter the font's rules use most in that block of Unicode), and beside a zero width joiner
(for the joining forms of Arabic, Syriac, N'Ko, Mongolian). A contextual rule no text met is
last grown from a text kept whose run ends in the rule's first glyphs. The order of
everything is the font's: lookups by index, subtables and rules as stored, glyphs by glyph
order, so the same font gives the same texts.

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
from tesvo.coverage.sources import (ZWJ, Runs, Sources, checked, choices_of, glyph_sources, in_text_order, letters_of,
                                    moves_of)

__all__ = ["Generated", "generate"]

Shape = Callable[[Sequence[str]], Sequence[Optional[LineHits]]]

# Rules of one subtable of a substitution or single adjustment tried until one reaches it.
SUBTABLE_TRIES = 24
# Rules of one lookup not reached alone that are tried in context.
CONTEXT_TRIES = 64
# Texts tried at each position of a rule before its text is tried in context.
CHOICES = 4
# Other texts of a rule's glyphs tried before its text is tried in context.
OTHERS = 8
# Texts a rule no text met is grown from.
GROWN = 4
# Texts per lookup that tell whether a feature off by default is what keeps it from running.
MADE_FOR = 8
# Lookups reached once per subtable, not once per rule.
PER_SUBTABLE = {("GSUB", 1), ("GSUB", 2), ("GSUB", 3), ("GSUB", 8), ("GPOS", 1)}


class Generated(NamedTuple):
    texts: tuple[str, ...]  # the texts kept, in the order made
    ran: set[LookupKey]  # lookups that ran on some text tried
    tried: set[LookupKey]  # lookups some text was made for
    scripts: set[str]  # the script tags the items of the texts tried were shaped with
    made_for: dict[LookupKey, tuple[str, ...]]  # per lookup, the first texts made for it


class _Target(NamedTuple):
    key: LookupKey
    texts: tuple[str, ...]  # the text alone, then in context
    calls: frozenset[LookupKey] = frozenset()  # the lookups a contextual rule calls
    rule: Rule = ()  # a contextual rule's glyphs


class _Writer:
    """What turns a rule into texts: its glyphs' texts, the letters of each block (first
    among texts of the same length), and the texts the shaper moves."""

    def __init__(self, sources: Sources, letters: dict[int, str], moves: Optional[dict[str, int]] = None) -> None:
        self.sources = sources
        self.letters = letters
        self.moves = moves or {}
        self._prefer = frozenset(letters.values())
        self._variants: dict[Rule, list[tuple[str, ...]]] = {}

    def variants(self, rule: Rule) -> list[tuple[str, ...]]:
        """The rule's glyphs as texts, the first texts at every position first; then the
        next text at one position (a mark made by the contextual rule that makes its base,
        a letter in place of the one preferred), then the next at every position (a mark the
        normalizer would compose with its base replaced by another of its class)."""
        if rule not in self._variants:
            choices = choices_of(rule, self.sources, self._prefer, CHOICES)
            found: list[tuple[str, ...]] = []
            if choices:
                first = tuple(c[0] for c in choices)
                found.append(first)
                found += [first[:p] + (c[1],) + first[p + 1:] for p, c in enumerate(choices) if len(c) > 1]
                found += [tuple(c[k % len(c)] for c in choices) for k in range(1, CHOICES)]
            self._variants[rule] = list(dict.fromkeys(found))[:OTHERS + 1]
        return self._variants[rule]

    def text(self, rule: Rule) -> Optional[str]:
        variants = self.variants(rule)
        return in_text_order(variants[0], self.moves) if variants else None

    def texts(self, rule: Rule) -> list[str]:
        return [in_text_order(v, self.moves) for v in self.variants(rule)]


def _in_context(text: str, letters: dict[int, str]) -> tuple[str, ...]:
    """The text alone, then in the contexts a shaper's forms ask for."""
    own = next((ch for ch in text if unicodedata.category(ch).startswith("L")), None)
    block = letters.get(ord(own) >> 7) if own is not None else letters.get(ord(text[0]) >> 7)
    tries = [text, text + text]
    for letter in dict.fromkeys(x for x in (block, own) if x is not None):
        tries += [letter + text, text + letter, letter + text + letter]
    tries += [ZWJ + text, text + ZWJ, ZWJ + text + ZWJ, text * 3]
    return tuple(dict.fromkeys(tries))


def _targets(lookup: Lookup, writer: _Writer) -> Iterator[list[_Target]]:
    """Per subtable (or per rule), the texts that may reach the lookup, in the order tried
    (a group never empty)."""
    per_subtable = (lookup.table, lookup.type) in PER_SUBTABLE
    for sub in lookup.subtables:
        if per_subtable:
            texts = list(dict.fromkeys(t for t in (writer.text(r) for r in sub.rules) if t))
            if texts:
                yield [_Target(lookup.key, _in_context(t, writer.letters)) for t in texts[:SUBTABLE_TRIES]]
            continue
        for k, rule in enumerate(sub.rules):
            texts = writer.texts(rule)
            if not texts:
                continue
            calls = frozenset((lookup.table, i) for _, i in sub.records[k]) if k < len(sub.records) else frozenset()
            tries = (*texts, *_in_context(texts[0], writer.letters), "".join(writer.variants(rule)[0]))
            yield [_Target(lookup.key, tuple(dict.fromkeys(tries)), calls, rule)]


def _writer(lookups: LookupList, runs: Optional[Runs]) -> _Writer:
    """The texts of the glyphs, checked by shaping them where `runs` is given, and the texts
    the shaper moves (none without `runs`)."""
    sources = glyph_sources(lookups)
    letters = letters_of(lookups, sources)
    if runs is None:
        return _Writer(sources, letters)
    writer = _Writer(checked(sources, lookups, letters, runs), letters)
    parts = {part for lookup in lookups.lookups for sub in lookup.subtables for rule in sub.rules
             for variant in writer.variants(rule) for part in variant}
    writer.moves = moves_of(parts, lookups, writer.sources, letters, runs)
    return writer


def generate(lookups: LookupList, shape: Shape, runs: Optional[Runs] = None) -> Generated:
    """Texts that reach the font's lookups, each checked by `shape`, which shapes texts
    traced and gives each one's LineHits (None: it failed); `runs` gives the runs that check
    a glyph's texts, tell which the shaper moves and which texts a rule's text can grow from
    (without it, none of these is done)."""
    writer = _writer(lookups, runs)
    groups = [g for lookup in lookups.lookups for g in _targets(lookup, writer)]
    search = _Search(groups, shape)
    # The first letter of each block of the cmap: the scripts the font's characters are
    # shaped with, whatever its rules name.
    firsts: dict[int, str] = {}
    for cp in sorted(lookups.cmap):
        if unicodedata.category(chr(cp)).startswith("L"):
            firsts.setdefault(cp >> 7, chr(cp))
    search.check(list(firsts.values()))
    search.run()
    if runs is not None:
        search.grow(lookups, writer, runs)
    kept = {**search.loose, **search.kept}
    made_for: dict[LookupKey, list[str]] = {}
    for group in groups:
        for target in group:
            first = made_for.setdefault(target.key, [])
            if len(first) < MADE_FOR and target.texts[0] not in first:
                first.append(target.texts[0])
    return Generated(tuple(dict.fromkeys(kept[k] for k in sorted(kept))), search.ran,
                     {g[0].key for g in groups if g}, search.scripts, {key: tuple(t) for key, t in made_for.items()})


class _Search:
    """The texts tried for each group of targets, depth by depth (a rule's text alone, its
    other texts, then in context), and those kept."""

    def __init__(self, groups: list[list[_Target]], shape: Shape) -> None:
        self.groups = groups
        self.shape = shape
        self.seen: dict[str, Optional[LineHits]] = {}
        self.ran: set[LookupKey] = set()
        self.scripts: set[str] = set()
        self.kept: dict[int, str] = {}
        self.loose: dict[int, str] = {}  # a text that reached the lookup without the calls of its rule

    def check(self, texts: list[str]) -> None:
        fresh = [t for t in dict.fromkeys(texts) if t not in self.seen]
        for text, hits in zip(fresh, self.shape(fresh)):
            self.seen[text] = hits
            if hits is not None:
                self.ran.update(hits.ran)
                self.scripts.update(hits.scripts)

    def reaches(self, target: _Target, text: str, called: bool = True) -> bool:
        hits = self.seen.get(text)
        return hits is not None and target.key in hits.changed and (not called or target.calls <= hits.called)

    def run(self) -> None:
        pending = list(range(len(self.groups)))
        for depth in range(max((len(t.texts) for g in self.groups for t in g), default=0)):
            self.check([t.texts[depth] for k in pending for t in self.groups[k] if depth < len(t.texts)])
            still: list[int] = []
            per_lookup: Counter[LookupKey] = Counter()  # groups of each lookup tried further
            for k in pending:
                tries = [(t, t.texts[depth]) for t in self.groups[k] if depth < len(t.texts)]
                found = next((text for t, text in tries if self.reaches(t, text)), None)
                if found is not None:
                    self.kept[k] = found
                    continue
                if k not in self.loose:
                    near = next((text for t, text in tries if self.reaches(t, text, False)), None)
                    if near is not None:
                        self.loose[k] = near
                # At most CONTEXT_TRIES groups per lookup are tried in a further context.
                key = self.groups[k][0].key
                if depth == 0 or per_lookup[key] < CONTEXT_TRIES:
                    per_lookup[key] += 1
                    still.append(k)
            pending = still

    def grow(self, lookups: LookupList, writer: _Writer, runs: Runs) -> None:
        """A contextual rule no text met, written as a text kept whose run ends in the rule's
        first glyphs, then the texts of the rest (a glyph that the same contextual rule
        makes as another of the rule's: the mark a rule left in place of a reph)."""
        unmet = [k for k, g in enumerate(self.groups) if k not in self.kept and g[0].calls and len(g[0].rule) > 1]
        if not unmet:
            return
        bases = list(dict.fromkeys(self.kept[k] for k in sorted(self.kept)))
        ending: dict[int, list[tuple[str, tuple[int, ...]]]] = {}
        for text, shaped in zip(bases, runs(bases)):
            for run in dict.fromkeys(shaped):
                if run:
                    ending.setdefault(run[-1], []).append((text, run))
        tries: dict[int, list[str]] = {}
        for k in unmet:
            rule = self.groups[k][0].rule
            ids = [{lookups.gid(g) for g in pos} for pos in rule]
            for cut in range(len(rule) - 1, 0, -1):
                rest = writer.text(rule[cut:])
                if rest is None:
                    continue
                grown = [text + rest for last in sorted(ids[cut - 1]) for text, run in ending.get(last, ())
                         if len(run) >= cut and all(g in pos for g, pos in zip(run[-cut:], ids[:cut]))]
                if grown:
                    tries[k] = list(dict.fromkeys(grown))[:GROWN]
                    break
        self.check([t for texts in tries.values() for t in texts])
        for k, texts in tries.items():
            met = next((t for t in texts if self.reaches(self.groups[k][0], t)), None)
            if met is not None:
                self.kept[k] = met
