"""The trace report of tesvo-shape --html: how it regroups the result, what it draws, and the
page opened in a real headless browser.

Set TESVO_REPORT_SCREENSHOT to a path to keep the browser's screenshot of the report there
(that is how docs/report.png is made).
"""

import json
import os
import re
import shutil
import subprocess
import sys
from html.parser import HTMLParser
from pathlib import Path

import pytest

import _tesvo
import tesvo
from tesvo.report.model import Glyph, Item, cluster_spans, visual_item_order

COMMAND = Path(sys.executable).parent / "tesvo-shape"
DEJAVU = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")
NASKH = Path("/usr/share/fonts/truetype/noto/NotoNaskhArabic-Regular.ttf")
MIXED = "Hello, \u0645\u0631\u062d\u0628\u0627 \u0628\u0627\u0644\u0639\u0627\u0644\u0645 123!"
ARABIC = "\u0645\u0631\u062d\u0628\u0627"  # five letters that join
VOWELLED = "\u0628\u0650\u0633\u0652\u0645\u0650 \u0627\u0644\u0644\u0651\u0670\u0647"
DEVANAGARI = Path("/usr/share/fonts/truetype/noto/NotoSansDevanagari-Regular.ttf")
CONJUNCTS = "\u0915\u094d\u0937\u0924\u094d\u0930\u093f\u092f \u0939\u093f\u0928\u094d\u0926\u0940 \u0930\u094d\u0915\u093f"


# ---- the pure parts (no backend needed) ----


@pytest.mark.parametrize(
    "levels, shown",
    [([0, 1, 1, 0], [0, 2, 1, 3]), ([0, 0, 0], [0, 1, 2]), ([2, 2, 1, 1], [3, 2, 0, 1]),
     ([1, 1, 1], [2, 1, 0]),
     # an isolate in a right-to-left paragraph: "abc", Hebrew, a space, "xyz" inside it
     ([1, 2, 3, 2, 2, 1, 1], [6, 5, 1, 2, 3, 4, 0])],
)
def test_items_are_shown_in_screen_order_by_their_levels(levels, shown):
    items = [Item(number=i, start=i, end=i + 1, level=level, rtl=level % 2 == 1) for i, level in enumerate(levels)]
    assert [x.number for x in visual_item_order(items)] == shown


def test_cluster_span_runs_to_the_next_cluster_start_in_any_glyph_order():
    # "a", an astral character (two code units), "b", listed right to left
    assert cluster_spans([Glyph(3, 3), Glyph(2, 1), Glyph(1, 0)], 0, 4) == [(3, 4), (1, 3), (0, 1)]
    assert cluster_spans([Glyph(1, 10), Glyph(2, 10), Glyph(3, 13)], 10, 15) == [
        (10, 13), (10, 13), (13, 15)]


# ---- the report of a real shaping run ----


@pytest.fixture(scope="session")
def bundled_backend():
    saved = os.environ.pop("TESVO_VANTOR", None)
    try:
        _tesvo.shape_json(DEJAVU.read_bytes(), "a")
    except RuntimeError as e:
        if str(e).startswith("dlopen("):
            pytest.skip(f"the bundled backend libvantor cannot be loaded: {e}")
        raise
    finally:
        if saved is not None:
            os.environ["TESVO_VANTOR"] = saved


class Node:
    def __init__(self, tag, attrs, parent):
        self.tag, self.attrs, self.parent, self.children, self.text = tag, dict(attrs), parent, [], ""

    def classes(self):
        return self.attrs.get("class", "").split()

    def find_all(self, tag=None, cls=None):
        for child in self.children:
            if (tag is None or child.tag == tag) and (cls is None or cls in child.classes()):
                yield child
            yield from child.find_all(tag, cls)

    def first(self, tag=None, cls=None):
        return next(self.find_all(tag, cls))


class Tree(HTMLParser):
    """The page as a tree of Nodes; fails on an end tag that closes nothing."""

    def __init__(self, page):
        super().__init__()
        self.root = self.node = Node("#root", {}, None)
        self.feed(page)

    def handle_starttag(self, tag, attrs):
        self.node.children.append(Node(tag, attrs, self.node))
        if tag != "meta":
            self.node = self.node.children[-1]

    def handle_startendtag(self, tag, attrs):
        self.node.children.append(Node(tag, attrs, self.node))

    def handle_endtag(self, tag):
        while self.node.tag != tag:
            self.node = self.node.parent
            assert self.node is not None, f"</{tag}> closes nothing"
        self.node = self.node.parent

    def handle_data(self, data):
        self.node.text += data


def clean_env(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("TESVO_")}
    env["TMPDIR"] = str(tmp_path)
    return env


