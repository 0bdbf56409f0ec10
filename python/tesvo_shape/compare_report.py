"""The former module of the comparison report, now tesvo.report.comparison."""

from tesvo.report.comparison import render_comparison

__all__ = ["render_comparison"]
