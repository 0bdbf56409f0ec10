"""Median of several runs of the suite: reads the files written with `--json` and prints
a Markdown table, one line per figure, with the median and the range over the runs.

    python bench/summarize.py run1.json run2.json run3.json
"""
from __future__ import annotations

import json
import statistics
import sys


def main() -> int:
    runs = [json.load(open(path)) for path in sys.argv[1:]]
    if not runs:
        print(__doc__)
        return 2
    order: list[tuple[str, str]] = []
    values: dict[tuple[str, str], list[float]] = {}
    info: dict[tuple[str, str], dict] = {}
    for run in runs:
        for fig in run:
            key = (fig["section"], fig["name"])
            if key not in values:
                order.append(key)
                values[key] = []
            values[key].append(fig["value"])
            info[key] = fig
    print(f"| figure | median of {len(runs)} runs | range | target | result | last run |")
    print("|---|---|---|---|---|---|")
    for key in order:
        v = values[key]
        fig = info[key]
        median = statistics.median(v)
        target = fig["target"]
        result = "-"
        if fig["ok"] is not None:
            result = "met" if judge(target, median) else "**missed**"
        print(f"| {key[1]} | {median:.2f} | {min(v):.2f} .. {max(v):.2f} | {target} | {result} | {fig['detail']} |")
    return 0


def judge(target: str, value: float) -> bool:
    """The target applied to the median."""
    if target.startswith("<="):
        return value <= float(target[2:])
    if target.startswith(">="):
        return value >= float(target[2:])
    if ".." in target:
        low, high = (float(x) for x in target.split(".."))
        return low <= value <= high
    if target.startswith("about 2"):
        return value >= 1.7
    raise ValueError(target)


if __name__ == "__main__":
    sys.exit(main())
