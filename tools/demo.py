"""Shape the built-in default text with the built-in default font and print the result."""
import sys

import _tesvo

FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
TEXT = "Hello, \u0645\u0631\u062d\u0628\u0627 \u0628\u0627\u0644\u0639\u0627\u0644\u0645 123!"


def main() -> int:
    with open(FONT, "rb") as f:
        font = f.read()
    try:
        print(_tesvo.shape_json(font, TEXT, trace=True))
    except RuntimeError as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
