"""Builds the seed inputs of the font and run fuzz targets from small subsets
of Debian's Noto and DejaVu fonts and from the hand-made fonts of the tests
(needs fontTools):

    python3 fuzz/make_seeds.py
"""
import io
import pathlib
import struct

from fontTools import subset
from fontTools.ttLib import TTCollection, TTFont

HERE = pathlib.Path(__file__).resolve().parent
NOTO = pathlib.Path("/usr/share/fonts/truetype/noto")
NOTO_CJK = pathlib.Path("/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc")
DEJAVU = pathlib.Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")
SAMPLES = [
    ("latin", NOTO / "NotoSans-Regular.ttf", "AVATAR Wave fi ffl 123", 0),
    ("arabic", NOTO / "NotoNaskhArabic-Regular.ttf", "\u0644\u0627 \u0645\u0631\u062d\u0628\u0627 \u0628\u0643\u0645", 1),
    ("devanagari", NOTO / "NotoSansDevanagari-Regular.ttf", "\u0915\u094d\u0937\u093f \u0928\u092e\u0938\u094d\u0924\u0947", 0),
    ("hebrew", NOTO / "NotoSansHebrew-Regular.ttf", "\u05e9\u05c1\u05b8\u05dc\u05d5\u05b9\u05dd abc", 1),
    # Marks positioned by GPOS, bidi controls and a paragraph separator.
    ("marks", DEJAVU, "e\u0301a\u0308\u0323 \u202e\u05d0\u05d1\u202c fi\u2029x\u0300", 0),
    # CFF outlines from a collection member.
    ("cff", NOTO_CJK, "\u65e5\u672c\u8a9e \u304b\u306a (\u5b57)", 0),
]


def subset_font(path, text):
    font = TTFont(path, fontNumber=0)
    options = subset.Options()
    options.layout_features = ["*"]
    options.name_IDs = ["*"]
    subsetter = subset.Subsetter(options)
    subsetter.populate(text=text)
    subsetter.subset(font)
    out = io.BytesIO()
    font.save(out)
    return out.getvalue()


def collection(fonts):
    ttc = TTCollection()
    ttc.fonts = [TTFont(io.BytesIO(data)) for data in fonts]
    out = io.BytesIO()
    ttc.save(out)
    return out.getvalue()


def tiny_font(upem=1234, glyphs=77, family="Tiny Test"):
    """The hand-made font of the Python tests: head, maxp and name only."""
    tables = [
        (b"head", b"\0" * 18 + struct.pack(">H", upem) + b"\0" * 34),
        (b"maxp", struct.pack(">IH", 0x5000, glyphs)),
    ]
    raw = family.encode("utf-16-be")
    name = struct.pack(">HHH", 0, 1, 18) + struct.pack(">HHHHHH", 3, 1, 0x409, 1, len(raw), 0) + raw
    tables.append((b"name", name))
    header = b"\x00\x01\x00\x00" + struct.pack(">HHHH", len(tables), 0, 0, 0)
    offset = len(header) + 16 * len(tables)
    records, body = b"", b""
    for tag, data in tables:
        records += tag + struct.pack(">III", 0, offset + len(body), len(data))
        body += data + b"\0" * (-len(data) % 4)
    return header + records + body


def run_input(font_bytes, text, flags, features=()):
    units = text.encode("utf-16-le")
    head = struct.pack("<BB", flags, len(features))
    for tag, value in features:
        head += struct.pack("<IH", tag, value)
    return head + struct.pack("<H", len(units) // 2) + units + font_bytes


def main():
    liga = int.from_bytes(b"liga", "little")
    subsets = {}
    for name, file, text, rtl in SAMPLES:
        data = subset_font(file, text)
        subsets[name] = (data, text)
        (HERE / "seeds" / "font" / f"{name}.ttf").write_bytes(data)
        (HERE / "seeds" / "run" / f"{name}").write_bytes(run_input(data, text, rtl | 2))
        (HERE / "seeds" / "run" / f"{name}_features").write_bytes(run_input(data, text, rtl | 4, [(liga, 0)]))
    both = collection([subsets["latin"][0], subsets["hebrew"][0]])
    (HERE / "seeds" / "font" / "collection.ttc").write_bytes(both)
    (HERE / "seeds" / "run" / "collection").write_bytes(run_input(both, subsets["latin"][1], 2))
    tiny = tiny_font()
    (HERE / "seeds" / "font" / "tiny.ttf").write_bytes(tiny)
    (HERE / "seeds" / "run" / "tiny").write_bytes(run_input(tiny, "abc", 6))
    # A long line of mixed scripts, for the item and glyph buffer sizes.
    mixed = (subsets["arabic"][1] + " " + subsets["latin"][1] + " ") * 12
    (HERE / "seeds" / "run" / "long_mixed").write_bytes(run_input(subsets["arabic"][0], mixed[:1000], 3))


if __name__ == "__main__":
    main()
