"""The HTML reports: the trace of one shaped text (`tesvo.report.trace`) and the comparison
of two sides (`tesvo.report.comparison`).

`model` computes what a page shows, `trace` and `comparison` gather it for their page, and
`draw` what both pages draw alike (glyphs at their positions, the glyphs' definitions);
`outlines` reads the glyphs with fontTools. The markup is in the Jinja2 templates of
`templates/`, each page's style and script are data files beside the modules. fontTools and
Jinja2 are imported by the report modules only, not by this package.
"""
