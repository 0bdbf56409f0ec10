"""The former module of the reports' glyph drawing, now tesvo.report.outlines."""

from tesvo.report.outlines import FontArt

__all__ = ["FontArt"]
