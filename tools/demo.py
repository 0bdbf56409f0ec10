"""Shape the built-in default text with the built-in default font through the tesvo-shape
command: it prints the JSON result, writes the trace report and says where it is.

Usage: demo.py [REPORT.html]   (default: build/demo-report.html in the repository)
"""
import subprocess
import sys
from pathlib import Path

FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
TEXT = "Hello, \u0645\u0631\u062d\u0628\u0627 \u0628\u0627\u0644\u0639\u0627\u0644\u0645 123!"
REPORT = Path(__file__).resolve().parent.parent / "build" / "demo-report.html"


def command() -> list[str]:
    """The installed tesvo-shape beside this interpreter, else the package run as a module."""
    script = Path(sys.executable).parent / "tesvo-shape"
    return [str(script)] if script.is_file() else [sys.executable, "-m", "tesvo_shape"]


def main() -> int:
    report = Path(sys.argv[1]).resolve() if len(sys.argv) > 1 else REPORT
    report.parent.mkdir(parents=True, exist_ok=True)
    return subprocess.call(command() + ["--trace", "--html", str(report), FONT, TEXT])


if __name__ == "__main__":
    sys.exit(main())
