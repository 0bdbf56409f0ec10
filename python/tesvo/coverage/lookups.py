"""The font's GSUB and GPOS lookups as fontTools reads them: for each lookup its type (an
extension lookup's type is the type it wraps), the features that reference it under each
script and language system, its name in a Debg table, the lookups its contextual rules call,
and per subtable the glyphs its first coverage holds and the rules it is made of.

A rule is a sequence of positions, each the glyphs that may stand there (a ligature's
components, a kerning pair's two classes, a base and a mark, a chaining rule's backtrack,
input and lookahead), a class's glyphs in glyph order; a contextual rule also names the
lookups it calls. `generate` turns rules into texts."""

from __future__ import annotations

import io
import itertools
from collections.abc import Iterator
from typing import Any, NamedTuple, Optional

from tesvo.compare.fonts import debg_lookup_names

__all__ = ["FeatureUse", "Lookup", "Subtable", "LookupList", "TABLES", "TYPE_NAMES"]

TABLES = ("GSUB", "GPOS")
# An extension lookup wraps a lookup of another type.
EXTENSION = {"GSUB": 7, "GPOS": 9}
CONTEXTUAL = {"GSUB": (5, 6), "GPOS": (7, 8)}
TYPE_NAMES = {
    "GSUB": {1: "single", 2: "multiple", 3: "alternate", 4: "ligature", 5: "context", 6: "chaining context",
             8: "reverse chaining"},
    "GPOS": {1: "single", 2: "pair", 3: "cursive", 4: "mark to base", 5: "mark to ligature", 6: "mark to mark",
             7: "context", 8: "chaining context"},
}
# Rules taken from one subtable: enough to reach each kerning class pair, ligature and mark of
# a large font, bounded for a hostile one.
MAX_RULES = 4000
# Glyphs kept at one position of a contextual rule (a class, a coverage): enough for some to
# have a text (a class of consonants holds their conjuncts too), bounded for a large class.
MAX_CLASS = 32

Glyphs = tuple[str, ...]
Rule = tuple[Glyphs, ...]


class FeatureUse(NamedTuple):
    """A feature that references a lookup, under a script and a language system ("dflt" for
    the script's default one)."""

    tag: str
    script: str
    language: str


class Subtable(NamedTuple):
    coverage: frozenset[str]  # the glyphs the subtable's first (input) coverage holds
    rules: tuple[Rule, ...]
    # A substitution's glyph sequences and what each becomes (GSUB types 1 to 4 and 8; an
    # alternate substitution's glyph becomes each of its alternates).
    products: tuple[tuple[Glyphs, Glyphs], ...] = ()
    # A kerning subtable of pairs (GPOS type 2, format 1): the pairs it holds, which a glyph
    # of its coverage needs beside it for the subtable to apply.
    pairs: Optional[frozenset[tuple[str, str]]] = None
    # A contextual subtable's rules: per rule, the lookups (of the same table) it calls, each
    # as (its position in the rule's input, the lookup's index), and how many of the rule's
    # positions are its backtrack.
    records: tuple[tuple[tuple[int, int], ...], ...] = ()
    backtracks: tuple[int, ...] = ()
    # Every rule read (a large subtable is bounded; a position of MAX_CLASS glyphs may be a
    # larger class bounded).
    complete: bool = True


class Lookup(NamedTuple):
    table: str
    number: int  # its index in the table's LookupList
    type: int  # an extension's wrapped type
    features: tuple[FeatureUse, ...]
    name: Optional[str]  # from the Debg table
    subtables: tuple[Subtable, ...]
    calls: tuple[int, ...]  # the lookups of the same table its contextual rules call
    flag: int = 0  # its LookupFlag
    mark_set: Optional[int] = None  # its mark filtering set (UseMarkFilteringSet)

    @property
    def key(self) -> tuple[str, int]:
        return self.table, self.number

    @property
    def type_name(self) -> str:
        return TYPE_NAMES[self.table].get(self.type, f"type {self.type}")

    @property
    def feature_tags(self) -> tuple[str, ...]:
        return tuple(sorted({use.tag for use in self.features}))


