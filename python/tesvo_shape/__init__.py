"""tesvo_shape: the former name of the command line, kept so that its imports, the
`tesvo-shape` command and `python -m tesvo_shape` go on working. Everything lives in the
`tesvo` package now: the command in `tesvo.cli`, the reports in `tesvo.report`.

`main` is imported when first asked for, so that `tesvo_shape.entry`, the commands' entry
point, runs before the tesvo package is imported."""

from typing import Any

__all__ = ["main"]


def __getattr__(name: str) -> Any:
    if name == "main":
        from tesvo.cli import main

        return main
    raise AttributeError(f"module 'tesvo_shape' has no attribute {name!r}")
