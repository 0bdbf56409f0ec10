"""The former module of the trace report's view model, now tesvo.report.model."""

from tesvo.report.model import Glyph, Item, Stage, cluster_spans, regroup, visual_item_order

__all__ = ["Glyph", "Item", "Stage", "cluster_spans", "regroup", "visual_item_order"]
