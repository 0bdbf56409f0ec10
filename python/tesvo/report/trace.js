// The trace report's script. It draws the stage rows from the data block ("tesvo-data")
// when they come into view or are opened, and makes the page navigable:
// - hovering a glyph or a character lights up everything of the same cluster, and a glyph
//   cell gets its title (id, name, characters, position) when first pointed at;
// - clicking a stage's name shows or hides its glyphs (the rows of long items start closed);
// - the bar at the top moves to the next or previous stage that changed something (keys n/j
//   and p/k), filters the stages by feature tag or lookup, lights the glyphs of a word or of
//   a range of characters ("10..25") in every row, and hides the stages that changed nothing;
// - the page's address may ask for the same: #search=WORD&filter=tag:kern&change=2.
// The body's data attributes tell a page check what the script did: data-tesvo-report
// ("ready"), data-stage-rows, data-drawn-rows, data-current (item:stage of the current change),
// data-filter, data-shown-rows, data-found (ranges found), data-lit (cells lit in drawn rows),
// data-ready-ms (time from the start of the page to its first rows drawn).
(function () {
  "use strict";
  const body = document.body;
  try {
    const data = JSON.parse(document.getElementById("tesvo-data").textContent);
    const chars = Array.from(data.text); // clusters count code points, as Python's str does
    const rows = Array.from(document.querySelectorAll("tr.stage"));
    const hidden = /^[\p{Cc}\p{Cf}\p{Zs}\p{Zl}\p{Zp}\p{Cs}\p{Co}\p{Cn}]$/u;
    const combining = /^[\p{Mn}\p{Me}]$/u;

    // ---- the stages, from the data block ----

    // Each stage with its own arrays: a stage that changed nothing takes the arrays of the
    // one before it, without its highlights.
    const stages = data.items.map(function (item) {
      let before = null;
      return item.stages.map(function (record) {
        const stage = record.same && before !== null
          ? { g: before.g, c: before.c, p: before.p, x: [], a: [], o: [] }
          : { g: record.g || [], c: record.c || [], p: record.p || null, x: record.x || [],
              a: record.a || [], o: record.o || [] };
        before = stage;
        return stage;
      });
    });

    function visible(text) {
      let out = "";
      for (const ch of text) {
        if (ch === " ") out += "\u2423";
        else if (hidden.test(ch)) out += "U+" + hex(ch);
        else if (combining.test(ch) && out === "") out += "\u25cc" + ch;
        else out += ch;
      }
      return out;
    }
    function hex(ch) {
      return ch.codePointAt(0).toString(16).toUpperCase().padStart(4, "0");
    }
    function escape(text) {
      return text.replace(/[&<>"]/g, function (c) {
        return { "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;" }[c];
      });
    }
    // Where each glyph's cluster ends: at the next cluster start of the stage, or at the
    // item's end.
    function clusterEnds(clusters, start, end) {
      const starts = Array.from(new Set(clusters.filter(function (c) {
        return c !== null && start <= c && c < end;
      }))).sort(function (a, b) { return a - b; });
      const next = new Map();
      starts.forEach(function (c, k) { next.set(c, k + 1 < starts.length ? starts[k + 1] : end); });
      return clusters.map(function (c) {
        if (c === null) return null;
        return next.has(c) ? next.get(c) : Math.max(end, c + 1);
      });
    }

    function cellsHtml(itemIndex, stageIndex) {
      const item = data.items[itemIndex];
      const stage = stages[itemIndex][stageIndex];
      const ends = clusterEnds(stage.c, item.start, item.end);
      const changed = new Set(stage.x), advanced = new Set(stage.a), moved = new Set(stage.o);
      const parts = [];
      for (let k = 0; k < stage.g.length; k++) {
        const gid = stage.g[k], cl = stage.c[k];
        const span = cl === null ? "" : ' data-cl="' + cl + '" data-ce="' + ends[k] + '"';
        const under = cl === null ? "" : escape(visible(chars.slice(cl, ends[k]).join("")));
        let pos = "";
        if (stage.p !== null) {
          const ax = stage.p[3 * k], dx = stage.p[3 * k + 1], dy = stage.p[3 * k + 2];
          const advance = "+" + ax, offset = "@" + dx + "," + dy;
          pos = '<span class="pos">' + (advanced.has(k) ? "<b>" + advance + "</b>" : advance);
          if (dx || dy || moved.has(k)) pos += moved.has(k) ? "<b>" + offset + "</b>" : offset;
          pos += "</span>";
        }
        // A cell off the screen is not laid out inside (content-visibility) but holds the
        // place of its estimated size, so that a row of thousands of glyphs opens at once.
        const width = Math.max(Number(data.widths[gid]), 6.1 * String(gid).length, 8 * under.length,
          pos === "" ? 0 : 6.1 * pos.replace(/<[^>]*>/g, "").length) + 8;
        const height = data.height + (pos === "" ? 32 : 44);
        parts.push('<div class="g' + (changed.has(k) ? " changed" : "") + '"' + span +
          ' style="contain-intrinsic-size:auto ' + Math.ceil(width) + "px auto " + height + 'px">' +
          '<svg width="' + data.widths[gid] + '" height="' + data.height + '"><use href="#c' + gid + '"/></svg>' +
          '<span class="gid">' + gid + '</span><span class="ch">' + under + "</span>" + pos + "</div>");
      }
      return parts.join("");
    }

    let drawn = 0;
    function draw(row) {
      if (row.dataset.drawn !== undefined) return;
      const run = row.querySelector("div.run");
      const item = Number(row.dataset.item), stage = Number(row.dataset.stage);
      if (stages[item][stage].g.length) run.innerHTML = cellsHtml(item, stage);
      row.dataset.drawn = "";
      ranged = null;
      drawn += 1;
      body.dataset.drawnRows = String(drawn);
      if (found.length) lightFound(run);
    }
    // Rows are drawn when they come near the screen, open ones only.
    const watcher = "IntersectionObserver" in window ? new IntersectionObserver(function (entries) {
      for (const entry of entries) {
        if (entry.isIntersecting && !entry.target.classList.contains("closed")) draw(entry.target);
      }
    }, { rootMargin: "800px 0px" }) : null;
    // The rows near the screen, drawn at once: the sections far from it are not laid out
    // (content-visibility), so only the rows of sections near the screen are measured.
    function near(el) {
      const box = el.getBoundingClientRect();
      return box.bottom >= -800 && box.top <= window.innerHeight + 800 && box.height > 0;
    }
    function drawInView() {
      for (const section of document.querySelectorAll("section.item")) {
        if (!near(section)) continue;
        for (const row of section.querySelectorAll("tr.stage")) {
          if (row.classList.contains("closed") || row.dataset.drawn !== undefined) continue;
          if (near(row)) draw(row);
        }
      }
    }

    // ---- hovering: the cluster under the pointer, the titles of cells ----

    let hot = [];
    function clear() {
      for (const el of hot) el.classList.remove("hot");
      hot = [];
    }
    function inRange(el, ranges) {
      const start = Number(el.dataset.cl), end = Number(el.dataset.ce);
      return ranges.some(function (r) { return r[0] < end && start < r[1]; });
    }
    let ranged = null; // every element with a cluster, gathered again after a row is drawn
    function light(start, end) {
      clear();
      if (ranged === null) ranged = Array.from(document.querySelectorAll("[data-cl][data-ce]"));
      for (const el of ranged) {
        if (inRange(el, [[start, end]])) {
          el.classList.add("hot");
          hot.push(el);
        }
      }
    }
    function codes(start, end) {
      return chars.slice(start, end).map(function (ch) { return "U+" + hex(ch); }).join(" ");
    }
    // A glyph of a positioned row or of the line: an SVG <title> written once.
    function svgTitle(glyph) {
      if (glyph.querySelector("title") !== null) return;
      const gid = glyph.dataset.g, p = glyph.dataset.p.split(",");
      const lines = ["glyph " + gid + " " + (data.names[gid] || "")];
      if (glyph.dataset.cl !== undefined) {
        const start = Number(glyph.dataset.cl), end = Number(glyph.dataset.ce);
        lines.push("cluster " + start + ".." + end + ": \u201c" + visible(chars.slice(start, end).join("")) +
          "\u201d " + codes(start, end));
      }
      lines.push("advance " + p[0] + ", offset " + p[1] + ", " + p[2]);
      const node = document.createElementNS(glyph.namespaceURI, "title");
      node.textContent = lines.join("\n");
      glyph.prepend(node);
    }
    function title(cell) {
      if (cell.title) return;
      const gid = cell.querySelector(".gid").textContent;
      const lines = ["glyph " + gid + " " + (data.names[gid] || "")];
      if (cell.dataset.cl !== undefined) {
        const start = Number(cell.dataset.cl), end = Number(cell.dataset.ce);
        const shown = cell.querySelector(".ch").textContent;
        lines.push("cluster " + start + ".." + end + ": \u201c" + shown + "\u201d " + codes(start, end));
      }
      const position = cell.querySelector(".pos");
      if (position !== null) lines.push("advance and offset " + position.textContent);
      cell.title = lines.join("\n");
    }
    document.addEventListener("mouseover", function (event) {
      const target = event.target instanceof Element ? event.target.closest("[data-cl][data-ce], div.g, g.pg") : null;
      if (target === null) {
        clear();
        return;
      }
      if (target.matches("div.g")) title(target);
      if (target.matches("g.pg[data-g]")) svgTitle(target);
      if (target.dataset.cl === undefined) return;
      light(Number(target.dataset.cl), Number(target.dataset.ce));
    });

    // ---- opening and closing rows ----

    function open(row) {
      row.classList.remove("closed");
      draw(row);
    }
    document.addEventListener("click", function (event) {
      const name = event.target instanceof Element ? event.target.closest("tr.stage > th") : null;
      if (name === null) return;
      const row = name.parentElement;
      if (row.classList.contains("closed")) open(row);
      else row.classList.add("closed");
    });

    // ---- the filter ----

    const filter = document.getElementById("filter");
    function matches(row, value) {
      if (!value) return true;
      const colon = value.indexOf(":");
      const what = value.slice(0, colon), wanted = value.slice(colon + 1);
      return what === "tag" ? row.dataset.tag === wanted : row.dataset.lookup === wanted;
    }
    function applyFilter() {
      const value = filter.value;
      let shown = 0;
      for (const row of rows) {
        const out = !matches(row, value);
        row.classList.toggle("filtered", out);
        if (!out) shown += 1;
      }
      body.classList.toggle("filtering", value !== "");
      body.dataset.filter = value;
      body.dataset.shownRows = String(shown);
      drawInView();
    }
    filter.addEventListener("change", applyFilter);

    // ---- moving from change to change ----

    const hide = document.getElementById("hide-unchanged");
    function shownRow(row) {
      return !row.classList.contains("filtered") && !(hide.checked && row.classList.contains("unchanged"));
    }
    const changes = rows.filter(function (row) { return Number(row.dataset.changed) > 0; });
    let current = -1;
    function go(step, times) {
      const candidates = changes.filter(shownRow);
      if (!candidates.length) {
        status("no stage here changed anything");
        return;
      }
      const at = current >= 0 ? candidates.indexOf(changes[current]) : -1;
      let next = at;
      for (let k = 0; k < (times || 1); k++) {
        if (next >= 0) next = (next + step + candidates.length) % candidates.length;
        else next = step > 0 ? 0 : candidates.length - 1;
      }
      const row = candidates[next];
      if (current >= 0) changes[current].classList.remove("current");
      current = changes.indexOf(row);
      row.classList.add("current");
      open(row);
      // In a long row, the first glyph the stage changed, not the row's start.
      (row.querySelector("div.g.changed") || row).scrollIntoView({ block: "nearest" });
      body.dataset.current = row.dataset.item + ":" + row.dataset.stage;
      status("change " + (next + 1) + " of " + candidates.length + ": item " + row.dataset.item + ", " +
        row.querySelector("th").title + ", " + row.dataset.changed + " glyphs");
    }
    document.getElementById("next-change").addEventListener("click", function () { go(1); });
    document.getElementById("prev-change").addEventListener("click", function () { go(-1); });
    hide.addEventListener("change", function () {
      body.classList.toggle("hide-unchanged", hide.checked);
      drawInView();
    });

    // ---- the search ----

    const search = document.getElementById("search");
    let found = [];
    function ranges(query) {
      const range = /^\s*(\d+)\s*(?:\.\.|-)\s*(\d+)\s*$/.exec(query);
      if (range !== null) return [[Number(range[1]), Math.max(Number(range[1]) + 1, Number(range[2]))]];
      const word = Array.from(query.trim());
      if (!word.length) return [];
      const out = [];
      for (let k = 0; k + word.length <= chars.length; k++) {
        let same = true;
        for (let j = 0; j < word.length && same; j++) same = chars[k + j] === word[j];
        if (same) out.push([k, k + word.length]);
      }
      return out;
    }
    function lightFound(root) {
      let lit = 0;
      for (const el of root.querySelectorAll("[data-cl][data-ce]")) {
        const on = found.length > 0 && inRange(el, found);
        el.classList.toggle("found", on);
        if (on && el.matches("div.g")) lit += 1;
      }
      return lit;
    }
    function applySearch() {
      found = ranges(search.value);
      const lit = lightFound(document);
      body.dataset.found = String(found.length);
      body.dataset.lit = String(lit);
      if (search.value.trim()) {
        status(found.length ? found.length + " found, " + lit + " glyphs lit in the rows drawn" : "not found");
      } else {
        status("");
      }
      const first = document.querySelector("section.item .found, section.line .found");
      if (first !== null && found.length) first.scrollIntoView({ block: "nearest" });
    }
    let typing = 0;
    search.addEventListener("input", function () {
      clearTimeout(typing);
      typing = setTimeout(applySearch, 200);
    });

    const statusLine = document.getElementById("status");
    function status(text) {
      statusLine.textContent = text;
    }
    document.addEventListener("keydown", function (event) {
      if (event.ctrlKey || event.metaKey || event.altKey) return;
      const target = event.target;
      if (target instanceof Element && target.matches("input, select, textarea")) {
        if (event.key === "Escape") target.blur();
        return;
      }
      if (event.key === "n" || event.key === "j") go(1);
      else if (event.key === "p" || event.key === "k") go(-1);
      else if (event.key === "/") {
        event.preventDefault();
        search.focus();
      } else return;
    });

    // ---- what the address asks for, then the first rows ----

    const asked = new URLSearchParams(location.hash.slice(1));
    if (asked.has("filter")) {
      const wanted = asked.get("filter");
      const known = Array.from(filter.options).some(function (o) { return o.value === wanted; });
      if (known) {
        filter.value = wanted;
      } else {
        // An address this report cannot follow says so, instead of an empty selector.
        body.dataset.addressNote = "unknown filter";
        status("the address asks for the filter \u201c" + wanted + "\u201d, which this report does not have " +
               "(its filters: \u201ctag:TAG\u201d and \u201clookup:GSUB N\u201d or \u201clookup:GPOS N\u201d of " +
               "the lookups that ran); every stage is shown");
      }
    }
    if (asked.has("search")) search.value = asked.get("search");
    body.dataset.stageRows = String(rows.length);
    body.dataset.drawnRows = "0";
    applyFilter();
    if (Number(asked.get("change")) > 0) go(1, Number(asked.get("change")));
    drawInView();
    if (watcher !== null) for (const row of rows) watcher.observe(row);
    if (asked.has("search")) applySearch();
    body.dataset.readyMs = String(Math.round(performance.now()));
    body.dataset.tesvoReport = "ready";
  } catch (error) {
    body.dataset.tesvoReport = "failed: " + error;
    throw error;
  }
})();
