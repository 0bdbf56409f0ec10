"""The former module of `tesvo compare`, now tesvo.cli.compare."""

from tesvo.cli.compare import build_parser, run

__all__ = ["build_parser", "run"]
