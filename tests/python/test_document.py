"""The result document: every key, value types, font facts and the family name, and the
text form of values that need escaping."""

import os
import struct

import pytest

from conftest import (NOTO_SANS, TAG_LATN, glyph, head_table, maxp_table, name_table, sfnt,
                      tiny_font)


def check_types(doc):
    """Integers are JSON integers, "effective" the literal true, nothing else sneaks in."""
    assert set(doc) == {"engine", "final", "font_info", "glyph_count", "messages", "stages",
                        "upem"}
    assert set(doc["font_info"]) == {"family", "path"}
    for key in ("glyph_count", "upem"):
        assert type(doc[key]) is int
    records = list(doc["final"])
    for entry in doc["stages"]:
        assert set(entry) == {"depth", "effective", "glyphs", "m"}
        assert entry["effective"] is True
        assert type(entry["depth"]) is int and entry["depth"] == 0
        records += entry["glyphs"]
    for record in records:
        assert set(record) == {"ax", "ay", "cl", "dx", "dy", "flags", "g"}
        assert all(type(v) is int for v in record.values())
        assert record["ay"] == 0 and record["flags"] == 0


def test_document_holds_every_key_with_exact_values(engine, fake):
    fake.configure("shape glyphs=5,6; place adv=500,600")
    doc = engine.shape("ab", fake, data=tiny_font(upem=1234, glyphs=77, family="Tiny Test"))
    check_types(doc)
    path = doc["font_info"]["path"]
    final = [glyph(5, 0, ax=500), glyph(6, 1, ax=600)]
    assert doc == {
        "engine": "uniscribe",
        "final": final,
        "font_info": {"family": "Tiny Test", "path": path},
        "glyph_count": 77,
        "messages": [f"Uniscribe item 0: script 1 tag {TAG_LATN:#010x} chars 0..2 -> 2 glyphs"],
        "stages": [{"depth": 0, "effective": True, "glyphs": final,
                    "m": f"Uniscribe shape item 0 (script 1, tag {TAG_LATN:#010x})"}],
        "upem": 1234,
    }
    assert path.startswith(str(engine.tmpdir) + "/") and not os.path.exists(path)


def test_offsets_and_negative_values_pass_through(engine, fake):
    fake.configure("shape glyphs=65535,0,3; place adv=-7,0,2147483647 du=-3,4,-2147483648 "
                   "dv=7,-8,0")
    doc = engine.shape("abc", fake)
    check_types(doc)
    assert doc["final"] == [glyph(65535, 0, ax=-7, dx=-3, dy=7), glyph(0, 1, ax=0, dx=4, dy=-8),
                            glyph(3, 2, ax=2147483647, dx=-2147483648, dy=0)]


def test_family_name_characters_are_escaped_only_where_json_needs(engine, fake):
    family = 'A\t"\u00e9/\x7f\x01\\\u2028\U0001f600'
    data = tiny_font(family=family)
    out = engine.raw("a", fake, data=data)
    doc = engine.shape("a", fake, data=data)
    assert doc["font_info"]["family"] == family.replace("\U0001f600", "\ufffd\ufffd")
    assert '"family": "A\\t\\"\u00e9/\x7f\\u0001\\\\\u2028\ufffd\ufffd"' in out


def noto_facts():
    data = NOTO_SANS.read_bytes()
    count = struct.unpack_from(">H", data, 4)[0]
    tables = {}
    for i in range(count):
        tag_name, _, offset, _ = struct.unpack_from(">4sIII", data, 12 + 16 * i)
        tables[tag_name] = offset
    upem = struct.unpack_from(">H", data, tables[b"head"] + 18)[0]
    glyphs = struct.unpack_from(">H", data, tables[b"maxp"] + 4)[0]
    return upem, glyphs


def test_real_font_facts(engine, fake):
    doc = engine.shape("a", fake)
    assert (doc["upem"], doc["glyph_count"]) == noto_facts()
    assert doc["font_info"]["family"] == "Noto Sans"


