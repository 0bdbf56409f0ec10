"""tesvo_shape: the former name of the command line, kept so that its imports, the
`tesvo-shape` command and `python -m tesvo_shape` go on working. Everything lives in the
`tesvo` package now: the command in `tesvo.cli`, the reports in `tesvo.report`."""

from tesvo.cli import main

__all__ = ["main"]
