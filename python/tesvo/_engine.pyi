"""The engine beneath the tesvo package: a held font, structured results."""

import sys
from typing import Any, Final, final

from _typeshed import structseq

@final
class Glyph(structseq[int], tuple[int, int, int, int, int, int, int, int]):
    """A positioned glyph; all values in font units."""

    if sys.version_info >= (3, 10):
        __match_args__: Final = ("id", "cluster", "advance", "du", "dv", "x_offset", "y_offset", "item")
    @property
    def id(self) -> int: ...
    @property
    def cluster(self) -> int: ...
    @property
    def advance(self) -> int: ...
    @property
    def du(self) -> int: ...
    @property
    def dv(self) -> int: ...
    @property
    def x_offset(self) -> int: ...
    @property
    def y_offset(self) -> int: ...
    @property
    def item(self) -> int: ...

@final
class Item(structseq[int | bool | str], tuple[int, int, int, bool, str, int]):
    """A run of one script and one bidi level."""

    if sys.version_info >= (3, 10):
        __match_args__: Final = ("start", "end", "level", "rtl", "script_tag", "script")
    @property
    def start(self) -> int: ...
    @property
    def end(self) -> int: ...
    @property
    def level(self) -> int: ...
    @property
    def rtl(self) -> bool: ...
    @property
    def script_tag(self) -> str: ...
    @property
    def script(self) -> int: ...

_Stage = tuple[int, str, tuple[int, ...]]
_Shaped = tuple[tuple[Item, ...], tuple[Glyph, ...], tuple[_Stage, ...]]

def open(data: bytes, index: int, backend: str | None, /) -> tuple[object, int, int, str, str]: ...
def shape(session: object, texts: list[Any], direction: str, features: str, script: str, language: str,
          trace: bool, /) -> list[_Shaped | str]: ...
def document(session: object, texts: list[Any], direction: str, features: str, script: str, language: str,
             trace: bool, path: str | None, compact: bool, /) -> list[tuple[bool, str]]: ...
