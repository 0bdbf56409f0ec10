"""python -m tesvo_shape: the same as the tesvo-shape command."""

import sys

from tesvo.cli import main

if __name__ == "__main__":
    sys.exit(main())