def make_report(tmp_path, font, text, *extra):
    """Runs tesvo-shape --html; returns (document printed, report path, parsed page)."""
    out = tmp_path / "report.html"
    done = subprocess.run([str(COMMAND), "--html", str(out), *extra, str(font), text],
                          capture_output=True, env=clean_env(tmp_path), timeout=120)
    assert done.returncode == 0, done.stderr.decode()
    assert done.stderr.decode().strip() == f"tesvo-shape: trace report written to {out}"
    doc = json.loads(done.stdout)
    return doc, out, Tree(out.read_text(encoding="utf-8")).root


def labelled_item(m):
    return int(re.search(r"\(item (\d+)\)$", m).group(1))


@pytest.mark.usefixtures("bundled_backend")
class TestReport:
    def test_rows_follow_every_stage_of_the_trace_with_true_clusters(self, tmp_path):
        doc, _, page = make_report(tmp_path, DEJAVU, MIXED)
        assert all(s["m"].startswith("vantor lookup ") for s in doc["stages"])  # --html traces
        # The report's items are the printed document's: shape_json's automatic rule makes
        # this paragraph right to left.
        result = tesvo.Font(DEJAVU).shape(MIXED, direction="rtl", trace=True)
        sections = list(page.find_all("section", "item"))
        assert len(sections) == sum("Uniscribe item" in m for m in doc["messages"])
        assert [int(s.attrs["data-level"]) for s in sections] == [item.level for item in result.items]
        for k, section in enumerate(sections):
            stages = [s for s in result.stages if s.item == k]
            rows = list(section.find_all("tr", "stage"))
            assert [(r.first("th").attrs["title"], r.attrs.get("data-kind")) for r in rows] == [
                (s.name, s.kind) for s in stages]
            for row, stage in zip(rows, stages):
                cells = [(int(c.first("span", "gid").text), int(c.attrs["data-cl"])) for c in row.find_all("div", "g")]
                assert cells == [(g.id, g.cluster) for g in stage.glyphs], stage.name
            assert len(list(section.find_all("tr", "final"))) == 1
        assert any(s.kind == "position" for s in result.stages)

    def test_cells_name_their_glyph_and_the_characters_of_its_cluster(self, tmp_path):
        from fontTools.ttLib import TTFont

        names = TTFont(str(DEJAVU)).getGlyphOrder()
        doc, _, page = make_report(tmp_path, DEJAVU, "Hi")
        cells = list(page.find_all("div", "g"))
        assert len(cells) == 2 * len(list(page.find_all("tr", "stage")))
        data = json.loads(next(n for n in page.find_all("script") if n.attrs.get("id") == "tesvo-data").text)
        assert data["text"] == "Hi"
        assert data["names"][cells[0].first("span", "gid").text] == names[doc["final"][0]["g"]]
        assert (cells[0].attrs["data-cl"], cells[0].attrs["data-ce"]) == ("0", "1")
        assert cells[1].first("span", "ch").text == "i"

    def test_reordering_phases_carry_their_change_and_lookups_only_their_own(self, tmp_path):
        doc, _, page = make_report(tmp_path, DEVANAGARI, CONJUNCTS)
        changed = {r.first("span", "name").text: len(list(r.find_all("div", "changed")))
                   for r in page.find_all("tr", "stage")}
        # the three i-matras move before their consonants, then the reph after its syllable
        assert changed["reordering indic initial"] == 3 and changed["reordering indic final"] == 1
        # the lookup after each phase shows only its own change (which lookups run is HarfBuzz's)
        stages = [(re.match(r"vantor lookup (.+) \(item", e["m"]).group(1), [g["g"] for g in e["glyphs"]])
                  for e in doc["stages"]]
        for phase in ("reordering indic initial", "reordering indic final"):
            at = [name for name, _ in stages].index(phase)
            (after, ids), (_, before) = stages[at + 1], stages[at]
            assert after.startswith("GSUB lookup ")
            assert (changed[after] == 0) == (ids == before), after

    def test_positioning_rows_highlight_the_glyphs_a_lookup_moves(self, tmp_path):
        _, _, page = make_report(tmp_path, NASKH, VOWELLED)
        rows = [r for r in page.first("section", "item").find_all("tr", "stage")
                if r.attrs.get("data-kind") == "position"]
        assert rows[0].first("span", "name").text == "default positions"
        assert not list(rows[0].find_all("div", "changed"))
        mark = next(r for r in rows if r.first("span", "name").text.endswith("'mark'"))
        moved = list(mark.find_all("div", "changed"))
        assert moved and all(c.first("span", "pos").text == "+0" for c in moved)  # marks only
        assert all(c.first("span", "pos").first("b").text.startswith("@") for c in moved)

    def test_items_are_placed_on_the_line_by_their_bidi_levels(self, tmp_path):
        text = "\u05d0\u05d1\u05d2 \u2066abc \u05d3\u05d4\u05d5 xyz\u2069 \u05d6\u05d7\u05d8"
        _, _, page = make_report(tmp_path, DEJAVU, text)
        line = page.first("section", "line").first("div", "lines")
        drawn = [int(g.attrs["data-cl"]) for p in list(line.find_all("svg"))[::-1] for g in p.find_all("g", "pg")]
        abc, xyz = text.index("abc"), text.index("xyz")
        assert drawn.index(abc) < drawn.index(abc + 2) < drawn.index(xyz) < drawn.index(xyz + 2)

    def test_joining_lookups_are_highlighted_and_the_cmap_row_is_not(self, tmp_path):
        doc, _, page = make_report(tmp_path, DEJAVU, ARABIC)
        rows = {r.first("span", "name").text: r for r in page.find_all("tr", "stage")}
        assert not list(rows["cmap"].find_all("div", "changed"))
        joined = [name for name in rows if re.search(r"'(init|medi|fina)'$", name)]
        assert joined, f"no joining lookup in {list(rows)}"
        for name in joined:
            assert list(rows[name].find_all("div", "changed")), f"{name} shows no change"

    def test_right_to_left_runs_read_as_on_screen(self, tmp_path):
        doc, _, page = make_report(tmp_path, DEJAVU, MIXED)
        for section in page.find_all("section", "item"):
            # Stage rows hold their cells in logical order and lay them out in the item's
            # direction, so that a right-to-left row starts (and is scrolled) at its right.
            final_row = list(section.find_all("tr", "stage"))[-1]
            starts = [int(c.attrs["data-cl"]) for c in final_row.find_all("div", "g")]
            rtl = section.attrs["data-rtl"] == "1"
            assert starts == sorted(starts)
            assert final_row.first("div", "run").attrs["dir"] == ("rtl" if rtl else "ltr")
        # The whole line in a right-to-left paragraph: "!" leftmost, "Hello" rightmost; its
        # pieces, when it wraps, come right to left.
        line = page.first("section", "line").first("div", "lines")
        assert line.attrs["dir"] == "rtl"
        drawn = [int(g.attrs["data-cl"]) for p in list(line.find_all("svg"))[::-1] for g in p.find_all("g", "pg")]
        assert drawn[0] == len(MIXED) - 1 and drawn[-5:] == [0, 1, 2, 3, 4]

    def test_marks_are_drawn_over_their_base_letter(self, tmp_path):
        """In the positioned row every mark's ink lies within the advance of a base glyph of
        its own cluster, so a mark offset applied the wrong way shows."""
        from fontTools.pens.boundsPen import BoundsPen
        from fontTools.ttLib import TTFont

        font = TTFont(str(NASKH))
        glyph_set, order = font.getGlyphSet(), font.getGlyphOrder()
        doc, _, page = make_report(tmp_path, NASKH, VOWELLED)
        section = page.first("section", "item")
        drawn = list(section.first("tr", "final").find_all("g", "pg"))
        bands, marks, pen = [], [], 0
        for g, node in zip(doc["final"], drawn):
            use = node.first("use")
            x, y = map(float, re.match(r"translate\(([-\d.]+),([-\d.]+)\)", use.attrs["transform"]).groups())
            if g["ax"]:
                bands.append((g["cl"], pen, pen + g["ax"]))
            else:
                pen_box = BoundsPen(glyph_set)
                glyph_set[order[g["g"]]].draw(pen_box)
                x_min, _, x_max, _ = pen_box.bounds
                marks.append((g["cl"], x + (x_min + x_max) / 2, "moved" in node.classes()))
            assert y == g["dy"]
            pen += g["ax"]
        assert len(marks) >= 4
        for cl, middle, moved in marks:
            assert moved
            assert any(c == cl and lo <= middle <= hi for c, lo, hi in bands), (cl, middle, bands)

    def test_a_long_line_wraps_from_where_it_starts_and_long_items_start_closed(self, tmp_path):
        text = " ".join([VOWELLED] * 40)
        doc, _, page = make_report(tmp_path, NASKH, text)
        line = page.first("section", "line").first("div", "lines")
        assert line.attrs["dir"] == "rtl"
        pieces = list(line.find_all("svg"))
        assert len(pieces) > 3
        assert all(float(p.attrs["width"]) <= 1000 for p in pieces)
        # Every glyph drawn once; the first piece, the rightmost, holds the text's start,
        # and pieces end after a space, as text wraps.
        drawn = [[int(g.attrs["data-cl"]) for g in p.find_all("g", "pg")] for p in pieces]
        assert sorted(sum(drawn, [])) == sorted(g["cl"] for g in doc["final"])
        assert 0 in drawn[0] and max(drawn[0]) < min(drawn[1])
        assert all(text[min(d) - 1] == " " for d in drawn[1:])
        rows = list(page.find_all("tr", "stage"))
        assert rows and all("closed" in r.classes() for r in rows)
        unchanged = [r for r in rows if "unchanged" in r.classes()]
        assert unchanged and all(not list(r.find_all("div", "changed")) for r in unchanged)

    def test_lookup_names_come_from_the_fonts_debg_table(self, tmp_path):
        from fontTools.feaLib.builder import addOpenTypeFeaturesFromString
        from fontTools.ttLib import TTFont

        font = TTFont(str(DEJAVU))
        addOpenTypeFeaturesFromString(
            font, "lookup FiLigature { sub f i by fi; } FiLigature; feature liga { lookup FiLigature; } liga;",
            tables={"GSUB"}, debug=True)
        path = tmp_path / "debg.ttf"
        font.save(str(path))
        _, _, page = make_report(tmp_path, path, "fit")
        names = [r.first("span", "name").text for r in page.find_all("tr", "stage")]
        assert "GSUB lookup 0 'liga' \u00b7 FiLigature" in names

    def test_report_loads_nothing_from_outside(self, tmp_path):
        _, out, page = make_report(tmp_path, DEJAVU, MIXED)
        text = out.read_text(encoding="utf-8")
        for outside in ("http:", "https:", "//", "src=", "url(", "@import", "<link"):
            assert outside not in text.replace("</", "<").replace("// ", ""), outside
        defined = {n.attrs["id"] for tag in ("path", "symbol") for n in page.find_all(tag) if "id" in n.attrs}
        used = {n.attrs["href"] for n in page.find_all("use")}
        assert used and all(h.startswith("#") and h[1:] in defined for h in used)

    def test_a_font_without_outlines_draws_boxes_with_glyph_ids(self, tmp_path):
        emoji = Path("/usr/share/fonts/truetype/noto/NotoColorEmoji.ttf")
        doc, _, page = make_report(tmp_path, emoji, "\U0001F600 ok")
        boxes = {n.attrs["id"]: n for n in page.find_all("g", "box")}
        for glyph in doc["final"]:
            assert boxes[f"g{glyph['g']}"].first("text").text == str(glyph["g"])


