"""The static pages the workbench links to, for the settings it shows: the trace report of
one served font, and the comparison report of the first two fonts (or of the first font
against HarfBuzz), as `tesvo shape --html` and `tesvo compare --html --trace` write them."""

from __future__ import annotations

import shlex
from collections.abc import Sequence

from tesvo.compare import Comparison, Side, Summary
from tesvo.fontfile import FontFile
from tesvo.serve.fonts import ServedFont
from tesvo.serve.shaping import Settings


def _features(s: Settings) -> str:
    return ",".join(f"{'' if on else '-'}{tag}" for tag, on in s.features.items())


def _variations(s: Settings, served: ServedFont, face: int) -> str:
    """The location, on the axes this font has (the sliders are shared by every font)."""
    axes = {a.tag for a in served.font(face).axes}
    return ",".join(f"{tag}={value:g}" for tag, value in s.location.items() if tag in axes)


def command(kind: str, fonts: Sequence[ServedFont], s: Settings, font: int = 0) -> str:
    """The command line that writes the same page."""
    words = ["tesvo"]
    variations = _variations(s, fonts[font], s.faces[font])
    if kind == "compare":
        words += ["compare", "--trace", "--html", "compare.html"]
        words += [fonts[0].path, fonts[1].path] if len(fonts) > 1 else ["--engine", "harfbuzz", fonts[0].path]
    else:
        words += ["shape", "--trace", "--html", "report.html", fonts[font].path]
    for option, value in (("--direction", s.direction if s.direction != "auto" else ""),
                          ("--features", _features(s)), ("--script", s.script or ""),
                          ("--language", s.language or ""), ("--variations", variations),
                          ("--index", str(s.faces[font]) if s.faces[font] else ""),
                          ("--variations2", _variations(s, fonts[1], s.faces[1]) if kind == "compare" and len(fonts) > 1
                           else "")):
        if value:
            words.append(f"{option}={value}")
    words.append(s.text)
    return shlex.join(words)


def render(kind: str, fonts: Sequence[ServedFont], s: Settings, font: int = 0) -> str:
    """The page of `kind` ("trace" or "compare") for the settings."""
    if kind == "compare":
        return _comparison(fonts, s)
    if kind != "trace":
        raise ValueError(f"no report {kind!r}: trace or compare")
    from tesvo.report.trace import render_report

    served = fonts[font]
    shaped = served.font(s.faces[font])
    result = shaped.shape(s.text, direction=s.direction, features=s.features, script=s.script, language=s.language,
                          trace=True, variations=_variations(s, served, s.faces[font]) or None)
    direction = s.direction
    if s.direction == "auto":
        direction = "rtl" if result.items and result.items[0].rtl else "ltr"
    return render_report(result, served.build.data, font_label=served.path, index=s.faces[font],
                         paragraph_rtl=direction == "rtl", options=[("command", command("trace", fonts, s, font))])


def _comparison(fonts: Sequence[ServedFont], s: Settings) -> str:
    from tesvo.report.comparison import render_comparison

    files = {f.path: FontFile(f.path, f.build.data) for f in fonts[:2]}
    left = Side(fonts[0].path, s.faces[0], variations=_variations(s, fonts[0], s.faces[0]) or None)
    right = (Side(fonts[1].path, s.faces[1], variations=_variations(s, fonts[1], s.faces[1]) or None) if len(fonts) > 1
             else Side(fonts[0].path, s.faces[0], engine="harfbuzz", variations=left.variations))
    comparison = Comparison(left, right, direction=s.direction, features=s.features, script=s.script,
                            language=s.language, files=files, harfbuzz_runs="line", trace=True)
    lines = list(comparison.lines([s.text], trace=True))
    summary = Summary()
    for line in lines:
        summary.add(line)
    options = {"direction": s.direction, "features": _features(s) or None, "script": s.script,
               "language": s.language, "command": command("compare", fonts, s)}
    return render_comparison(comparison, [line for line in lines if not line.same], summary, options, cap=1,
                             trace=True)