class LookupList:
    """Every GSUB and GPOS lookup of face `index` of a font's bytes, with its glyph order and
    best cmap. FontError-free: a table fontTools cannot read counts as absent."""

    def __init__(self, data: bytes, index: int = 0) -> None:
        from fontTools.ttLib import TTFont

        self.font: Any = TTFont(io.BytesIO(data), fontNumber=index, lazy=True)
        self.glyph_order: list[str] = self.font.getGlyphOrder()
        self.cmap: dict[int, str] = self.font.getBestCmap() or {}
        self._rank = {name: k for k, name in enumerate(self.glyph_order)}
        # Class 0 of a chaining rule's backtrack or lookahead is every glyph in no class: these
        # stand for it, the cmap's glyphs in glyph order.
        self._others = sorted(set(self.cmap.values()), key=lambda g: self._rank.get(g, 0))
        self._read_gdef()
        names = debg_lookup_names(self.font)
        self.lookups: list[Lookup] = []
        self.scripts: set[str] = set()
        for table in TABLES:
            self.lookups.extend(self._read(table, names))

    def _read(self, table: str, names: dict[tuple[str, int], str]) -> Iterator[Lookup]:
        if table not in self.font:
            return
        layout = self.font[table].table
        if layout.LookupList is None:
            return
        uses = self._uses(layout)
        for k, lookup in enumerate(layout.LookupList.Lookup):
            kind, subtables = _unwrapped(table, lookup)
            calls = sorted({i for sub in subtables for i in _called(sub)}) if kind in CONTEXTUAL[table] else []
            read = tuple(self._subtable(table, kind, s) for s in subtables)
            flag = int(getattr(lookup, "LookupFlag", 0) or 0)
            mark_set = getattr(lookup, "MarkFilteringSet", None)
            yield Lookup(table, k, kind, tuple(uses.get(k, ())), names.get((table, k)), read, tuple(calls), flag,
                         int(mark_set) if mark_set is not None and flag & 0x10 else None)

    def _subtable(self, table: str, kind: int, sub: Any) -> Subtable:
        classes = _Classes(self._rank, self._others)
        coverage = frozenset(_coverage(table, kind, sub))
        if kind in CONTEXTUAL[table]:
            rules = list(itertools.islice(_contexts(sub, classes), MAX_RULES + 1))
            read = rules[:MAX_RULES]
            return Subtable(coverage, tuple(r.rule for r in read), records=tuple(r.records for r in read),
                            backtracks=tuple(r.backtrack for r in read),
                            complete=len(rules) <= MAX_RULES)
        plain = list(itertools.islice(_rules(table, kind, sub, classes), MAX_RULES + 1))
        return Subtable(coverage, tuple(plain[:MAX_RULES]), tuple(_products(table, kind, sub)),
                        _pair_set(table, kind, sub), complete=len(plain) <= MAX_RULES)

    def _uses(self, layout: Any) -> dict[int, list[FeatureUse]]:
        """Lookup index to the features that reference it, by script and language system."""
        records = layout.FeatureList.FeatureRecord if layout.FeatureList is not None else []
        uses: dict[int, list[FeatureUse]] = {}
        for script in (layout.ScriptList.ScriptRecord if layout.ScriptList is not None else []):
            self.scripts.add(script.ScriptTag)
            systems = [("dflt", script.Script.DefaultLangSys)]
            systems += [(r.LangSysTag.strip(), r.LangSys) for r in script.Script.LangSysRecord]
            for language, system in systems:
                if system is None:
                    continue
                indices = list(system.FeatureIndex)
                if system.ReqFeatureIndex != 0xFFFF:
                    indices.append(system.ReqFeatureIndex)
                for fi in indices:
                    if not 0 <= fi < len(records):
                        continue
                    use = FeatureUse(records[fi].FeatureTag, script.ScriptTag, language)
                    for k in records[fi].Feature.LookupListIndex:
                        if use not in uses.setdefault(k, []):
                            uses[k].append(use)
        return uses

    def _read_gdef(self) -> None:
        """GDEF's glyph classes (1 base, 2 ligature, 3 mark, 4 component), mark attachment
        classes and mark glyph sets, which say what a lookup's flag skips."""
        self.glyph_classes: dict[str, int] = {}
        self.attach_classes: dict[str, int] = {}
        self.mark_sets: list[frozenset[str]] = []
        if "GDEF" not in self.font:
            return
        gdef = self.font["GDEF"].table
        if getattr(gdef, "GlyphClassDef", None) is not None:
            self.glyph_classes = dict(gdef.GlyphClassDef.classDefs)
        if getattr(gdef, "MarkAttachClassDef", None) is not None:
            self.attach_classes = dict(gdef.MarkAttachClassDef.classDefs)
        sets = getattr(gdef, "MarkGlyphSetsDef", None)
        if sets is not None:
            self.mark_sets = [frozenset(_glyphs(c)) for c in sets.Coverage]

    def gid(self, name: str) -> int:
        return int(self.font.getGlyphID(name))


