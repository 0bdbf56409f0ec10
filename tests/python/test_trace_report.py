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


def page_data(page):
    return json.loads(next(n for n in page.find_all("script") if n.attrs.get("id") == "tesvo-data").text)


def stage_cells(page):
    """What the page's script draws in each stage row, read from its data block: per item a
    list of stages, each a list of cells (id, cluster start and end, changed, +advance@x,y or
    None), a stage that changed nothing holding the cells before it without highlights."""
    items = []
    for item in page_data(page)["items"]:
        stages, before = [], None
        for record in item["stages"]:
            if record.get("same"):
                record = {**before, "x": [], "a": [], "o": []}
            before = record
            spans = cluster_spans([Glyph(g, c) for g, c in zip(record["g"], record["c"])], item["start"], item["end"])
            cells = []
            for k, (gid, span) in enumerate(zip(record["g"], spans)):
                pos = None
                if "p" in record:
                    ax, dx, dy = record["p"][3 * k:3 * k + 3]
                    pos = (ax, dx, dy, k in record["a"], k in record["o"])
                cells.append((gid, *(span or (None, None)), k in record["x"], pos))
            stages.append(cells)
        items.append(stages)
    return items


@pytest.mark.usefixtures("bundled_backend")
class TestReport:
    def test_rows_follow_every_stage_of_the_trace_with_true_clusters(self, tmp_path):
        doc, _, page = make_report(tmp_path, DEJAVU, MIXED)
        # The report is traced on its own: standard output is the untraced document.
        plain = subprocess.run([str(COMMAND), str(DEJAVU), MIXED], capture_output=True, env=clean_env(tmp_path))
        assert doc == json.loads(plain.stdout) and not any(s["m"].startswith("vantor lookup ") for s in doc["stages"])
        # The report's items are the printed document's: shape_json's automatic rule makes
        # this paragraph right to left.
        result = tesvo.Font(DEJAVU).shape(MIXED, direction="rtl", trace=True)
        sections = list(page.find_all("section", "item"))
        cells = stage_cells(page)
        assert len(sections) == sum("Uniscribe item" in m for m in doc["messages"]) == len(cells)
        assert [int(s.attrs["data-level"]) for s in sections] == [item.level for item in result.items]
        for k, section in enumerate(sections):
            stages = [s for s in result.stages if s.item == k]
            rows = list(section.find_all("tr", "stage"))
            assert [(r.first("th").attrs["title"], r.attrs.get("data-kind")) for r in rows] == [
                (s.name, s.kind) for s in stages]
            for drawn, stage in zip(cells[k], stages):
                assert [(c[0], c[1]) for c in drawn] == [(g.id, g.cluster) for g in stage.glyphs], stage.name
            assert len(list(section.find_all("tr", "final"))) == 1
        assert any(s.kind == "position" for s in result.stages)

    def test_cells_name_their_glyph_and_the_characters_of_its_cluster(self, tmp_path):
        from fontTools.ttLib import TTFont

        names = TTFont(str(DEJAVU)).getGlyphOrder()
        doc, _, page = make_report(tmp_path, DEJAVU, "Hi")
        cells = [c for stage in stage_cells(page)[0] for c in stage]
        assert len(cells) == 2 * len(list(page.find_all("tr", "stage")))
        data = page_data(page)
        assert data["text"] == "Hi"
        assert data["names"][str(cells[0][0])] == names[doc["final"][0]["g"]]
        assert cells[0][1:3] == (0, 1) and cells[1][1:3] == (1, 2)
        # every glyph a row can draw has its cell, defined once
        symbols = {n.attrs["id"] for n in page.find_all("symbol")}
        assert {f"c{gid}" for gid in data["widths"]} == symbols

    def test_reordering_phases_carry_their_change_and_lookups_only_their_own(self, tmp_path):
        doc, _, page = make_report(tmp_path, DEVANAGARI, CONJUNCTS, "--trace")
        changed = {r.first("span", "name").text: int(r.attrs["data-changed"]) for r in page.find_all("tr", "stage")}
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
        rows = list(page.first("section", "item").find_all("tr", "stage"))
        stages = [(r.first("span", "name").text, cells) for r, cells in zip(rows, stage_cells(page)[0])
                  if r.attrs.get("data-kind") == "position"]
        assert stages[0][0] == "default positions"
        assert not any(c[3] for c in stages[0][1])
        moved = [c for name, cells in stages if name.endswith("'mark'") for c in cells if c[3]]
        # marks only (no advance), their offsets changed and their advances not
        assert moved and all(c[4][0] == 0 and c[4][4] and not c[4][3] for c in moved)

    def test_items_are_placed_on_the_line_by_their_bidi_levels(self, tmp_path):
        text = "\u05d0\u05d1\u05d2 \u2066abc \u05d3\u05d4\u05d5 xyz\u2069 \u05d6\u05d7\u05d8"
        _, _, page = make_report(tmp_path, DEJAVU, text)
        line = page.first("section", "line").first("div", "lines")
        drawn = [int(g.attrs["data-cl"]) for p in list(line.find_all("svg"))[::-1] for g in p.find_all("g", "pg")]
        abc, xyz = text.index("abc"), text.index("xyz")
        assert drawn.index(abc) < drawn.index(abc + 2) < drawn.index(xyz) < drawn.index(xyz + 2)

    def test_joining_lookups_are_highlighted_and_the_cmap_row_is_not(self, tmp_path):
        doc, _, page = make_report(tmp_path, DEJAVU, ARABIC)
        rows = {r.first("span", "name").text: int(r.attrs["data-changed"]) for r in page.find_all("tr", "stage")}
        assert rows["cmap"] == 0
        joined = [name for name in rows if re.search(r"'(init|medi|fina)'$", name)]
        assert joined, f"no joining lookup in {list(rows)}"
        assert all(rows[name] for name in joined), rows

    def test_right_to_left_runs_read_as_on_screen(self, tmp_path):
        doc, _, page = make_report(tmp_path, DEJAVU, MIXED)
        for section, stages in zip(page.find_all("section", "item"), stage_cells(page)):
            # Stage rows hold their cells in logical order and lay them out in the item's
            # direction, so that a right-to-left row starts (and is scrolled) at its right.
            final_row = list(section.find_all("tr", "stage"))[-1]
            starts = [c[1] for c in stages[-1]]
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
        cells = [c for stages in stage_cells(page) for c in stages]
        unchanged = [k for k, r in enumerate(rows) if "unchanged" in r.classes()]
        assert unchanged and all(not any(c[3] for c in cells[k]) for k in unchanged)
        # a stage that changed nothing is written once, as the one before it
        data = page_data(page)["items"]
        assert all(data[0]["stages"][k] == {"same": 1} or rows[k].attrs["data-kind"] == "position"
                   for k in unchanged)
        # the facts table shows the start of the text and its length
        shown = next(r for r in page.first("table", "facts").find_all("tr") if r.first("th").text == "text")
        assert shown.first("td").text.startswith(text[:100]) and f"({len(text):,} characters" in shown.first("td").text

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
         page.as_uri() if isinstance(page, Path) else page],
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


