"""Small corpora shipped with tesvo: one text per line, a file per script.

Each corpus holds 400 display names from the Unicode CLDR locale data (languages, scripts,
territories, currencies, months, days, units) in locales that write its script, then lines
of this project's own that the names leave out: the script's marks on its letters (harakat,
niqqud, nukta, tone and stress marks), the pairs fonts kern most, ligatures and ligature words
standing alone (الله, fi, ffl), conjuncts, and lines that mix the script with Latin and
digits. tools/gen_corpora.py made them (the names from Debian's unicode-cldr-core) and lists
the lines of its own.
"""

from __future__ import annotations

from collections.abc import Collection, Iterable
from importlib import resources

__all__ = ["names", "load", "for_font"]

# OpenType script tags to the corpus that writes the script.
SCRIPT_CORPORA = {
    "latn": "latin", "cyrl": "cyrillic", "grek": "greek", "arab": "arabic", "hebr": "hebrew",
    "deva": "devanagari", "dev2": "devanagari", "beng": "bengali", "bng2": "bengali", "taml": "tamil",
    "tml2": "tamil", "thai": "thai", "khmr": "khmer", "mymr": "myanmar", "mym2": "myanmar", "hani": "cjk",
    "kana": "cjk", "hang": "cjk",
}
# A corpus that a font without layout scripts is given: most of its letters in the cmap.
CMAP_SHARE = 0.9


def names() -> list[str]:
    """The corpora's names, such as "arabic" or "devanagari"."""
    return sorted(p.name[:-4] for p in resources.files(__name__).iterdir() if p.name.endswith(".txt"))


def load(name: str) -> list[str]:
    """The texts of one corpus, in its order. KeyError names the corpora there are."""
    if name not in names():
        raise KeyError(f"no corpus {name!r}; there are: {', '.join(names())}")
    text = resources.files(__name__).joinpath(f"{name}.txt").read_text(encoding="utf-8")
    return text.splitlines()


def for_font(scripts: Iterable[str], cmap: Collection[int]) -> list[str]:
    """The corpora for a font: those of the script tags its GSUB and GPOS name, or, for a
    font that names none of them, those whose letters its cmap mostly maps."""
    chosen = sorted({SCRIPT_CORPORA[tag] for tag in scripts if tag in SCRIPT_CORPORA})
    if chosen:
        return chosen
    out = []
    for name in names():
        letters = {ord(ch) for line in load(name) for ch in line if ch.isalpha()}
        if letters and len(letters & set(cmap)) >= CMAP_SHARE * len(letters):
            out.append(name)
    return out
