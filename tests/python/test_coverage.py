"""tesvo coverage: which lookups texts reach, the texts made to reach the others, the command."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from tesvo.coverage import coverage, generate_texts

NOTO = Path("/usr/share/fonts/truetype/noto")
SANS = NOTO / "NotoSans-Regular.ttf"
NASKH = NOTO / "NotoNaskhArabic-Regular.ttf"
COMMAND = Path(sys.executable).parent / "tesvo"


def by_key(found):
    return {(lk.table, lk.number): lk for lk in found.lookups}


def test_lines_are_counted_per_lookup_and_subtable_and_the_unreached_say_why():
    found = by_key(coverage(SANS, ["AV", "office", "Wave"]))
    kern, liga = found[("GPOS", 2)], found[("GSUB", 38)]
    # "AV" and "Wa" kern by class (subtable 1); "office" makes f_f_i
    assert (kern.lines, kern.subtables) == (2, (0, 2)) and liga.lines == 1 and liga.ran_only == 0
    assert (found[("GSUB", 36)].why, found[("GSUB", 4)].why) == ("not run", "nested")
    assert found[("GSUB", 4)].called_by == (3,) and all(lk.reason is None for lk in found.values() if lk.reached)


@pytest.mark.parametrize("font, reaches, why", [
    (SANS, "AV", {("GSUB", 36): "on request", ("GSUB", 8): "other language"}),
    (NASKH, "\u0644\u0644\u06c1", {("GSUB", 20): "other language"}),
])
def test_generated_texts_reach_what_the_corpus_missed_the_same_every_time(font, reaches, why):
    found = coverage(font, corpus="latin" if font == SANS else "arabic", generate=True)
    assert reaches in found.generated and found.reached() > found.reached(generated=False)
    assert {key: by_key(found)[key].why for key in why} == why
    assert generate_texts(font) == found.generated


def test_the_command_writes_json_and_the_texts_and_refuses_texts_without_generate(tmp_path):
    kept = tmp_path / "reach.txt"
    done = subprocess.run([str(COMMAND), "coverage", str(NASKH), "--generate", "--write-texts", str(kept), "--json"],
                          capture_output=True, timeout=300)
    doc = json.loads(done.stdout)
    assert done.returncode == 0 and doc["schema"] == "tesvo-coverage", done.stderr
    assert doc["generated_lines"] == len(kept.read_text(encoding="utf-8").splitlines()) > 0
    done = subprocess.run([str(COMMAND), "coverage", str(NASKH), "--write-texts", str(kept)], capture_output=True)
    assert done.returncode == 2 and done.stderr.decode().count("\n") == 1
