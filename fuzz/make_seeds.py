"""Builds the seed inputs of the font and run fuzz targets from small subsets
of Debian's Noto and DejaVu fonts and from the hand-made fonts of the tests
(needs fontTools):

    python3 fuzz/make_seeds.py
    python3 fuzz/make_seeds.py --hostile ../shared/fonts/hostile

With --hostile it adds, as run seeds named hostile-*, the fonts of that corpus
(HarfBuzz's fuzzing regressions) that the backend takes (an sfnt whose first
face has glyphs) and that fit the target's largest input, each traced and
shaped twice, with the text HarfBuzz's shaping fuzzer took from the file where
it reads as one. Those fonts come from HarfBuzz's test/fuzzing/fonts, under
HarfBuzz's licence: fuzz/hostile-seeds-COPYING.
"""
import argparse
import io
import pathlib
import struct

from fontTools import subset
from fontTools.ttLib import TTCollection, TTFont

HERE = pathlib.Path(__file__).resolve().parent
NOTO = pathlib.Path("/usr/share/fonts/truetype/noto")
NOTO_CJK = pathlib.Path("/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc")
DEJAVU = pathlib.Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")
# A CFF font that is not CID-keyed, whose charset names its glyphs (fonts-cantarell).
CANTARELL = pathlib.Path("/usr/share/fonts/opentype/cantarell/Cantarell-Regular.otf")
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


def first_face_glyphs(data):
    """maxp's glyph count of the first face of an sfnt or collection, 0 if unreadable."""
    start = 0
    if data[:4] == b"ttcf" and len(data) >= 16:
        start = struct.unpack(">I", data[12:16])[0]
    if len(data) < start + 12:
        return 0
    tables = struct.unpack(">H", data[start + 4 : start + 6])[0]
    for i in range(tables):
        record = data[start + 12 + 16 * i : start + 28 + 16 * i]
        if len(record) == 16 and record[:4] == b"maxp":
            offset = struct.unpack(">I", record[8:12])[0]
            count = data[offset + 4 : offset + 6]
            return struct.unpack(">H", count)[0] if len(count) == 2 else 0
    return 0


def fuzzer_text(data):
    """The last 64 bytes as 16 little-endian UTF-32 code points, when all are scalar values."""
    points = [int.from_bytes(data[i : i + 4], "little") for i in range(len(data) - 64, len(data), 4)]
    if len(data) < 64 or any(p > 0x10FFFF or 0xD800 <= p <= 0xDFFF for p in points):
        return None
    return "".join(map(chr, points))


def hostile_seeds(corpus, largest=65536):
    default = "لا مرحبا office क्षि"
    written = 0
    for path in sorted(pathlib.Path(corpus).iterdir()):
        data = path.read_bytes() if path.is_file() else b""
        text = fuzzer_text(data) or default
        seed = run_input(data, text, 6)
        if first_face_glyphs(data) == 0 or len(seed) > largest:
            continue
        name = "hostile-" + "".join(c if c.isalnum() or c in "-_." else "_" for c in path.name)
        (HERE / "seeds" / "run" / name).write_bytes(seed)
        written += 1
    print(f"{written} hostile seeds written")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--hostile", type=pathlib.Path, help="also add this corpus of hostile fonts")
    args = parser.parse_args()
    if args.hostile:
        hostile_seeds(args.hostile)
        return
    liga = int.from_bytes(b"liga", "little")
    (HERE / "seeds" / "font" / "cff_names.otf").write_bytes(subset_font(CANTARELL, "Wave fi 12"))
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
