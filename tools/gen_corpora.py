"""Writes the word corpora shipped with the package (python/tesvo/corpora/*.txt).

The words are the display names of the Unicode Common Locale Data Repository (CLDR) as
Debian's unicode-cldr-core package installs them (/usr/share/unicode/cldr/common/main,
Unicode License V3 / Unicode-DFS-2016): for each script, the names of languages, scripts,
territories, currencies, months, days and units in one locale that writes that script.
Only names whose letters are all of that script (plus Common and Inherited characters)
are kept; each corpus holds up to MAX_LINES of them, one kind of name after another in
turn, without duplicates.

After the names, each corpus ends with the lines of REACH, lists of this project's own: the
names alone leave out what a change to a font most often touches. They hold the marks of the
script on its letters (harakat, niqqud, nukta, tone marks, stress marks; generated below from
the letters and marks named), the pairs a font kerns most (AV, To, ГА, ΑΥ), the ligatures
standing alone (الله, fi, ffl, ஸ்ரீ), conjuncts and reph, and lines that mix the script with
Latin and digits. The classical texts among them (the basmala, Genesis 1:1) are in the public
domain.

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



def marked(letters: str, marks: str) -> list[str]:
    """A line per mark: the mark on each of the letters, space between them."""
    return [" ".join(letter + mark for letter in letters) for mark in marks]


# The lines each corpus ends with (see the module's text).
REACH: dict[str, list[str]] = {
    "latin": ["AV AW AY AT AC AG AO AQ AU", "FA LT LV LW LY PA TA TO TY", "VA VO WA WO YA YO KO RV RW",
              "Ta Te To Tr Tu Ty Va Ve Vo Wa We Wo Ya Ye Yo", "AVATAR WAVY TOYOTA LAVA", "T. V, W. Y. P. F, L’",
              "fi fl ff ffi ffl", "office affluent flow fjord waffle", "ﬁ ﬂ ﬀ",
              *marked("aeinou", "\u0300\u0301\u0302\u0303\u0308"), "ǅ ǈ ǋ ĳ", "Ελλάδα Greece 2024",
              "Москва Moscow", "Noto 123 (test) 4.5%"],
    "cyrillic": ["ГА ТА УА АТ АУ ДА ЛА РА", "Гд Та Те То Ту Уа Уо", *marked("аеиоуыэюя", "\u0301"),
                 "ё й ї ў", "Москва Moscow 2024", "Україна (Ukraine)"],
    "greek": ["ΑΤ ΑΥ ΤΑ ΥΑ ΑΒ ΓΑ ΛΑ", "Το Τα Τε Υο", *marked("αεηιουω", "\u0301\u0308"),
              "ἀ ἁ ᾳ ῶ ὦ ᾧ", "ΐ ΰ ϊ ϋ", "Ελλάδα Greece 2024"],
    "arabic": ["الله", "لله", "بالله", "إن شاء الله", "لا لأ لإ لآ", "محمد",
               "بِسْمِ اللَّهِ الرَّحْمَٰنِ الرَّحِيمِ", "كَتَبَ مُحَمَّدٌ الْعَرَبِيَّةُ",
               *marked("بتجحدرسصطعفقكلمنهوي", "\u064b\u064c\u064d\u064e\u064f\u0650\u0651\u0652"),
               "بَّ بِّ بُّ", "ـــ كـــتـــاب", "مرحبا Hello", "عام 2024", "١٢٣ ٤٥٦"],
    "hebrew": ["שָׁלוֹם", "בְּרֵאשִׁית בָּרָא אֱלֹהִים", "יְרוּשָׁלַיִם",
               *marked("אבגדהכלמנשת", "\u05b0\u05b1\u05b2\u05b3\u05b4\u05b5\u05b6\u05b7\u05b8\u05b9\u05bb\u05bc"),
               "שׁ שׂ בּ", "שלום Hello 2024"],
    "devanagari": [" ".join(c + "\u093c" for c in "कखगजडढफय"), "ज़िंदगी ख़बर ग़ज़ल फ़िल्म", "र्क र्ख र्ग र्म र्य",
                   "क्ष त्र ज्ञ श्र द्य द्ध", "हँसी सिंह कः", "कि की कु कू के कै को कौ", "Hindi हिन्दी 2024"],
    "bengali": [" ".join(c + "\u09bc" for c in "ডঢয"), "র্ক র্গ র্ম", "ক্ষ জ্ঞ ন্ত ন্দ", "কি কী কু কূ কে কৈ কো কৌ",
                "বাংলা Bangla 2024"],
    "tamil": ["ஸ்ரீ", "க் ங் ச் ஞ் ட் ண்", "கி கீ கு கூ கெ கே கை கொ கோ கௌ", "தமிழ் Tamil 2024"],
    "thai": [*marked("กขคนม", "\u0e48\u0e49\u0e4a\u0e4b"), "ที่ นี่ ปั้น กิ๊ก", "Thai ไทย 2024"],
    "khmer": ["ក្ក ខ្ម ស្រ ព្រ", "កុំ កាំ កិះ", "Khmer ខ្មែរ 2024"],
    "myanmar": ["က္က ဂ္ဂ", "င်္ဂ", "ကျ ကြ ကွ ကှ", "Myanmar မြန်မာ 2024"],
    "cjk": ["日本語 English", "か\u3099 は\u309a", "「日本」『中文』", "ｶﾀｶﾅ ﾊﾝｶｸ", "中文 2024年"],
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
        names_kept = len(kept)
        for line in REACH[corpus]:
            kept.setdefault(line)
        (OUT / f"{corpus}.txt").write_text("".join(f"{n}\n" for n in kept), encoding="utf-8")
        print(f"{corpus}: {names_kept} names from {', '.join(locales)}, {len(kept) - names_kept} lines of its own")
    return 0


if __name__ == "__main__":
    sys.exit(main())