def _unwrapped(table: str, lookup: Any) -> tuple[int, list[Any]]:
    kind = int(lookup.LookupType)
    subtables = list(lookup.SubTable)
    if kind != EXTENSION[table]:
        return kind, subtables
    inner = [s.ExtSubTable for s in subtables if getattr(s, "ExtSubTable", None) is not None]
    return (int(inner[0].LookupType) if inner else kind), inner


def _called(node: Any, depth: int = 0) -> Iterator[int]:
    """The lookup indices of every Subst/PosLookupRecord under a contextual subtable."""
    if depth > 6 or node is None:
        return
    if hasattr(node, "LookupListIndex") and hasattr(node, "SequenceIndex"):
        yield int(node.LookupListIndex)
        return
    if isinstance(node, list):
        for item in node:
            yield from _called(item, depth + 1)
        return
    if hasattr(node, "__dict__") and hasattr(node, "getConverters"):
        for value in vars(node).values():
            if isinstance(value, list) or hasattr(value, "getConverters"):
                yield from _called(value, depth + 1)


def _glyphs(coverage: Any) -> list[str]:
    return list(coverage.glyphs) if coverage is not None else []


def _coverage(table: str, kind: int, sub: Any) -> list[str]:
    """The glyphs the subtable's first coverage holds: those a match starts at."""
    if table == "GSUB" and kind in (1, 2):
        return list(sub.mapping)
    if table == "GSUB" and kind == 3:
        return list(sub.alternates)
    if table == "GSUB" and kind == 4:
        return list(sub.ligatures)
    if table == "GPOS" and kind in (4, 5):
        return _glyphs(sub.MarkCoverage)
    if table == "GPOS" and kind == 6:
        return _glyphs(sub.Mark1Coverage)
    if getattr(sub, "Format", None) == 3 and kind in CONTEXTUAL[table]:
        first = getattr(sub, "InputCoverage", None) or getattr(sub, "Coverage", None) or []
        return _glyphs(first[0]) if first else []
    return _glyphs(getattr(sub, "Coverage", None))


def _products(table: str, kind: int, sub: Any) -> Iterator[tuple[Glyphs, Glyphs]]:
    if table != "GSUB":
        return
    if kind == 1:
        yield from (((a,), (b,)) for a, b in sub.mapping.items())
    elif kind == 2:
        yield from (((a,), tuple(b)) for a, b in sub.mapping.items())
    elif kind == 3:
        yield from (((a,), (b,)) for a, alternates in sub.alternates.items() for b in alternates)
    elif kind == 8:
        yield from (((a,), (b,)) for a, b in zip(_glyphs(sub.Coverage), sub.Substitute))
    elif kind == 4:
        for first, ligatures in sub.ligatures.items():
            yield from (((first, *lig.Component), (lig.LigGlyph,)) for lig in ligatures)


