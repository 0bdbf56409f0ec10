"""python -m tesvo: the tesvo command."""

import sys

from tesvo.cli import main

if __name__ == "__main__":
    sys.exit(main())
