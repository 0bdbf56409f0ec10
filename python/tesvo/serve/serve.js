// tesvo serve: the page draws what the server shaped. Every control sends the settings
// (/api/shape); one request is in flight at a time, and a change made meanwhile is sent when
// it comes back, so the page always ends on the latest settings.
"use strict";
(() => {
  const token = document.body.dataset.token;
  const ENGINES = ["uniscribe", "harfbuzz", "harfrust"];
  const ENGINE_NAMES = {uniscribe: "Uniscribe (port)", harfbuzz: "HarfBuzz", harfrust: "HarfRust"};
  const HEIGHT = 64;  // pixels of a drawn line, ascender to descender
  const $ = (id) => document.getElementById(id);
  const esc = (s) => String(s).replace(/[&<>"']/g, (c) => `&#${c.charCodeAt(0)};`);
  const url = (path, query = "") => `${path}?token=${encodeURIComponent(token)}${query}`;

  // What the page shows, set when it has drawn; `live` is what the controls say now.
  const state = {text: "", features: {}, location: {}, fonts: [], serial: 0, latency: null, drawnAt: 0};
  window.tesvoState = state;
  const live = {features: {}, location: {}};
  let facts = [];  // per font: what /api/fonts said of it
  let faces = [];
  let shaped = null;  // the last response drawn
  let selected = null;  // the step clicked: its index in the trace shown
  let traceOf = "0:uniscribe";
  let otherTrace = null;  // the steps of another engine, fetched when chosen
  const arts = [];  // per font: {key, prefix, glyphs}
  let artCount = 0;
  let inFlight = false, dirty = false, firstInput = null;
  const collapsed = new Set(JSON.parse(localStorage.getItem("tesvo.collapsed") || "[]"));

  function say(text) { $("message").textContent = text || ""; }

  async function loadFacts() {
    const response = await fetch(url("/api/fonts", faces.length ? `&faces=${faces.join(",")}` : ""));
    const body = await response.json();
    if (!response.ok) { say(body.message); return; }
    facts = body.fonts;
    if (!faces.length) faces = facts.map(() => 0);
    buildControls();
  }

  function buildControls() {
    const first = facts[0];
    // Features: every font's, each toggle starting as HarfBuzz applies it.
    const features = new Map();
    for (const f of facts) for (const feat of f.features) if (!features.has(feat.tag)) features.set(feat.tag, feat.on);
    $("features").innerHTML = [...features].sort().map(([tag, on]) => {
      const value = tag in live.features ? live.features[tag] : on;
      const set = tag in live.features ? " set" : "";
      return `<label class="feature${set}" title="${esc(tag)}: ${on ? "on" : "off"} by default">` +
        `<input type="checkbox" data-feature="${esc(tag)}" data-default="${on}"${value ? " checked" : ""}>${esc(tag)}</label>`;
    }).join("");
    const script = $("script").value;
    $("script").innerHTML = `<option value="">auto</option>` +
      Object.keys(first.scripts).map((s) => `<option${s === script ? " selected" : ""}>${esc(s)}</option>`).join("");
    fillLanguages();
    const axes = new Map();
    for (const f of facts) for (const a of f.axes) if (!axes.has(a.tag)) axes.set(a.tag, a);
    $("axes").innerHTML = [...axes.values()].map((a) => {
      const value = a.tag in live.location ? live.location[a.tag] : a.default;
      return `<label title="${esc(a.name)}">${esc(a.tag)} <input type="range" data-axis="${esc(a.tag)}" ` +
        `min="${a.min}" max="${a.max}" step="any" value="${value}"><output>${+(+value).toFixed(2)}</output></label>`;
    }).join("");
    $("instance").innerHTML = `<option value="">—</option>` +
      first.instances.map((i, k) => `<option value="${k}">${esc(i.name)}</option>`).join("");
    $("instance").parentElement.hidden = !first.instances.length;
    $("faces").innerHTML = facts.map((f, k) => f.faces > 1 ?
      `<label>face of ${esc(f.label)} <input type="number" data-face="${k}" min="0" max="${f.faces - 1}" value="${faces[k]}"></label>` : "").join("");
    $("trace-of").innerHTML = facts.map((f, k) => ENGINES.map((e) =>
      `<option value="${k}:${e}"${`${k}:${e}` === traceOf ? " selected" : ""}>${esc(f.label)} · ${ENGINE_NAMES[e]}</option>`).join("")).join("");
  }

  function fillLanguages() {
    const script = $("script").value || Object.keys(facts[0].scripts)[0] || "";
    const chosen = $("language").value;
    const langs = (facts[0].scripts[script] || []);
    $("language").innerHTML = `<option value="">default</option>` +
      langs.map((l) => `<option${l === chosen ? " selected" : ""}>${esc(l)}</option>`).join("");
  }

  function known() {
    const have = {};
    arts.forEach((a, k) => { if (a) have[k] = [a.key, Object.keys(a.glyphs).map(Number)]; });
    return have;
  }

  function settings() {
    return {text: $("text").value, direction: $("direction").value, features: {...live.features},
            location: {...live.location}, script: $("script").value,
            language: $("bcp47").value.trim() || $("language").value, faces, known: known()};
  }

  function changed() {
    if (firstInput === null) firstInput = performance.now();
    if (inFlight) { dirty = true; return; }
    send();
  }

  async function request(body) {
    try {
      const response = await fetch(url("/api/shape"), {method: "POST", body: JSON.stringify(body),
                                                        headers: {"Content-Type": "application/json"}});
      const answer = await response.json();
      if (response.ok) { say(""); return answer; }
      say(answer.message || `the server answered ${response.status}`);
    } catch (e) {
      say(`the server cannot be reached (${e.message}); is tesvo serve still running?`);
    }
    return null;
  }

  // The port with its trace and HarfBuzz's line first, drawn at once; then every engine with
  // its trace, unless the settings changed meanwhile.
  async function send() {
    inFlight = true; dirty = false;
    const started = firstInput; firstInput = null;
    const sent = settings();
    try {
      const first = await request({...sent, phase: "first"});
      if (first) draw(first, started, sent, false);
      if (first && !dirty) {
        const all = await request({...sent, known: known(), phase: "all"});
        if (all && !dirty) draw(all, started, sent, true);
      }
    } finally {
      inFlight = false;
      if (dirty) send();
    }
  }

  // ---- drawing ----

  function remember(k, font) {
    let art = arts[k];
    if (!art || art.key !== font.art) {
      art = arts[k] = {key: font.art, prefix: `a${artCount++}-`, glyphs: {}};
    }
    let added = "";
    for (const [gid, g] of Object.entries(font.glyphs || {})) {
      if (!(gid in art.glyphs)) added += `<path id="${art.prefix}${gid}" d="${g.d}"/>`;
      art.glyphs[gid] = g;
    }
    if (added) $("defs").firstElementChild.insertAdjacentHTML("beforeend", added);
    art.ascender = font.ascender; art.descender = font.descender;
    return art;
  }

  // One SVG of glyphs at their pen positions plus offsets; `lit` colours clusters.
  function lineSvg(art, ids, advances, offsets, clusters, lit, first) {
    const top = art.ascender, band = Math.max(1, art.ascender - art.descender);
    let pen = 0, uses = "", marks = "";
    for (let i = 0; i < ids.length; i++) {
      const [dx, dy] = offsets ? offsets[i] : [0, 0];
      if (lit && lit.has(clusters[i])) {
        marks += `<rect class="${clusters[i] === first ? "first" : "diff"}" x="${pen}" y="${-top}" ` +
          `width="${Math.max(advances[i], band * 0.03)}" height="${band}"/>`;
      }
      uses += `<use href="#${art.prefix}${ids[i]}" x="${pen + dx}" y="${dy}"/>`;
      pen += advances[i];
    }
    const pad = band * 0.05, width = Math.max(pen, 1) + 2 * pad;
    return `<svg xmlns="http://www.w3.org/2000/svg" width="${(width * HEIGHT / band).toFixed(1)}" height="${HEIGHT}" ` +
      `viewBox="${-pad} ${-top} ${width} ${band}">${marks}<g transform="scale(1 -1)">${uses}</g></svg>`;
  }

  // A line drawn on canvases, wrapped into pieces at most PIECE pixels wide; `lit` colours
  // clusters (`first` the first that differs).
  const PIECE = 1200;
  function drawLine(holder, art, e, lit, first) {
    const top = art.ascender, band = Math.max(1, art.ascender - art.descender);
    const scale = HEIGHT / band, ratio = window.devicePixelRatio || 1, pad = band * 0.05;
    const pieces = [];
    let piece = {start: 0, end: 0, width: 0};
    for (let i = 0; i < e.ids.length; i++) {
      if (piece.end > piece.start && (piece.width + e.advances[i]) * scale > PIECE) {
        pieces.push(piece); piece = {start: i, end: i, width: 0};
      }
      piece.end = i + 1; piece.width += e.advances[i];
    }
    pieces.push(piece);
    const paths = art.paths || (art.paths = {});
    while (holder.children.length > pieces.length) holder.lastChild.remove();
    pieces.forEach((p, n) => {
      const canvas = holder.children[n] || holder.appendChild(document.createElement("canvas"));
      const width = Math.max(p.width, 1) + 2 * pad;
      canvas.style.width = `${(width * scale).toFixed(1)}px`; canvas.style.height = `${HEIGHT}px`;
      canvas.width = Math.ceil(width * scale * ratio); canvas.height = Math.ceil(HEIGHT * ratio);
      const g = canvas.getContext("2d");
      g.setTransform(scale * ratio, 0, 0, scale * ratio, pad * scale * ratio, top * scale * ratio);
      let pen = 0;
      for (let i = p.start; i < p.end; i++) {
        if (lit.has(e.clusters[i])) {
          g.fillStyle = e.clusters[i] === first ? "#ffab70" : "#ffe08a";
          g.fillRect(pen, -top, Math.max(e.advances[i], band * 0.03), band);
        }
        pen += e.advances[i];
      }
      g.fillStyle = "#111";
      pen = 0;
      for (let i = p.start; i < p.end; i++) {
        const gid = e.ids[i];
        let path = paths[gid];
        if (path === undefined) path = paths[gid] = art.glyphs[gid] && art.glyphs[gid].d ? new Path2D(art.glyphs[gid].d) : null;
        if (path) {
          g.setTransform(scale * ratio, 0, 0, -scale * ratio, (pad + pen + e.offsets[i][0]) * scale * ratio,
                         (top - e.offsets[i][1]) * scale * ratio);
          g.fill(path);
        }
        pen += e.advances[i];
      }
    });
  }

  // The engines the first answer leaves out keep their last lines, dimmed, until the complete
  // answer comes.
  function carried(body) {
    if (!shaped) return;
    body.fonts.forEach((font, k) => {
      const before = shaped.fonts[k];
      if (!before || !font.engines.uniscribe) return;
      for (const name of ENGINES) {
        if (!font.engines[name] && before.engines[name]) {
          font.engines[name] = {...before.engines[name], stale: true};
          if (before.differ[name]) font.differ[name] = before.differ[name];
        }
      }
    });
  }

  function differOf(font, name) {
    return name === "uniscribe" ? (font.differ["first font"] || []) : (font.differ[name] || []);
  }

  // The blocks of fonts and engines, made again only when which of them there are changes.
  let layout = "";
  function blocks(body) {
    const wanted = body.fonts.map((f) => ENGINES.filter((e) => f.engines[e]).join(",")).join("|");
    if (wanted === layout) return;
    layout = wanted;
    $("lines").innerHTML = body.fonts.map((font, k) => `<div class="font" data-font="${k}"><h2>${esc(font.label)} ` +
      `<span class="gen"></span></h2><div class="messages"></div>` + ENGINES.filter((e) => font.engines[e]).map((name) =>
        `<div class="engine" data-engine="${name}"><span class="name">${ENGINE_NAMES[name]}</span>` +
        `<div class="line" data-line="${k}:${name}"></div><span class="note"></span></div>`).join("") + "</div>").join("");
  }

  function draw(body, started, sent, complete) {
    if (!complete) carried(body);
    shaped = body;
    blocks(body);
    const fonts = [];
    body.fonts.forEach((font, k) => {
      const mine = {};
      const block = $("lines").children[k];
      block.querySelector(".gen").textContent = `build ${font.generation}${font.face ? `, face ${font.face}` : ""}`;
      const messages = [font.error, font.message, ...(font.warnings || [])].filter(Boolean);
      block.querySelector(".messages").innerHTML = messages.map((m) => `<div class="error">${esc(m)}</div>`).join("");
      fonts.push(mine);
      if (!font.engines.uniscribe) return;
      const art = remember(k, font);
      for (const row of block.querySelectorAll(".engine")) {
        const name = row.dataset.engine;
        const e = font.engines[name];
        const note = row.querySelector(".note"), holder = row.querySelector(".line");
        row.classList.toggle("stale", !!e.stale);
        note.classList.toggle("error", !!e.error);
        if (e.error) { note.textContent = e.error; holder.replaceChildren(); continue; }
        const differ = differOf(font, name);
        drawLine(holder, art, e, new Set(differ), differ[0]);
        const parts = [];
        if (differ.length) parts.push(`${name === "uniscribe" ? "differs from the first font" : "differs from the port"} ` +
          `in ${differ.length} cluster${differ.length > 1 ? "s" : ""}, first at character ${differ[0]}`);
        if (e.note) parts.push(e.note);
        note.textContent = parts.join("; ");
        if (!e.stale) {
          mine[name] = {ids: e.ids, names: e.names, clusters: e.clusters, advances: e.advances, offsets: e.offsets,
                        steps: e.steps || []};
        }
      }
    });
    drawTrace();
    $("command").textContent = "";
    if (!complete) state.firstMs = body.ms;
    Object.assign(state, {fonts, serial: body.serial, serverMs: body.ms, complete, text: sent.text, features: sent.features,
                          location: sent.location});
    $("status").textContent = `shaped #${body.serial}`;
    // Drawn once the frame after it has been painted: from the input, the first answer's
    // time (`latency`) and the complete one's (`latencyAll`).
    requestAnimationFrame(() => setTimeout(() => {
      if (started !== null) state[complete ? "latencyAll" : "latency"] = performance.now() - started;
      state.drawnAt = body.serial;
    }, 0));
  }

  // ---- the trace ----

  function shownTrace() {
    const [k, engine] = traceOf.split(":");
    const font = shaped && shaped.fonts[+k];
    if (!font || !font.engines.uniscribe) return null;
    if (engine === "uniscribe") return {font: +k, engine, steps: font.steps, items: font.items};
    if (otherTrace && otherTrace.serial === shaped.serial && otherTrace.key === traceOf) {
      return {font: +k, engine, steps: otherTrace.steps, items: [{rtl: otherTrace.rtl}]};
    }
    fetch(url("/api/steps", `&font=${k}&engine=${engine}`)).then((r) => r.json()).then((b) => {
      otherTrace = {serial: b.serial, key: traceOf, steps: b.steps, rtl: b.rtl};
      if (b.serial === shaped.serial) drawTrace();
    });
    return {font: +k, engine, steps: [], items: []};
  }

  function foldKey(font, step) {
    const m = /^(GSUB|GPOS) lookup \d+/.exec(step.name);
    return m ? `${facts[font] ? facts[font].family : font}|${m[0]}` : null;
  }

  function partings(trace) {
    // The steps where another engine or the next font parts from this trace.
    const marks = {};
    const font = shaped.fonts[trace.font];
    if (trace.engine !== "uniscribe") return marks;
    for (const [name, p] of Object.entries(font.parting || {})) {
      if (p && name !== "first font") (marks[p.step] = marks[p.step] || []).push(`${ENGINE_NAMES[name]} parts here: ${p.words}`);
    }
    shaped.fonts.forEach((other, k) => {
      const p = other.parting && other.parting["first font"];
      if (p && trace.font === 0 && k > 0) (marks[p.step] = marks[p.step] || []).push(`${other.label} parts here: ${p.words}`);
    });
    return marks;
  }

  function drawTrace() {
    const trace = shownTrace();
    if (!trace) { $("trace").innerHTML = ""; return; }
    const names = arts[trace.font] ? arts[trace.font].glyphs : {};
    const marks = partings(trace);
    let html = "";
    trace.steps.forEach((step, n) => {
      const key = foldKey(trace.font, step);
      const fold = key && collapsed.has(key);
      const same = step.change[0] === step.change[1] && !step.rows.length;
      const cls = `step${same ? " same" : ""}${fold ? " collapsed" : ""}${n === selected ? " selected" : ""}${marks[n] ? " parting" : ""}`;
      const changedNames = step.rows.slice(0, 12).map((r) => (names[r[0]] || {}).n || `gid${r[0]}`).join(" ");
      const more = step.more ? Object.entries(step.more).filter(([, v]) => v !== null && v !== "" && !(Array.isArray(v) && !v.length))
        .map(([f, v]) => `${f}: ${typeof v === "object" ? JSON.stringify(v) : v}`).join("; ") : "";
      html += `<div class="${cls}" data-step="${n}" data-name="${esc(step.name)}"><span>${n}</span>` +
        `<span>${key ? `<button class="fold" data-fold="${esc(key)}" title="collapse this lookup">${fold ? "+" : "−"}</button>` : ""}</span>` +
        `<span>${esc(step.name)}${step.lookup ? ` <span class="lookup">${esc(step.lookup)}</span>` : ""}</span>` +
        `<span class="changed">${same ? "changed nothing" : esc(changedNames) + (step.rows.length > 12 ? " …" : "")}` +
        `${more ? ` <span class="more">${esc(more)}</span>` : ""}` +
        `${marks[n] ? ` <span class="parts">${esc(marks[n].join("; "))}</span>` : ""}</span></div>`;
    });
    $("trace").innerHTML = html;
    const several = trace.engine === "uniscribe" && trace.items.length > 1 ?
      `; the text forms ${trace.items.length} items, and HarfBuzz and HarfRust shape the whole line as one run: ` +
      "their steps are not lined up with the port's" : "";
    $("trace-note").textContent = trace.steps.length ? `${trace.steps.length} steps${several}` : "";
    if (selected !== null && selected < trace.steps.length) drawRun(trace, selected);
    else { selected = null; $("run").innerHTML = `<p class="hint">Click a step to see the glyph run after it.</p>`; }
  }

  // The glyph run after step n: its item's steps from the first, each change made.
  function runAfter(steps, n) {
    let glyphs = [];
    let start = n;
    while (start > 0 && steps[start - 1].item === steps[n].item) start--;
    let changedAt = [0, 0];
    for (let k = start; k <= n; k++) {
      const [a, b] = steps[k].change;
      glyphs = glyphs.slice(0, a).concat(steps[k].rows, glyphs.slice(b));
      changedAt = [a, a + steps[k].rows.length];
    }
    return {glyphs, changedAt};
  }

  function drawRun(trace, n) {
    const step = trace.steps[n];
    const art = arts[trace.font];
    const {glyphs, changedAt} = runAfter(trace.steps, n);
    const item = trace.items[step.item] || {rtl: false};
    const order = glyphs.map((g, i) => i);
    if (item.rtl) order.reverse();
    const ids = order.map((i) => glyphs[i][0]);
    const advances = order.map((i) => step.positioned ? glyphs[i][2] : ((art.glyphs[glyphs[i][0]] || {}).a || 0));
    const offsets = order.map((i) => step.positioned ? [glyphs[i][3], glyphs[i][4]] : [0, 0]);
    let cells = "";
    for (const i of order) {
      const [gid, cl, ax, dx, dy] = glyphs[i];
      const g = art.glyphs[gid] || {};
      const mark = i >= changedAt[0] && i < changedAt[1] ? " changed" : "";
      cells += `<div class="cell${mark}" title="gid ${gid}">${lineSvg(art, [gid], [Math.max(g.a || 0, 1)], null, [0], null)}` +
        `<div>${esc(g.n || `gid${gid}`)}</div><div>${gid}${cl === null ? "" : ` =${cl}`}</div>` +
        `${step.positioned ? `<div>+${ax}${dx || dy ? ` @${dx},${dy}` : ""}</div>` : ""}</div>`;
    }
    $("run").innerHTML = `<div><b>after step ${n}: ${esc(step.name)}</b>${step.lookup ? ` · ${esc(step.lookup)}` : ""}</div>` +
      `<div class="line">${lineSvg(art, ids, advances, offsets, [], null)}</div><div class="cells">${cells}</div>`;
    state.run = {step: n, name: step.name, ids: glyphs.map((g) => g[0]),
                 names: glyphs.map((g) => (art.glyphs[g[0]] || {}).n || `gid${g[0]}`)};
  }

  // ---- export ----

  // The first font's line as the port shaped it, as one SVG with its glyphs' outlines.
  function exportSvg() {
    const e = state.fonts[0] && state.fonts[0].uniscribe;
    const art = arts[0];
    if (!e || !art) return null;
    const defs = [...new Set(e.ids)].map((gid) => `<path id="${art.prefix}${gid}" d="${(art.glyphs[gid] || {}).d || ""}"/>`);
    return lineSvg(art, e.ids, e.advances, e.offsets, e.clusters, null).replace(/^(<svg[^>]*>)/, `$1<defs>${defs.join("")}</defs>`);
  }

  function download(blob, name) {
    const a = document.createElement("a");
    a.href = URL.createObjectURL(blob); a.download = name; a.click();
    setTimeout(() => URL.revokeObjectURL(a.href), 1000);
  }

  function exportPng() {
    const svg = exportSvg();
    if (!svg) return;
    const image = new Image();
    image.onload = () => {
      const canvas = document.createElement("canvas");
      canvas.width = image.width * 2; canvas.height = image.height * 2;
      const g = canvas.getContext("2d");
      g.fillStyle = "#fff"; g.fillRect(0, 0, canvas.width, canvas.height);
      g.drawImage(image, 0, 0, canvas.width, canvas.height);
      canvas.toBlob((blob) => download(blob, "line.png"), "image/png");
    };
    image.src = URL.createObjectURL(new Blob([svg], {type: "image/svg+xml"}));
  }

  function openReport(kind) {
    const form = $("report-form");
    form.action = url("/report");
    form.elements.settings.value = JSON.stringify({...settings(), known: {}});
    form.elements.kind.value = kind;
    form.submit();
  }

  // ---- events ----

  $("text").addEventListener("input", changed);
  for (const id of ["direction", "language"]) $(id).addEventListener("change", changed);
  $("bcp47").addEventListener("input", changed);
  $("script").addEventListener("change", () => { fillLanguages(); changed(); });
  $("features").addEventListener("change", (ev) => {
    const box = ev.target.closest("[data-feature]");
    if (!box) return;
    const tag = box.dataset.feature;
    if (box.checked === (box.dataset.default === "true")) delete live.features[tag];
    else live.features[tag] = box.checked;
    box.parentElement.classList.toggle("set", tag in live.features);
    changed();
  });
  $("axes").addEventListener("input", (ev) => {
    const slider = ev.target.closest("[data-axis]");
    if (!slider) return;
    live.location[slider.dataset.axis] = +slider.value;
    slider.nextElementSibling.textContent = +(+slider.value).toFixed(2);
    changed();
  });
  $("instance").addEventListener("change", () => {
    const instance = facts[0].instances[+$("instance").value];
    if (!instance) return;
    Object.assign(live.location, instance.location);
    buildControls();
    changed();
  });
  $("faces").addEventListener("change", (ev) => {
    const input = ev.target.closest("[data-face]");
    if (!input) return;
    faces[+input.dataset.face] = Math.max(0, Math.floor(+input.value) || 0);
    loadFacts().then(changed);
  });
  $("trace-of").addEventListener("change", () => { traceOf = $("trace-of").value; selected = null; drawTrace(); });
  $("trace").addEventListener("click", (ev) => {
    const fold = ev.target.closest("[data-fold]");
    if (fold) {
      const key = fold.dataset.fold;
      if (collapsed.has(key)) collapsed.delete(key); else collapsed.add(key);
      localStorage.setItem("tesvo.collapsed", JSON.stringify([...collapsed]));
      drawTrace();
      return;
    }
    const row = ev.target.closest("[data-step]");
    if (!row) return;
    selected = +row.dataset.step;
    drawTrace();
  });
  $("export-svg").addEventListener("click", () => {
    const svg = exportSvg();
    if (svg) download(new Blob([svg], {type: "image/svg+xml"}), "line.svg");
  });
  $("export-png").addEventListener("click", exportPng);
  $("open-report").addEventListener("click", () => openReport("trace"));
  $("open-compare").addEventListener("click", () => openReport("compare"));

  function listen() {
    const events = new EventSource(url("/events"));
    events.addEventListener("open", () => { $("status").textContent = "live"; });
    events.addEventListener("error", () => { $("status").textContent = "reconnecting…"; });
    events.addEventListener("font", () => { loadFacts().then(changed); });
  }

  loadFacts().then(() => { changed(); listen(); });
})();
