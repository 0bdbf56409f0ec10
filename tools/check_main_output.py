"""Checks what the main command printed: one shaping result with glyphs, and its report.

Usage: check_main_output.py STDOUT_FILE REPORT_HTML   (exit 1 with a reason otherwise)
"""
import json
import sys
from pathlib import Path


def main() -> int:
    printed, report = Path(sys.argv[1]), Path(sys.argv[2])
    try:
        doc = json.loads(printed.read_text(encoding="utf-8"))
    except ValueError as e:
        print(f"main command printed no JSON result: {e}", file=sys.stderr)
        return 1
    if not doc.get("final"):
        print("main command printed a result without glyphs", file=sys.stderr)
        return 1
    if not report.is_file() or "<svg" not in report.read_text(encoding="utf-8"):
        print(f"main command wrote no report at {report}", file=sys.stderr)
        return 1
    print(f"main command: {len(doc['final'])} glyphs, {len(doc['stages'])} stages, report {report}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
