"""Fonts and long texts of the benchmark suite.

The texts are made of sample sentences, repeated in a fixed shuffled order and cut
to an exact length in UTF-16 code units. Every sentence is in the Basic Multilingual
Plane, so a Python index is a UTF-16 index.

The backend makes one item of every maximal run of one script and one bidi level,
and one item holds at most 65,535 glyphs (Uniscribe's log clusters are 16-bit), so
a long text must break into items now and then, as real text does: the Latin text
has Greek letters in some sentences (science prose), the Arabic text numbers in
Arabic-Indic digits, the Devanagari text Latin acronyms in brackets, and the mixed
text all of Latin, Arabic and digits.
"""
from __future__ import annotations

import random

NOTO = "/usr/share/fonts/truetype/noto"
FONTS = {
    "latin": f"{NOTO}/NotoSans-Regular.ttf",
    "arabic": f"{NOTO}/NotoNaskhArabic-Regular.ttf",
    "devanagari": f"{NOTO}/NotoSansDevanagari-Regular.ttf",
    # Noto Naskh Arabic covers Arabic, digits and punctuation; its Latin letters map to
    # .notdef, which is shaped all the same.
    "mixed": f"{NOTO}/NotoNaskhArabic-Regular.ttf",
    "cjk": "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
}

SHORT_TEXT = "Hello, world!"

SENTENCES = {
    "latin": [
        "The quick brown fox jumps over the lazy dog.",
        "Typography is the art and technique of arranging type to make written language legible.",
        "A font engineer checks kerning, ligatures and mark positioning before each release.",
        "The ratio of a circle's circumference to its diameter is \u03c0, about 3.14159.",
        "Shaping engines turn characters into positioned glyphs, cluster by cluster.",
        "The wavelength \u03bb of the green laser was 532 nanometres.",
        "Office staff fly to the fjord to find the official waffle stand.",
        "Every item is shaped on its own and then placed along the line.",
        "Resistance is measured in ohms, written with the letter \u03a9.",
        "Naïve café owners rarely coöperate with the façade's architects.",
        "Angles \u03b1 and \u03b2 add up to a right angle in this triangle.",
        "WAVE, AVATAR and Type are classic kerning tests for a new typeface.",
    ],
    "arabic": [
        "الخط العربي فن جميل يجمع بين الدقة والإبداع.",
        "يتكون هذا النص من جمل قصيرة لاختبار تشكيل الحروف.",
        "في عام ٢٠٢٣ صدرت نسخة جديدة من هذا الخط.",
        "تتصل الحروف العربية ببعضها حسب موقعها في الكلمة.",
        "يحتوي الكتاب على ١٢٥ صفحة و٣٤ صورة ملونة.",
        "السلام عليكم ورحمة الله وبركاته.",
        "اللغة العربية من أكثر اللغات انتشارا في العالم.",
        "وصل القطار إلى المحطة في الساعة ٧ مساء.",
        "يكتب الخطاط بالقلم والحبر على ورق ناعم.",
        "تعلم الطلاب قواعد النحو والصرف في المدرسة.",
    ],
    "devanagari": [
        "हिन्दी भारत की सबसे अधिक बोली जाने वाली भाषा है।",
        "यह वाक्य देवनागरी लिपि के आकार देने की जाँच के लिए लिखा गया है।",
        "संयुक्त अक्षर जैसे क्ष, त्र और ज्ञ सही रूप में दिखने चाहिए।",
        "यूनिकोड (Unicode) हर अक्षर को एक संख्या देता है।",
        "विद्यार्थी पुस्तकालय में चुपचाप पढ़ रहे हैं।",
        "फ़ॉन्ट की जाँच (OpenType) नियमों के अनुसार की जाती है।",
        "कृपया धीरे बोलिए, मुझे समझ नहीं आया।",
        "प्रधानमंत्री ने राष्ट्र को संबोधित किया।",
        "गंगा नदी हिमालय से निकलकर बंगाल की खाड़ी में मिलती है।",
        "शब्दों के बीच की दूरी (spacing) भी महत्वपूर्ण है।",
    ],
    "mixed": [
        "The word كتاب means book, and the shelf holds 42 of them.",
        "Order 1234 was shipped to القاهرة on 2023-05-17.",
        "مرحبا means hello; say it 3 times.",
        "In 2024 العربية had about 400 million speakers.",
        "قال المهندس إن النسخة 2.5 من Vantor أسرع بنسبة 30%.",
        "The café on شارع النيل opens at 8:30 every day.",
        "يبلغ طول الجسر 1200 متر، أي about three quarters of a mile.",
        "Version 6.0 of the engine shapes العربية and English alike.",
    ],
}


def make_text(kind: str, length: int, seed: int = 6) -> str:
    """A text of exactly `length` UTF-16 code units: sentences in a shuffled order,
    a space between sentences and a line break after every eighth."""
    sentences = SENTENCES[kind]
    rng = random.Random(f"{kind}-{seed}")
    parts: list[str] = []
    size = 0
    count = 0
    while size < length:
        order = list(range(len(sentences)))
        rng.shuffle(order)
        for i in order:
            count += 1
            piece = sentences[i] + ("\n" if count % 8 == 0 else " ")
            parts.append(piece)
            size += len(piece)
    text = "".join(parts)[:length]
    assert all(ord(c) < 0x10000 for c in text)
    return text


def paragraph_text(kind: str, length: int, seed: int = 6) -> str:
    """A text of exactly `length` UTF-16 code units that is one paragraph of one item: the
    sentences of `kind` without letters of another script or digits (which make items of
    their own), in a shuffled order, a space between them and no line break."""
    import unicodedata

    def one_script(sentence: str) -> bool:
        return not any(c.isdigit() or (c.isalpha() and c.isascii() != (kind == "latin")) or
                       ("GREEK" in unicodedata.name(c, "")) for c in sentence)

    sentences = [s for s in SENTENCES[kind] if one_script(s)]
    rng = random.Random(f"{kind}-paragraph-{seed}")
    parts: list[str] = []
    size = 0
    while size < length:
        sentence = rng.choice(sentences) + " "
        parts.append(sentence)
        size += len(sentence)
    return "".join(parts)[:length]


def text_of(kind: str, length: int) -> str:
    """make_text, or paragraph_text for a kind ending in "-paragraph" ("devanagari-paragraph")."""
    if kind.endswith("-paragraph"):
        return paragraph_text(kind[: -len("-paragraph")], length)
    return make_text(kind, length)
