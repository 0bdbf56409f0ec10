"""tesvo-shape: the command line and the trace report for the `_tesvo` shaping module.

`tesvo-shape FONT TEXT` prints `_tesvo.shape_json`'s JSON; `--html` draws a trace report,
`--batch` shapes a file line by line. See `tesvo-shape --help`.
"""

from .cli import main

__all__ = ["main"]