def _pair_set(table: str, kind: int, sub: Any) -> Optional[frozenset[tuple[str, str]]]:
    if table != "GPOS" or kind != 2 or sub.Format != 1:
        return None
    return frozenset((first, r.SecondGlyph) for first, pairs in zip(_glyphs(sub.Coverage), sub.PairSet)
                     for r in pairs.PairValueRecord)


def _rules(table: str, kind: int, sub: Any, classes: "_Classes") -> Iterator[Rule]:
    """The subtable's rules, each the glyphs that may stand at each of its positions."""
    if table == "GSUB" and kind in (1, 2, 3, 8):
        for glyph in _coverage(table, kind, sub):
            yield ((glyph,),)
    elif table == "GSUB" and kind == 4:
        for first, ligatures in sub.ligatures.items():
            for ligature in ligatures:
                yield ((first,), *((c,) for c in ligature.Component))
    elif table == "GPOS" and kind == 1:
        for glyph in _glyphs(sub.Coverage):
            yield ((glyph,),)
    elif table == "GPOS" and kind == 2:
        yield from _pairs(sub, classes)
    elif table == "GPOS" and kind == 3:
        glyphs = _glyphs(sub.Coverage)
        for k, record in enumerate(sub.EntryExitRecord):
            if record.ExitAnchor is not None:
                entries = [g for g, r in zip(glyphs, sub.EntryExitRecord) if r.EntryAnchor is not None]
                if entries:
                    yield ((glyphs[k],), tuple(entries[:8]))
    elif table == "GPOS" and kind in (4, 5, 6):
        yield from _marks(kind, sub)


def _pairs(sub: Any, classes: "_Classes") -> Iterator[Rule]:
    """Each kerning pair (format 1), or each pair of classes with a value (format 2)."""
    firsts = _glyphs(sub.Coverage)
    if sub.Format == 1:
        for first, pairs in zip(firsts, sub.PairSet):
            for record in pairs.PairValueRecord:
                yield (first,), (record.SecondGlyph,)
        return
    classes1 = classes.read(sub.ClassDef1, firsts)
    classes2 = classes.read(sub.ClassDef2, None)
    for c1, record in enumerate(sub.Class1Record):
        for c2, values in enumerate(record.Class2Record):
            if _has_value(values.Value1) or _has_value(getattr(values, "Value2", None)):
                if classes1.get(c1) and classes2.get(c2):
                    yield tuple(classes1[c1][:4]), tuple(classes2[c2][:4])


def _has_value(value: Any) -> bool:
    return value is not None and any(getattr(value, f, 0) for f in ("XAdvance", "XPlacement", "YPlacement", "YAdvance"))


class _Classes:
    """Reads class definitions: class to its glyphs, in glyph order."""

    def __init__(self, rank: dict[str, int], others: list[str]) -> None:
        self._rank = rank
        self._others = others

    def read(self, class_def: Any, among: Optional[list[str]], context: bool = False) -> dict[int, list[str]]:
        """Class 0 (the glyphs in no class) holds, for an input or first ClassDef, the covered
        glyphs `among` in no class; for a backtrack or lookahead one (`context`), cmap'd
        glyphs in no class."""
        defs = class_def.classDefs if class_def is not None else {}
        out: dict[int, list[str]] = {}
        for glyph, c in defs.items():
            out.setdefault(c, []).append(glyph)
        if among is not None:
            out[0] = [g for g in among if g not in defs]
        elif context:
            out[0] = [g for g in self._others if g not in defs]
        for glyphs in out.values():
            glyphs.sort(key=lambda g: (self._rank.get(g, len(self._rank)), g))
        return out



def _marks(kind: int, sub: Any) -> Iterator[Rule]:
    """Each mark with the first base (ligature, mark) that has an anchor for its class, and
    each base with the first mark of a class it has an anchor for."""
    marks = _glyphs(sub.Mark1Coverage if kind == 6 else sub.MarkCoverage)
    mark_array = sub.Mark1Array if kind == 6 else sub.MarkArray
    bases = _glyphs(sub.Mark2Coverage if kind == 6 else sub.LigatureCoverage if kind == 5 else sub.BaseCoverage)
    if not marks or not bases:
        return
    first_mark: dict[int, str] = {}
    for mark, record in zip(marks, mark_array.MarkRecord):
        first_mark.setdefault(int(record.Class), mark)
    for mark in marks:
        yield tuple(bases[:8]), (mark,)
    for base in bases[1:]:
        yield (base,), tuple(first_mark.values())[:4]


