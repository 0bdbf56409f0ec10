"""The HTML reports: the trace of one shaped text (`tesvo.report.trace`) and the comparison
of two sides (`tesvo.report.comparison`).

`model` computes what a page shows, `draw` holds what both pages draw alike (escaping,
glyphs at their positions, the page around them), `outlines` reads the glyphs with fontTools;
each page's style and script are data files beside them. fontTools is imported by the
report modules only, not by this package.
"""
