"""The records of a lookup coverage: one per lookup, and the whole, with their JSON form and
the text `tesvo coverage` prints."""

from __future__ import annotations

from typing import NamedTuple, Optional

from tesvo.coverage.lookups import FeatureUse
from tesvo.result import JsonValue

__all__ = ["LookupCoverage", "Coverage", "SCHEMA", "WHY", "OPTION_WHY", "OUT_OF_REACH"]

# Why a lookup was not reached: called only from a contextual lookup, referenced by no
# feature, ran without changing anything, never ran (without generate, or not even with its
# feature on), no text could be made for it, its features only under a script or language
# system the texts were not shaped with, its features only on request, no text can reach it
# (reach.py).
WHY = ("nested", "no feature", "unchanged", "not run", "no cmap path", "other script", "other language",
       "on request", "unreachable")
# The whys of a lookup out of reach with the options given; the figure is of the others.
OPTION_WHY = ("no feature", "other script", "other language", "on request")
OUT_OF_REACH = OPTION_WHY + ("unreachable",)

SCHEMA = "tesvo-coverage"


class LookupCoverage(NamedTuple):
    """One GSUB or GPOS lookup: how many lines it changed (`lines`), how many it ran on
    without changing anything (`ran_only`), per subtable the lines it changed with that
    subtable's coverage holding a changed glyph (inferred), and the same for the generated
    texts. `reason` says why a lookup no line changed was not reached."""

    table: str
    number: int  # its index in the table's LookupList
    type: int
    type_name: str
    features: tuple[FeatureUse, ...]
    name: Optional[str]
    lines: int
    ran_only: int
    subtables: tuple[int, ...]
    generated: int = 0
    generated_subtables: tuple[int, ...] = ()
    calls: tuple[int, ...] = ()
    called_by: tuple[int, ...] = ()
    why: Optional[str] = None  # a word of WHY
    reason: Optional[str] = None

    @property
    def key(self) -> tuple[str, int]:
        return self.table, self.number

    @property
    def step(self) -> str:
        tags = ",".join(sorted({u.tag for u in self.features}))
        return f"{self.table} lookup {self.number}" + (f" '{tags}'" if tags else "")

    @property
    def reached(self) -> bool:
        return self.lines > 0 or self.generated > 0

    @property
    def reachable(self) -> bool:
        """In reach with the options: reached, or not reached for a reason a text could mend."""
        return self.why not in OUT_OF_REACH

    def to_dict(self) -> dict[str, JsonValue]:
        doc: dict[str, JsonValue] = {
            "table": self.table, "index": self.number, "type": self.type, "type_name": self.type_name,
            "features": [list(u) for u in self.features], "name": self.name, "lines": self.lines,
            "ran_only": self.ran_only, "subtables": list(self.subtables)}
        doc.update(generated=self.generated, generated_subtables=list(self.generated_subtables),
                   calls=list(self.calls), called_by=list(self.called_by), reachable=self.reachable, why=self.why,
                   reason=self.reason)
        return doc


class Coverage(NamedTuple):
    """Which of a font's lookups the texts reached. `texts` are the lines given (`corpora`
    names the shipped corpora they came from), `generated` the texts made with generate=True
    that reached a lookup (a rule) of the font."""

    font: str
    lines: int
    corpora: tuple[str, ...]
    lookups: tuple[LookupCoverage, ...]
    generated: tuple[str, ...] = ()
    seconds: float = 0.0

    def reached(self, generated: bool = True) -> int:
        return sum(1 for lk in self.lookups if lk.lines > 0 or (generated and lk.generated > 0))

    def reachable(self) -> int:
        """The lookups in reach with the options: all but those out of reach (OUT_OF_REACH)."""
        return sum(1 for lk in self.lookups if lk.reachable)

    def percent(self) -> float:
        """The lookups reached, of those in reach, in percent (100 where none is)."""
        reachable = self.reachable()
        return round(100.0 * self.reached() / reachable, 1) if reachable else 100.0

    def to_dict(self) -> dict[str, JsonValue]:
        never = [lk for lk in self.lookups if not lk.reached]
        summary: dict[str, JsonValue] = {
            "lookups": len(self.lookups), "reached_by_texts": self.reached(False), "reached": self.reached(),
            "never_reached": len(never), "why": {w: sum(1 for lk in never if lk.why == w) for w in WHY},
            "reachable": self.reachable(), "out_of_reach": {w: sum(1 for lk in never if lk.why == w) for w in OUT_OF_REACH},
            "percent_reached": self.percent()}
        return {"schema": SCHEMA, "font": self.font, "lines": self.lines, "corpora": list(self.corpora),
                "generated_lines": len(self.generated), "summary": summary,
                "lookups": [lk.to_dict() for lk in self.lookups]}

    def to_text(self) -> str:
        """The coverage at a glance: one row per lookup, then the lookups never reached with why."""
        head = f"{self.font}: {self.lines} lines" + (f" ({', '.join(self.corpora)})" if self.corpora else "")
        if self.generated:
            head += f" + {len(self.generated)} generated"
        never = [lk for lk in self.lookups if not lk.reached]
        out_of_reach = {w: sum(1 for lk in never if lk.why == w) for w in OUT_OF_REACH}
        outside = ", ".join(f"{w} {n}" for w, n in out_of_reach.items() if n)
        out = [head, f"{len(self.lookups)} lookups, {self.reached(False)} reached by the texts"
               + (f", {self.reached()} with the generated texts" if self.generated else "")
               + f", {len(never)} never reached",
               f"in reach with these options: {self.reachable()}" + (f" ({outside} out of reach)" if outside else "")
               + f"; reached {self.reached()} of them ({self.percent()} %)", ""]
        widths = "{:<5} {:>5}  {:<17} {:<14} {:>6} {:>6}" + (" {:>6}" if self.generated else "") + "  {}"
        columns = ["table", "index", "type", "features", "lines", "ran"] + (["gen"] if self.generated else [])
        out.append(widths.format(*columns, "subtables (lines)"))
        for lk in self.lookups:
            cells = [lk.table, lk.number, lk.type_name, _tags(lk), lk.lines, lk.ran_only]
            cells += [lk.generated] if self.generated else []
            out.append(widths.format(*cells, _subtables(lk)).rstrip() + (f"  [{lk.name}]" if lk.name else ""))
        if never:
            why = {w: sum(1 for lk in never if lk.why == w) for w in WHY}
            out += ["", f"never reached ({', '.join(f'{w} {n}' for w, n in why.items() if n)}):"]
            out += [f"  {lk.table} lookup {lk.number} ({lk.type_name}, {_tags(lk) or 'no feature'}): {lk.reason}"
                    for lk in never]
        return "\n".join(out) + "\n"


def _tags(lookup: LookupCoverage) -> str:
    return ",".join(sorted({u.tag for u in lookup.features}))


def _subtables(lookup: LookupCoverage) -> str:
    if len(lookup.subtables) <= 1:
        return ""
    counts = [str(n) + (f"+{g}" if g else "") for n, g in
              zip(lookup.subtables, lookup.generated_subtables or (0,) * len(lookup.subtables))]
    return " ".join(counts)
