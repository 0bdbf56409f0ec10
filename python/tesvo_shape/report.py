"""The former module of the trace report, now tesvo.report.trace."""

from tesvo.report.trace import render_report

__all__ = ["render_report"]
