"""Writes the word corpora shipped with the package (python/tesvo/corpora/*.txt).

The words are the display names of the Unicode Common Locale Data Repository (CLDR) as
Debian's unicode-cldr-core package installs them (/usr/share/unicode/cldr/common/main,
Unicode License V3 / Unicode-DFS-2016): for each script, the names of languages, scripts,
territories, currencies, months, days and units in one locale that writes that script.
Only names whose letters are all of that script (plus Common and Inherited characters)
are kept; each corpus holds up to MAX_LINES of them, one kind of name after another in
turn, without duplicates.

Regenerate: apt-get install unicode-cldr-core && python tools/gen_corpora.py
"""

from __future__ import annotations

import sys
import xml.etree.ElementTree as ET
from pathlib import Path

from fontTools import unicodedata as ucd

CLDR = Path("/usr/share/unicode/cldr/common/main")
OUT = Path(__file__).resolve().parent.parent / "python" / "tesvo" / "corpora"
MAX_LINES = 400

# corpus name: (ISO 15924 codes a name may use, CLDR locales it is taken from)
CORPORA = {
    "latin": ({"Latn"}, ["en", "fr", "de", "vi"]),
    "cyrillic": ({"Cyrl"}, ["ru", "uk", "sr"]),
    "greek": ({"Grek"}, ["el"]),
    "arabic": ({"Arab"}, ["ar", "fa", "ur"]),
    "hebrew": ({"Hebr"}, ["he", "yi"]),
    "devanagari": ({"Deva"}, ["hi", "mr", "ne"]),
    "bengali": ({"Beng"}, ["bn", "as"]),
    "tamil": ({"Taml"}, ["ta"]),
    "thai": ({"Thai"}, ["th"]),
    "khmer": ({"Khmr"}, ["km"]),
    "myanmar": ({"Mymr"}, ["my"]),
    "cjk": ({"Hani", "Hira", "Kana"}, ["zh", "ja", "zh_Hant"]),
}

# Elements whose text is a display name or a calendar word.
PATHS = [
    "localeDisplayNames/languages/language",
    "localeDisplayNames/scripts/script",
    "localeDisplayNames/territories/territory",
    "numbers/currencies/currency/displayName",
    "dates/calendars/calendar[@type='gregorian']/months/monthContext/monthWidth[@type='wide']/month",
    "dates/calendars/calendar[@type='gregorian']/days/dayContext/dayWidth[@type='wide']/day",
    "units/unitLength[@type='long']/unit/displayName",
]


def fits(text: str, scripts: set[str]) -> bool:
    seen = False
    for ch in text:
        code = ucd.script(ch)
        if code in ("Zyyy", "Zinh"):
            continue
        if code not in scripts:
            return False
        seen = True
    return seen


def names(locale: str) -> list[list[str]]:
    """The names of each kind (one list per path) that a locale gives."""
    root = ET.parse(CLDR / f"{locale}.xml").getroot()
    kinds = []
    for path in PATHS:
        kinds.append([" ".join(node.text.split()) for node in root.findall(path)
                      if node.get("alt") is None and node.text and node.text.strip()])
    return kinds


def interleaved(lists: list[list[str]]) -> list[str]:
    """One of each kind in turn, so that a capped corpus holds every kind of name."""
    out = []
    for k in range(max(map(len, lists), default=0)):
        out.extend(names[k] for names in lists if k < len(names))
    return out


def main() -> int:
    OUT.mkdir(parents=True, exist_ok=True)
    for corpus, (scripts, locales) in CORPORA.items():
        kept: dict[str, None] = {}
        candidates = interleaved([kind for locale in locales for kind in names(locale)])
        for name in candidates:
            if len(kept) < MAX_LINES and fits(name, scripts):
                kept.setdefault(name)
        (OUT / f"{corpus}.txt").write_text("".join(f"{n}\n" for n in kept), encoding="utf-8")
        print(f"{corpus}: {len(kept)} lines from {', '.join(locales)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
