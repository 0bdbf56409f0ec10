"""The lookups no text can reach, read from the font: what a coverage's figure leaves out
besides the lookups out of reach with the options (of another script or language system, in a
feature off unless asked, referenced by nothing).

A lookup's rule can match only where every glyph it asks for can be in the run when the
lookup is applied: a glyph of the cmap, or one a substitution makes that can itself apply.
At a contextual lookup's input and lookahead the run is as the lookups before it left it,
so a glyph there that only the lookup itself makes (or a lookup only it calls) cannot be;
in its backtrack it can. A ligature's sequence is never there if an earlier lookup of the
same feature always takes it first (a ligature with the same glyphs, or a chain that
replaces each glyph it matches). A lookup whose rules can none match is not reached, and
nor is a lookup only such rules, or lookups out of reach, call. Everything is decided on the
safe side: a rule read only in part (a large class or subtable) can match."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Optional

from tesvo.coverage.hits import LookupKey
from tesvo.coverage.lookups import CONTEXTUAL, MAX_CLASS, Lookup, LookupList, Subtable

__all__ = ["unreachable"]

# Lookup types whose every rule lookups.py reads whole (a GSUB substitution, any contextual).
_WHOLE = {"GSUB": {1, 2, 3, 4, 5, 6, 8}, "GPOS": {7, 8}}


def unreachable(lookups: LookupList, out: Mapping[LookupKey, str], reached: Iterable[LookupKey]) -> dict[LookupKey, str]:
    """Beyond `out` (lookups out of reach with the options, with their why), the lookups no
    text can reach, each with why in words; never one of `reached`."""
    return _Reach(lookups, out, set(reached)).dead()


class _Reach:
    def __init__(self, lookups: LookupList, out: Mapping[LookupKey, str], reached: set[LookupKey]) -> None:
        self.lookups = lookups
        self.out = out
        self.reached = reached
        self.by_key = {lk.key: lk for lk in lookups.lookups}
        self.plain = set(lookups.cmap.values()) | set(lookups.glyph_order[:1])
        self.producers: dict[str, set[LookupKey]] = {}
        self.callers: dict[LookupKey, set[LookupKey]] = {}
        for lk in lookups.lookups:
            for sub in lk.subtables:
                for _, outputs in sub.products:
                    for glyph in outputs:
                        self.producers.setdefault(glyph, set()).add(lk.key)
            for k in lk.calls:
                self.callers.setdefault((lk.table, k), set()).add(lk.key)
        self._inside: dict[LookupKey, set[LookupKey]] = {}
        self._skipped: dict[tuple[int, Optional[int]], frozenset[str]] = {}
        self.shadowed = {lk.key: by for lk in lookups.lookups if (by := self._shadowed_by(lk)) is not None}

    def dead(self) -> dict[LookupKey, str]:
        dead: dict[LookupKey, str] = {}
        while True:
            gone = set(self.out) | set(dead)
            made = self._made(gone)
            fresh = {}
            for lk in self.lookups.lookups:
                if lk.key in gone or lk.key in self.reached:
                    continue
                why = self._why_dead(lk, gone, made)
                if why is not None:
                    fresh[lk.key] = why
            if not fresh:
                return dead
            dead.update(fresh)

    def _made(self, gone: set[LookupKey]) -> set[str]:
        """The glyphs that can be in a run: the cmap's (and .notdef), and what the GSUB lookups
        not gone make of them, to the end."""
        have = set(self.plain)
        subs = [sub for lk in self.lookups.lookups if lk.table == "GSUB" and lk.key not in gone for sub in lk.subtables
                if sub.products]
        grew = True
        while grew:
            grew = False
            for sub in subs:
                for inputs, outputs in sub.products:
                    if all(g in have for g in inputs) and not all(g in have for g in outputs):
                        have.update(outputs)
                        grew = True
        return have

    def _why_dead(self, lk: Lookup, gone: set[LookupKey], made: set[str]) -> Optional[str]:
        if not lk.features:
            live = [c for c in sorted(self.callers.get(lk.key, ())) if c not in gone and self._calls_live(c, lk, gone, made)]
            if live or not self.callers.get(lk.key):
                return None
            callers = sorted(self.callers[lk.key])
            out = [f"{c[1]} ({self.out[c]})" for c in callers if c in self.out]
            if out and len(out) == len(callers):
                return f"called only from lookup {', '.join(out)}, out of reach"
            return f"called only by rules of lookup {', '.join(str(c[1]) for c in callers)} that no text can match"
        if lk.type not in _WHOLE[lk.table] or not all(sub.complete for sub in lk.subtables):
            return None
        if not any(sub.rules for sub in lk.subtables):
            return None
        missing: Optional[str] = None
        for sub in lk.subtables:
            for k in range(len(sub.rules)):
                glyph = self._missing(lk, sub, k, gone, made)
                if glyph is None:
                    return None
                missing = missing or glyph
        if missing == "":
            return f"lookup {self.shadowed[lk.key]} before it, of the same feature, takes every sequence its rules ask for"
        return f"its rules ask for glyphs no text gives where it applies (such as {missing})"

    def _calls_live(self, caller: LookupKey, lk: Lookup, gone: set[LookupKey], made: set[str]) -> bool:
        """Whether a rule of `caller` that calls `lk` can match."""
        of = self.by_key[caller]
        if of.type not in CONTEXTUAL[of.table] or not all(sub.complete for sub in of.subtables):
            return True
        return any(lk.number in {i for _, i in sub.records[k]} and self._missing(of, sub, k, gone, made) is None
                   for sub in of.subtables for k in range(len(sub.rules)) if k < len(sub.records))

    def _missing(self, lk: Lookup, sub: Subtable, k: int, gone: set[LookupKey], made: set[str]) -> Optional[str]:
        """None where rule k can match; else a glyph of a position no glyph of which can be
        there ("" where an earlier lookup takes the rule's sequence)."""
        rule = sub.rules[k]
        if lk.key in self.shadowed and lk.type == 4:
            return ""
        start = sub.backtracks[k] if k < len(sub.backtracks) else 0
        own = self._only_via(lk.key) if lk.features and lk.table == "GSUB" else set()
        for at, glyphs in enumerate(rule):
            ahead = at >= start and bool(own)
            if len(glyphs) >= MAX_CLASS:
                continue  # a class read in part
            if not any(g in made and (not ahead or self._made_without(g, own | gone)) for g in glyphs):
                return glyphs[0] if glyphs else "(none)"
        return None

    def _made_without(self, glyph: str, without: set[LookupKey]) -> bool:
        return glyph in self.plain or bool(self.producers.get(glyph, set()) - without)

    def _only_via(self, key: LookupKey) -> set[LookupKey]:
        """The lookup and those only it (or they) call."""
        if key in self._inside:
            return self._inside[key]
        inside = {key}
        grew = True
        while grew:
            grew = False
            for called, callers in self.callers.items():
                lk = self.by_key.get(called)
                if called not in inside and lk is not None and not lk.features and callers <= inside:
                    inside.add(called)
                    grew = True
        self._inside[key] = inside
        return inside

    def _makes(self, lk: Lookup, depth: int = 0) -> set[str]:
        """The glyphs a lookup makes, with those of the lookups it calls."""
        made = {g for sub in lk.subtables for _, outputs in sub.products for g in outputs}
        for k in lk.calls if depth < 8 else ():
            called = self.by_key.get((lk.table, k))
            if called is not None and called.key != lk.key:
                made |= self._makes(called, depth + 1)
        return made

    def _shadowed_by(self, lk: Lookup) -> Optional[int]:
        """An earlier GSUB lookup, applied wherever this ligature lookup is (under every feature,
        script and language system it is) and with nothing between them that makes its
        glyphs, that takes every one of its ligatures first."""
        if lk.table != "GSUB" or lk.type != 4 or not lk.features or not all(s.complete for s in lk.subtables):
            return None
        rules = [rule for sub in lk.subtables for rule in sub.rules]
        glyphs = {g for rule in rules for pos in rule for g in pos}
        at = self.lookups.lookups.index(lk)
        for other in reversed(self.lookups.lookups[:at]):
            if other.table != "GSUB":
                continue
            if (other.type == 4 or other.type in CONTEXTUAL["GSUB"]) and set(lk.features) <= set(other.features) \
                    and self._skipped_by(lk) <= self._skipped_by(other) \
                    and all(self._takes(other, [pos[0] for pos in rule]) for rule in rules):
                return other.number
            if self._makes(other) & glyphs:
                return None
        return None

    def _skipped_by(self, lk: Lookup) -> frozenset[str]:
        """The glyphs the lookup's flag skips."""
        flags = (lk.flag, lk.mark_set)
        if flags not in self._skipped:
            self._skipped[flags] = frozenset(g for g in self.lookups.glyph_order if self._skips(lk, g))
        return self._skipped[flags]

    def _skips(self, lk: Lookup, glyph: str) -> bool:
        """Whether the lookup's flag skips the glyph (GDEF's classes)."""
        kind = self.lookups.glyph_classes.get(glyph, 0)
        if kind == 1:
            return bool(lk.flag & 0x2)
        if kind == 2:
            return bool(lk.flag & 0x4)
        if kind != 3:
            return False
        if lk.flag & 0x8:
            return True
        if lk.mark_set is not None:
            sets = self.lookups.mark_sets
            return lk.mark_set >= len(sets) or glyph not in sets[lk.mark_set]
        attach = lk.flag >> 8
        return bool(attach) and self.lookups.attach_classes.get(glyph) != attach

    def _takes(self, other: Lookup, sequence: list[str]) -> bool:
        """Whether `other` always changes a glyph of the sequence: a ligature of it matches
        there, or a chain (no backtrack, no lookahead) matches whose every input glyph a
        single substitution it calls replaces."""
        for j, first in enumerate(sequence):
            if self._skips(other, first):
                continue
            for sub in other.subtables:
                for k, rule in enumerate(sub.rules):
                    if other.type == 4 and first in rule[0] and self._matches(other, rule[1:], sequence[j + 1:]):
                        return True
                    if other.type in CONTEXTUAL["GSUB"] and self._replaces_all(other, sub, k) and first in rule[0] \
                            and self._matches(other, rule[1:], sequence[j + 1:]):
                        return True
        return False

    def _matches(self, other: Lookup, rule: tuple[tuple[str, ...], ...], rest: list[str]) -> bool:
        at = 0
        for pos in rule:
            while at < len(rest) and self._skips(other, rest[at]):
                at += 1
            if at >= len(rest) or rest[at] not in pos:
                return False
            at += 1
        return True

    def _replaces_all(self, other: Lookup, sub: Subtable, k: int) -> bool:
        rule = sub.rules[k]
        if not sub.complete or sub.backtracks[k] or {at for at, _ in sub.records[k]} != set(range(len(rule))):
            return False
        for at, called in sub.records[k]:
            target = self.by_key.get(("GSUB", called))
            if target is None or target.type != 1:
                return False
            mapped = {a for s in target.subtables for (a,), _ in s.products}
            if not set(rule[at]) <= mapped:
                return False
        return True
