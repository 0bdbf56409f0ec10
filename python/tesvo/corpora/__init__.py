"""Small corpora shipped with tesvo: one text per line, a file per script.

The texts are display names from the Unicode CLDR locale data (languages, scripts,
territories, currencies, months, days, units) in a locale that writes each script; see
tools/gen_corpora.py, which made them from Debian's unicode-cldr-core.
"""

from __future__ import annotations

from importlib import resources

__all__ = ["names", "load"]


def names() -> list[str]:
    """The corpora's names, such as "arabic" or "devanagari"."""
    return sorted(p.name[:-4] for p in resources.files(__name__).iterdir() if p.name.endswith(".txt"))


def load(name: str) -> list[str]:
    """The texts of one corpus, in its order. KeyError names the corpora there are."""
    if name not in names():
        raise KeyError(f"no corpus {name!r}; there are: {', '.join(names())}")
    text = resources.files(__name__).joinpath(f"{name}.txt").read_text(encoding="utf-8")
    return text.splitlines()
