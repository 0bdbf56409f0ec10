// Hovering a glyph or a character lights up everything of the same cluster: the glyph in
// every stage row and positioned row, and the characters of the text it stands for; a
// glyph cell gets its title (id, name, characters, position) when first pointed at.
// Clicking a stage's name shows or hides its glyphs (a row that starts closed keeps them in
// a template until then); the switch at the top hides the stages that changed nothing.
// When the page is set up, the body's data-tesvo-report reads "ready" (a page check looks
// for it) and data-stage-rows holds the number of stage rows found.
(function () {
  "use strict";
  const body = document.body;
  try {
    const data = JSON.parse(document.getElementById("tesvo-data").textContent);
    const chars = Array.from(data.text); // cluster indices count code points
    let ranged = null;
    let spans = null;
    function gather() {
      ranged = Array.from(document.querySelectorAll("[data-cl][data-ce]"));
      spans = ranged.map(function (el) {
        return [Number(el.dataset.cl), Number(el.dataset.ce)];
      });
    }
    let lit = [];
    function clear() {
      for (const el of lit) el.classList.remove("hot");
      lit = [];
    }
    function light(start, end) {
      clear();
      if (ranged === null) gather();
      ranged.forEach(function (el, k) {
        if (spans[k][0] < end && start < spans[k][1]) {
          el.classList.add("hot");
          lit.push(el);
        }
      });
    }
    function codes(start, end) {
      return chars.slice(start, end).map(function (ch) {
        return "U+" + ch.codePointAt(0).toString(16).toUpperCase().padStart(4, "0");
      }).join(" ");
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
      const target = event.target instanceof Element ? event.target.closest("[data-cl][data-ce], div.g") : null;
      if (target === null) {
        clear();
        return;
      }
      if (target.matches("div.g")) title(target);
      if (target.dataset.cl === undefined) return;
      light(Number(target.dataset.cl), Number(target.dataset.ce));
    });
    // The cells a closed row holds: its template's, or, for a stage that changed nothing,
    // a copy of the row before it without that row's highlights.
    function heldCells(row) {
      const held = row.querySelector("div.run > template");
      if (held === null) {
        const copy = document.createDocumentFragment();
        for (const node of row.querySelector("div.run").childNodes) copy.append(node.cloneNode(true));
        return copy;
      }
      if (!held.hasAttribute("data-same")) return held.content;
      const copy = heldCells(row.previousElementSibling).cloneNode(true);
      for (const cell of copy.querySelectorAll("div.g.changed")) cell.classList.remove("changed");
      for (const bold of copy.querySelectorAll(".pos b")) bold.replaceWith(bold.textContent);
      return copy;
    }
    document.addEventListener("click", function (event) {
      const name = event.target instanceof Element ? event.target.closest("tr.stage > th") : null;
      if (name === null) return;
      const row = name.parentElement;
      const held = row.querySelector("div.run > template");
      if (held !== null) {
        held.replaceWith(heldCells(row));
        ranged = null; // the cells just shown light up too
      }
      row.classList.toggle("closed");
    });
    const hide = document.getElementById("hide-unchanged");
    if (hide !== null) {
      hide.addEventListener("change", function () {
        body.classList.toggle("hide-unchanged", hide.checked);
      });
    }
    body.dataset.stageRows = String(document.querySelectorAll("tr.stage").length);
    body.dataset.tesvoReport = "ready";
  } catch (error) {
    body.dataset.tesvoReport = "failed: " + error;
    throw error;
  }
})();