class _Context(NamedTuple):
    rule: Rule
    records: tuple[tuple[int, int], ...]
    backtrack: int  # the rule's positions before its input


def _context(backtrack: list[list[str]], inputs: list[list[str]], lookahead: list[list[str]],
             records: tuple[tuple[int, int], ...]) -> _Context:
    positions = backtrack + inputs + lookahead
    return _Context(tuple(tuple(p[:MAX_CLASS]) for p in positions), records, len(backtrack))


def _contexts(sub: Any, classes: _Classes) -> Iterator[_Context]:
    """Each rule of a contextual or chaining subtable, backtrack first (in text order), then
    the input, then the lookahead, with the lookups it calls."""
    fmt = getattr(sub, "Format", None)
    if fmt == 3:
        yield _context([_glyphs(c) for c in reversed(getattr(sub, "BacktrackCoverage", []) or [])],
                       [_glyphs(c) for c in (getattr(sub, "InputCoverage", None) or sub.Coverage or [])],
                       [_glyphs(c) for c in getattr(sub, "LookAheadCoverage", []) or []], _record_calls(sub))
        return
    firsts = _glyphs(sub.Coverage)
    if fmt == 1:
        sets = _first_attr(sub, "ChainSubRuleSet", "ChainPosRuleSet", "SubRuleSet", "PosRuleSet")
        for first, rule_set in zip(firsts, sets):
            for rule in _rule_list(rule_set):
                yield _context([[g] for g in reversed(list(_first_attr(rule, "Backtrack")))],
                               [[first]] + [[g] for g in _first_attr(rule, "Input", "Class")],
                               [[g] for g in _first_attr(rule, "LookAhead")], _record_calls(rule))
    elif fmt == 2:
        # Class 0 is, at the rule's first glyph, the covered glyphs in no class; further on,
        # any glyph in no class.
        input_classes = classes.read(_first_attr(sub, "InputClassDef", "ClassDef"), firsts)
        further = classes.read(_first_attr(sub, "InputClassDef", "ClassDef"), None, True)
        back = classes.read(getattr(sub, "BacktrackClassDef", None), None, True)
        ahead = classes.read(getattr(sub, "LookAheadClassDef", None), None, True)
        sets = _first_attr(sub, "ChainSubClassSet", "ChainPosClassSet", "SubClassSet", "PosClassSet")
        covered = set(firsts)
        for c, class_set in enumerate(sets):
            starts = [g for g in input_classes.get(c, []) if g in covered]
            for rule in _rule_list(class_set) if starts else []:
                yield _context([back.get(k, []) for k in reversed(list(_first_attr(rule, "Backtrack")))],
                               [starts] + [further.get(k, []) for k in _first_attr(rule, "Input", "Class")],
                               [ahead.get(k, []) for k in _first_attr(rule, "LookAhead")], _record_calls(rule))


def _record_calls(rule: Any) -> tuple[tuple[int, int], ...]:
    """A contextual rule's records: (position in its input, lookup index), in their order."""
    records = _first_attr(rule, "SubstLookupRecord", "PosLookupRecord")
    return tuple((int(r.SequenceIndex), int(r.LookupListIndex)) for r in records)


def _first_attr(node: Any, *names: str) -> Any:
    for name in names:
        value = getattr(node, name, None)
        if value is not None:
            return value
    return []


def _rule_list(rule_set: Any) -> list[Any]:
    if rule_set is None:
        return []
    return list(_first_attr(rule_set, "ChainSubRule", "ChainPosRule", "SubRule", "PosRule", "ChainSubClassRule",
                            "ChainPosClassRule", "SubClassRule", "PosClassRule"))
