"""Builds the seed inputs of the font and run fuzz targets from small subsets
of Debian's Noto fonts (needs fontTools):

    python3 fuzz/make_seeds.py
"""
import pathlib
import struct

from fontTools import subset
from fontTools.ttLib import TTFont

HERE = pathlib.Path(__file__).resolve().parent
NOTO = pathlib.Path("/usr/share/fonts/truetype/noto")
SAMPLES = [
    ("latin", "NotoSans-Regular.ttf", "AVATAR Wave fi ffl 123", 0),
    ("arabic", "NotoNaskhArabic-Regular.ttf", "\u0644\u0627 \u0645\u0631\u062d\u0628\u0627 \u0628\u0643\u0645", 1),
    ("devanagari", "NotoSansDevanagari-Regular.ttf", "\u0915\u094d\u0937\u093f \u0928\u092e\u0938\u094d\u0924\u0947", 0),
    ("hebrew", "NotoSansHebrew-Regular.ttf", "\u05e9\u05c1\u05b8\u05dc\u05d5\u05b9\u05dd abc", 1),
]


def subset_font(path, text):
    font = TTFont(path)
    options = subset.Options()
    options.layout_features = ["*"]
    options.name_IDs = ["*"]
    subsetter = subset.Subsetter(options)
    subsetter.populate(text=text)
    subsetter.subset(font)
    out = HERE / "build.tmp"
    font.save(out)
    data = out.read_bytes()
    out.unlink()
    return data


def run_input(font_bytes, text, flags, features=()):
    units = text.encode("utf-16-le")
    head = struct.pack("<BB", flags, len(features))
    for tag, value in features:
        head += struct.pack("<IH", tag, value)
    return head + struct.pack("<H", len(units) // 2) + units + font_bytes


def main():
    for name, file, text, rtl in SAMPLES:
        data = subset_font(NOTO / file, text)
        (HERE / "seeds" / "font" / f"{name}.ttf").write_bytes(data)
        (HERE / "seeds" / "run" / f"{name}").write_bytes(run_input(data, text, rtl | 2))
        liga = int.from_bytes(b"liga", "little")
        (HERE / "seeds" / "run" / f"{name}_features").write_bytes(run_input(data, text, rtl, [(liga, 0)]))


if __name__ == "__main__":
    main()