# ---- in a real browser ----


@pytest.fixture(scope="session")
def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        found = shutil.which(name)
        if found:
            return found
    pytest.skip("no headless Chromium found (Debian: apt-get install -y chromium)")


def browse(chromium, tmp_path, page, *args):
    profile = tmp_path / "profile"
    done = subprocess.run(
        [chromium, "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={profile}",
         "--no-first-run", "--hide-scrollbars", "--enable-logging=stderr", "--v=0", *args,
         page.as_uri()],
        capture_output=True, timeout=180,
    )
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-2000:]
    return done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")


def console_errors(log):
    return [line for line in log.splitlines()
            if "CONSOLE" in line and re.search(r"Uncaught|Error", line)]


@pytest.mark.usefixtures("bundled_backend")
def test_in_a_browser_the_script_runs_cleanly_over_every_stage_row(chromium, tmp_path):
    doc, out, _ = make_report(tmp_path, DEJAVU, MIXED)
    dom, log = browse(chromium, tmp_path, out, "--dump-dom")
    assert console_errors(log) == []
    assert 'data-tesvo-report="ready"' in dom, "the page's script did not finish"
    # one row per traced stage, several for each Arabic item
    stages = tesvo.Font(DEJAVU).shape(MIXED, direction="rtl", trace=True).stages
    assert re.search(r'data-stage-rows="(\d+)"', dom).group(1) == str(len(stages))
    assert len(stages) > 2 * sum("Uniscribe item" in m for m in doc["messages"])

    shot = tmp_path / "report.png"
    _, log = browse(chromium, tmp_path, out, f"--screenshot={shot}", "--window-size=1100,1700")
    assert console_errors(log) == []
    data = shot.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    assert (int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")) == (1100, 1700)
    assert len(data) > 20_000, "the screenshot looks blank"
    if os.environ.get("TESVO_REPORT_SCREENSHOT"):
        shutil.copyfile(shot, os.environ["TESVO_REPORT_SCREENSHOT"])


@pytest.mark.usefixtures("bundled_backend")
def test_a_text_cannot_switch_the_pages_script_off(chromium, tmp_path):
    _, out, _ = make_report(tmp_path, DEJAVU, "a<!--<script>b</script>")
    dom, log = browse(chromium, tmp_path, out, "--dump-dom")
    assert 'data-tesvo-report="ready"' in dom, "the page's script did not run"
