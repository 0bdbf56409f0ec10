"""tesvo coverage: which lookups texts reach, the texts made to reach the others, the command."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from tesvo.coverage import coverage, generate_texts
from tesvo.coverage.sources import in_text_order

NOTO = Path("/usr/share/fonts/truetype/noto")
SANS = NOTO / "NotoSans-Regular.ttf"
NASKH = NOTO / "NotoNaskhArabic-Regular.ttf"
DEVA = NOTO / "NotoSansDevanagari-Regular.ttf"
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


@pytest.mark.parametrize("font, language, unreachable", [
    # 54 is called only by a rule of a glyph the Marathi locl makes
    (DEVA, None, {("GSUB", 54)}),
    (DEVA, "MAR", set()),
    # 6 and 7: their glyphs only lookup 10 makes, at its own input; 15, 17: taken by 14, 16
    (NASKH, None, {("GSUB", 6), ("GSUB", 7), ("GSUB", 15), ("GSUB", 17)}),
])
def test_generated_texts_reach_nine_in_ten_of_the_lookups_in_reach(font, language, unreachable):
    found = coverage(font, generate=True, language=language)
    summary = found.to_dict()["summary"]
    assert summary["percent_reached"] >= 90 and summary["reachable"] == sum(lk.reachable for lk in found.lookups)
    assert {lk.key for lk in found.lookups if lk.why == "unreachable"} == unreachable
    assert all(lk.reachable for lk in found.lookups if lk.reached)
    assert f"reached {found.reached()} of them ({found.percent()} %)" in found.to_text()


@pytest.mark.parametrize("glyph_order, moves, text", [
    # a pre-base matra goes after the cluster it stands before (through a half form and ZWJ)
    (("\u093f", "\u0917\u094d", "\u200d", "\u0915"), {"\u093f": -1}, "\u0917\u094d\u200d\u0915\u093f"),
    # a reph before the cluster it stands after, the matra after both
    (("\u093f", "\u0915", "\u0930\u094d", "\u0902"), {"\u093f": -1, "\u0930\u094d": 1},
     "\u0930\u094d\u0915\u093f\u0902"),
    (("\u0627", "\u0644"), {}, "\u0627\u0644"),
])
def test_a_rules_glyphs_are_written_in_the_order_the_shaper_reads_them(glyph_order, moves, text):
    assert in_text_order(glyph_order, moves) == text