def _lit_rightly(node, ranges):
    """Every drawn cell is lit exactly when its cluster meets a range found."""
    cells = list(node.find_all("div", "g"))
    hits = [any(a < int(c.attrs["data-ce"]) and int(c.attrs["data-cl"]) < b for a, b in ranges) for c in cells]
    return cells and any(hits) and hits == ["found" in c.classes() for c in cells]


@pytest.mark.usefixtures("bundled_backend")
@pytest.mark.parametrize("ask", ["change=2", "change=1&filter=tag:mark", "search=\u0627\u0644\u0644", "search=0..3",
                                 "filter=lookup:31"])
def test_in_a_browser_the_bar_moves_to_changes_filters_and_finds(chromium, tmp_path, ask):
    """The page is driven through its address (#change=N, #filter=..., #search=...), as a
    link to it would be, and checked by the state it reports and the rows it drew."""
    _, out, page = make_report(tmp_path, NASKH, VOWELLED)
    shown = out.with_name("asked.html")
    shown.write_text(out.read_text(encoding="utf-8"), encoding="utf-8")
    dom, log = browse(chromium, tmp_path, f"{shown.as_uri()}#{ask}", "--dump-dom", "--window-size=1100,1700")
    assert console_errors(log) == []
    body = Tree(dom).root.first("body")
    assert body.attrs["data-tesvo-report"] == "ready"
    rows = list(Tree(dom).root.find_all("tr", "stage"))
    asked = dict(part.split("=", 1) for part in ask.split("&"))
    if asked.get("filter") == "lookup:31":  # not a filter of the page: said so, every stage shown
        assert body.attrs["data-address-note"] == "unknown filter"
        assert "lookup:31" in body.first("span", "status").text and body.attrs["data-filter"] == ""
        del asked["filter"]
    kept = [r for r in rows if "filter" not in asked or r.attrs.get("data-tag") == asked["filter"][4:]]
    assert body.attrs["data-shown-rows"] == str(len(kept)) and all("filtered" in r.classes() for r in rows
                                                                    if r not in kept)
    if "change" in asked:
        changes = [r for r in kept if int(r.attrs["data-changed"])]
        row = changes[int(asked["change"]) - 1]
        assert body.attrs["data-current"] == f"{row.attrs['data-item']}:{row.attrs['data-stage']}"
        assert "current" in row.classes()
        assert len(list(row.find_all("div", "changed"))) == int(row.attrs["data-changed"])
    if "search" in asked:
        query = asked["search"]
        ranges = ([tuple(map(int, query.split("..")))] if ".." in query else
                  [(k, k + len(query)) for k in range(len(VOWELLED)) if VOWELLED.startswith(query, k)])
        assert body.attrs["data-found"] == str(len(ranges)) and int(body.attrs["data-lit"]) > 0
        assert all(_lit_rightly(r, ranges) for r in rows if "data-drawn" in r.attrs)
    shot = tmp_path / "bar.png"
    _, log = browse(chromium, tmp_path, f"{shown.as_uri()}#{ask}", f"--screenshot={shot}", "--window-size=1100,1300")
    assert len(shot.read_bytes()) > 20_000, "the screenshot looks blank"
    if os.environ.get("TESVO_REPORT_SHOTS"):
        shutil.copyfile(shot, Path(os.environ["TESVO_REPORT_SHOTS"]) / f"bar-{re.sub(r'[^a-z0-9]+', '-', ask)}.png")
