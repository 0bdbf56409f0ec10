"""The former module of --batch, now tesvo.cli.batch."""

from tesvo.cli.batch import run_batch, shape_jobs, split_lines

__all__ = ["run_batch", "shape_jobs", "split_lines"]