def utf16(text):
    return text.encode("utf-16-be")


def win(name_id, raw, encoding=1):
    return (3, encoding, 0x409, name_id, raw)


STEM = None  # the family falls back to the temporary file's name without ".font"

# (font bytes, upem, glyph count, family)
FONTS = [
    (b"", 2048, 0, STEM),
    (b"\x00\x01\x00\x00" + b"\x00" * 7, 2048, 0, STEM),
    (sfnt([(b"head", head_table(900)), (b"maxp", maxp_table(12))]), 900, 12, STEM),
    (sfnt([(b"maxp", maxp_table(5)), (b"maxp", maxp_table(9))]), 2048, 9, STEM),
    (sfnt([(b"head", head_table(900)), (b"maxp", maxp_table(12))], flavor=b"OTTO"), 900, 12,
     STEM),
    (sfnt([(b"head", head_table(900)), (b"name", name_table([win(1, utf16("T1"))]))],
          flavor=b"typ1"), 900, 0, STEM),
    (sfnt([(b"head", head_table(900)), (b"name", name_table([win(1, utf16("Apple"))]))],
          flavor=b"true"), 900, 0, "Apple"),
    (sfnt([(b"name", name_table([win(16, utf16("Typo")), win(1, utf16("Fam"))]))]), 2048, 0,
     "Fam"),
    (sfnt([(b"name", name_table([win(1, utf16("First")), win(16, utf16("Typo")),
                                 win(1, utf16("Second"))]))]), 2048, 0, "First"),
    (sfnt([(b"name", name_table([win(16, utf16("Typo")), win(2, utf16("Regular"))]))]), 2048, 0,
     "Typo"),
    (sfnt([(b"name", name_table([(1, 0, 0, 1, b"Mac")]))]), 2048, 0, STEM),
    (sfnt([(b"name", name_table([win(1, utf16("Zero"), encoding=0)]))]), 2048, 0, STEM),
    (sfnt([(b"name", name_table([win(1, utf16("Ten"), encoding=10)]))]), 2048, 0, "Ten"),
    (sfnt([(b"name", name_table([win(1, utf16("\U0001d538b"))]))]), 2048, 0,
     "\ufffd\ufffdb"),
    (sfnt([(b"name", name_table([win(1, utf16("ab") + b"c")]))]), 2048, 0, "ab"),
    (sfnt([(b"name", name_table([win(1, b""), win(1, b"x"), win(1, utf16("Third"))]))]), 2048,
     0, "Third"),
]


def collection(font):
    # A collection whose first font's table directory follows the 16-byte header; the
    # table offsets inside are moved along with it.
    count = struct.unpack_from(">H", font, 4)[0]
    shifted = bytearray(font)
    for i in range(count):
        pos = 12 + 16 * i + 8
        struct.pack_into(">I", shifted, pos, struct.unpack_from(">I", font, pos)[0] + 16)
    return b"ttcf" + struct.pack(">HHII", 1, 0, 1, 16) + bytes(shifted)


FONTS.append((collection(tiny_font(upem=700, glyphs=33, family="InTTC")), 700, 33, "InTTC"))


def head_out_of_range():
    font = bytearray(sfnt([(b"head", head_table(900)), (b"maxp", maxp_table(12))]))
    struct.pack_into(">I", font, 12 + 8, len(font) - 10)  # 'head' + 20 is past the end
    return bytes(font)


FONTS.append((head_out_of_range(), 2048, 12, STEM))


@pytest.mark.parametrize("data, upem, glyphs, family", FONTS)
def test_font_facts_and_family_fallbacks(engine, fake, data, upem, glyphs, family):
    doc = engine.shape("a", fake, data=data)
    check_types(doc)
    stem = os.path.basename(doc["font_info"]["path"])[: -len(".font")]
    assert (doc["upem"], doc["glyph_count"]) == (upem, glyphs)
    assert doc["font_info"]["family"] == (stem if family is STEM else family)
