// Hovering a glyph or a character lights up everything of the same cluster: the glyph in
// every stage row and positioned row, and the characters of the text it stands for.
// Clicking a stage's name shows or hides its glyphs; the switch at the top hides the
// stages that changed nothing.
// When the page is set up, the body's data-tesvo-report reads "ready" (a page check looks
// for it) and data-stage-rows holds the number of stage rows found.
(function () {
  "use strict";
  const body = document.body;
  try {
    const ranged = Array.from(document.querySelectorAll("[data-cl][data-ce]"));
    const spans = ranged.map(function (el) {
      return [Number(el.dataset.cl), Number(el.dataset.ce)];
    });
    let lit = [];
    function clear() {
      for (const el of lit) el.classList.remove("hot");
      lit = [];
    }
    function light(start, end) {
      clear();
      ranged.forEach(function (el, k) {
        if (spans[k][0] < end && start < spans[k][1]) {
          el.classList.add("hot");
          lit.push(el);
        }
      });
    }
    document.addEventListener("mouseover", function (event) {
      const target = event.target instanceof Element ? event.target.closest("[data-cl][data-ce]") : null;
      if (target === null) {
        clear();
        return;
      }
      light(Number(target.dataset.cl), Number(target.dataset.ce));
    });
    document.addEventListener("click", function (event) {
      const name = event.target instanceof Element ? event.target.closest("tr.stage > th") : null;
      if (name !== null) name.parentElement.classList.toggle("closed");
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
