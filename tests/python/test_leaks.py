"""A short run of tools/leak_bench.py in a fresh interpreter: after warm-up, thousands of
calls of every outcome leave resident memory and the interpreter's allocations flat, no
temporary file and no script cache. The bounds are generous: a leaked result text, result
document or font copy per call is far above them (tools/leak_bench.py runs the long count)."""

import json
import os
import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parents[2] / "tools" / "leak_bench.py"


def test_memory_flat_over_thousands_of_calls(backends_dir):
    env = dict(os.environ, TESVO_TEST_BACKENDS_DIR=str(backends_dir))
    for name in [k for k in env if k.startswith("TESVO_") and k != "TESVO_TEST_BACKENDS_DIR"]:
        del env[name]
    proc = subprocess.run([sys.executable, str(BENCH), "--calls", "4000", "--warmup", "1000",
                           "--every", "500", "--json"], env=env, capture_output=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")[-2000:]
    figures = json.loads(proc.stdout)
    assert figures["outcomes"]["text"] > 0 and figures["outcomes"]["error"] > 0
    assert figures["outcomes"]["panic"] > 0
    # A str left behind per call alone would add 1,000 blocks per 1,000 calls.
    assert figures["blocks_growth_per_1000"] < 20, figures
    # A result document of the smallest request kept per call would add megabytes.
    assert figures["rss_growth_kib_per_1000"] < 1024, figures
    assert figures["rss_max_mib"] - figures["rss_first_mib"] < 16, figures
    assert figures["left_in_tmpdir"] == []
    assert figures["live_caches"] == 0
