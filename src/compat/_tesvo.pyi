"""Shape a text with an OpenType font through a Uniscribe OpenType backend; JSON result."""

__all__ = ["shape_json", "__version__"]

__version__: str

def shape_json(
    data: bytes,
    text: str,
    *,
    script: str = "",
    language: str = "",
    direction: str = "auto",
    features: str | None = None,
    usp10: str | None = None,
    trace: bool = False,
    wine_bytes: bool = False,
    textshaping: bool = False,
) -> str:
    """Shape `text` with the font bytes `data` and return the result document as JSON text.

    Raises RuntimeError with the engine's message when shaping fails, and TypeError for an
    argument of the wrong type. `trace`, `wine_bytes` and `textshaping` also accept numpy's
    boolean scalar.
    """
