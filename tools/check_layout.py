#!/usr/bin/env python3
"""Checks the source tree against the rules of docs/architecture.md: who may include whom,
which units may include Python.h, and the size of files and folders. Run by CTest
(layout_rules); prints each breach and exits 1 when there is one.

    python3 tools/check_layout.py [ROOT]
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

# Each folder of src/ (and vantor/) with the folders (or single headers) its files may include
# from. The order is the order data flows in: nothing includes a folder after its own, except
# that the records of the Uniscribe ABI (abi/usp10.h) come before everything.
MAY_INCLUDE: dict[str, set[str]] = {
    "base": set(),
    "abi": {"base", "text"},
    "text": {"base", "abi/usp10.h"},
    "font": {"base", "text"},
    "json": {"base", "text"},
    "document": {"base", "json"},
    "trace": {"base", "abi", "text", "json", "document"},
    "shape": {"base", "abi", "text", "font", "json", "document", "trace"},
    "output": {"base", "abi", "text", "font", "json", "shape"},
    "cpython": {"base"},
    "compat": {"base", "abi", "text", "json", "shape", "cpython"},
    "python": {"base", "abi", "text", "font", "json", "shape", "output", "cpython"},
    "vantor": {"abi/usp10.h"},
}
# Only the Python surfaces and their shared helpers talk to the interpreter.
PYTHON_H = {"cpython", "compat", "python"}
MAX_LINES = 600
MAX_FILES = 16
GENERATED = {"src/text/unicode_tables.cpp", "src/font/glyph_name_tables.cpp"}
SOURCE = {".h", ".cpp"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def unit_of(path: Path, root: Path) -> str:
    rel = path.relative_to(root).parts
    return rel[0] if rel[0] == "vantor" else rel[1]


def breaches(root: Path) -> list[str]:
    out: list[str] = []
    files = sorted(p for d in ("src", "vantor") for p in (root / d).rglob("*") if p.suffix in SOURCE)
    folders: dict[Path, int] = {}
    for path in files:
        rel = path.relative_to(root).as_posix()
        unit = unit_of(path, root)
        if unit not in MAY_INCLUDE:
            out.append(f"{rel}: folder {unit!r} has no rule in tools/check_layout.py (docs/architecture.md)")
            continue
        folders[path.parent] = folders.get(path.parent, 0) + 1
        text = path.read_text(encoding="utf-8")
        if rel not in GENERATED and text.count("\n") > MAX_LINES:
            out.append(f"{rel}: {text.count(chr(10))} lines, more than {MAX_LINES}")
        for kind, name in INCLUDE.findall(text):
            if kind == "<":
                if name == "Python.h" and unit not in PYTHON_H:
                    out.append(f"{rel}: includes Python.h; only {sorted(PYTHON_H)} may")
                continue
            if unit == "vantor" and "/" not in name:
                continue  # the backend's own headers
            target = name.split("/")[0]
            if target == unit or name in MAY_INCLUDE[unit]:
                continue
            if target not in MAY_INCLUDE[unit]:
                out.append(f"{rel}: includes {name!r}; {unit}/ may include only {sorted(MAY_INCLUDE[unit])}")
    for folder, count in sorted(folders.items()):
        if count > MAX_FILES:
            out.append(f"{folder.relative_to(root).as_posix()}/: {count} source files, more than {MAX_FILES}")
    return out


def main() -> int:
    root = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent)
    found = breaches(root)
    for line in found:
        print(line)
    print(f"layout: {len(found)} breaches")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
