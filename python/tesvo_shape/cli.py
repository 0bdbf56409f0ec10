"""The former module of the command: main and the shape parser, from tesvo.cli."""

from tesvo.cli import main
from tesvo.cli.shape import build_parser

__all__ = ["main", "build_parser"]
