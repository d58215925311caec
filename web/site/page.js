// The page: files in (picker, drop, ?file=NAME), the worker that opens and saves them through the
// module, and the views, description and downloads of the file shown.
//
// The line in #summary is for checking the page from outside: "WIDTHxHEIGHT PLANES sha256=HEX"
// for the image shown, HEX the SHA-256 of its decoded pixels as RGBA rows from the top (alpha 255
// where the file has none), or "error: MESSAGE" when the file could not be opened.
"use strict";

const $ = (id) => document.getElementById(id);
const canvas = $("canvas");
const viewport = $("viewport");

// ---- The worker -------------------------------------------------------------------------------

const pending = new Map();
let nextId = 1;
let worker = null;

function onAnswer(event) {
  const answer = event.data;
  if (answer.type === "ready") {
    // Requests are taken before this too; they wait for the worker. Tests wait for it to time
    // an open from the pick, as a user picks a file on a loaded page.
    document.body.dataset.worker = "ready";
    return;
  }
  const request = pending.get(answer.id);
  if (request === undefined) return;
  if (answer.type === "progress") {
    showProgress(request.label, answer.done, answer.total);
    return;
  }
  pending.delete(answer.id);
  request.resolve(answer);
}

// A worker that fails outside a request's own error handling answers nothing more: every request
// waiting fails with why, and a new worker takes the next ones.
function onWorkerError(event) {
  event.preventDefault();
  worker.terminate();
  startWorker();
  for (const [id, request] of pending) {
    pending.delete(id);
    request.resolve({ type: "failed", message: `${request.name}: the page's worker stopped: ${event.message || "no reason given"}` });
  }
  hideProgress();
}

function startWorker() {
  delete document.body.dataset.worker;  // until the new worker says it is ready
  worker = new Worker("worker.js");
  worker.onmessage = onAnswer;
  worker.onerror = onWorkerError;
}
startWorker();

// One request to the worker; transfer lists the buffers it takes over.
function ask(request, label, transfer = []) {
  const id = nextId++;
  return new Promise((resolve) => {
    pending.set(id, { resolve, label, name: request.name });
    showProgress(label, 0, 0);
    worker.postMessage({ ...request, id }, transfer);
  });
}

function showProgress(label, done, total) {
  $("progress").hidden = false;
  $("progress-label").textContent = label;
  const bar = $("progress-bar");
  if (total > 0) bar.value = (100 * done) / total;
  else bar.removeAttribute("value");
}

function hideProgress() {
  if (pending.size === 0) $("progress").hidden = true;
}

// ---- Files ------------------------------------------------------------------------------------

// {name, state: "opening" | "open" | "failed", file, ...}. Only the file shown keeps its pixels
// (rgba, depth and the views made of them): an image of 8192 x 8192 holds 256 MiB or more, and
// a page that kept every file it opened would grow by that much for each. A file shown again is
// opened again from its file, which the entry keeps.
const entries = [];
let shown = null;

function dropPixels(entry) {
  if (!entry.rgba) return;
  entry.rgba = null;
  entry.depth = null;
  entry.views = {};
}

// The pixels of an open file whose pixels were let go, read again; false when that failed.
async function reopen(entry) {
  const answer = await ask({ type: "open", name: entry.name, file: entry.file }, `opening ${entry.name}`);
  hideProgress();
  if (answer.type === "failed") {
    markFailed(entry, answer.message, answer.description);
    return false;
  }
  entry.rgba = new Uint8Array(answer.rgba);
  entry.depth = answer.depth && new Uint8Array(answer.depth);
  entry.views = {};
  return true;
}

function addEntry(name) {
  const entry = { name, state: "opening" };
  entries.push(entry);
  const item = document.createElement("li");
  const button = document.createElement("button");
  button.type = "button";
  button.textContent = `${name} (opening…)`;
  button.addEventListener("click", () => show(entry));
  item.appendChild(button);
  $("file-list").appendChild(item);
  entry.button = button;
  return entry;
}

function markFailed(entry, message, description) {
  entry.state = "failed";
  entry.message = message;
  entry.description = description;
  entry.button.textContent = `${entry.name} (failed)`;
  entry.button.classList.add("failed");
}

// Opens an .iff file through the module, in the worker.
async function openIff(file) {
  const name = file.name;
  const entry = addEntry(name);
  const started = performance.now();
  const answer = await ask({ type: "open", name, file }, `opening ${name}`);
  entry.ms = performance.now() - started;
  hideProgress();
  if (answer.type === "failed") {
    markFailed(entry, answer.message, answer.description);
  } else {
    const image = answer.description.image;
    Object.assign(entry, {
      state: "open", file, width: answer.width, height: answer.height, description: answer.description,
      note: answer.note, planes: image.planes,
      colourPlanes: image.planeNames.filter((plane) => plane !== "depth").length,
      rgba: new Uint8Array(answer.rgba), depth: answer.depth && new Uint8Array(answer.depth),
      readMs: answer.readMs, openMs: answer.openMs, totalMs: answer.totalMs, views: {},
    });
    entry.button.textContent = name;
    entry.hash = sha256Hex(entry.rgba);
  }
  await show(entry);
  return entry;
}

async function sha256Hex(bytes) {
  const digest = new Uint8Array(await crypto.subtle.digest("SHA-256", bytes));
  return Array.from(digest, (b) => b.toString(16).padStart(2, "0")).join("");
}

// The names of .iff files being saved from PNGs, taken before they are listed.
const savesUnderway = new Set();

// STEM.iff, or the first of "STEM (2).iff", "STEM (3).iff", ... that no file listed or being
// saved has, so that no two files in the list share a name (nor their downloads).
function unlistedName(stem) {
  const taken = (name) => savesUnderway.has(name) || entries.some((entry) => entry.name === name);
  let name = `${stem}.iff`;
  for (let n = 2; taken(name); n++) name = `${stem} (${n}).iff`;
  return name;
}

// A PNG saved as .iff through the module's save: the .iff is offered as a download and opened.
async function savePngAsIff(file) {
  const iffName = unlistedName(file.name.replace(/\.[^.]*$/, ""));
  savesUnderway.add(iffName);
  try {
    await saveAs(file, iffName);
  } finally {
    savesUnderway.delete(iffName);  // listed by now, if the save went through
  }
}

async function saveAs(file, iffName) {
  const name = file.name;
  let image;
  try {
    // The limits are tniff's, checked by the library before anything is decoded.
    image = await decodePng(new Uint8Array(await file.arrayBuffer()), async (width, height, channels) => {
      const answer = await ask({ type: "check", name, width, height, channels }, `reading ${name}`);
      if (answer.type === "failed") throw new Error(answer.message);
    });
  } catch (error) {
    return failSave(error instanceof PngError ? `${name}: ${error.message}` : error.message);
  }
  const answer = await ask({
    type: "save", name: iffName, source: name, width: image.width, height: image.height, channels: image.channels,
    pixels: image.pixels.buffer,
  }, `saving ${iffName}`, [image.pixels.buffer]);
  hideProgress();
  if (answer.type === "failed") return failSave(answer.message);
  const iff = new Uint8Array(answer.bytes);
  const hex = await sha256Hex(iff);
  $("saved").textContent = `${iffName} ${iff.length} bytes sha256=${hex}`;
  download(new Blob([iff], { type: "application/octet-stream" }), iffName);
  await openIff(new File([iff], iffName));
  if (image.sourceBits === 16) showMessage(`${name}: its 16-bit samples are stored as 8 bits; the format holds 8 bits per channel`, true);
}

function failSave(message) {
  hideProgress();
  $("saved").textContent = `error: ${message}`;
  showMessage(message, false);
}

// A file is taken as what its first bytes say, as tniff takes its inputs: a PNG file, whatever
// its name, is saved as .iff; anything else is opened through the module, which says what it is
// when it is not of this format. source: a File, or {name, url} of a file beside the page.
async function openSource(source) {
  let file = source;
  if (!(source instanceof Blob)) {
    try {
      const response = await fetch(source.url);
      if (!response.ok) throw new Error(`cannot open: ${response.status} ${response.statusText}`);
      file = new File([await response.blob()], source.name);
    } catch (error) {
      const entry = addEntry(source.name);
      markFailed(entry, `${source.name}: ${error.message}`, null);
      return show(entry);
    }
  }
  const head = new Uint8Array(await file.slice(0, PNG_SIGNATURE.length).arrayBuffer());
  const png = head.length === PNG_SIGNATURE.length && PNG_SIGNATURE.every((byte, i) => head[i] === byte);
  return png ? savePngAsIff(file) : openIff(file);
}

function openSources(sources) {
  // One after another: the worker runs one request at a time anyway, and the last one is shown.
  let chain = Promise.resolve();
  for (const source of sources) chain = chain.then(() => openSource(source));
  return chain;
}

// ---- Showing a file ---------------------------------------------------------------------------

let view = "colour";
const readoutHint = $("readout").textContent;
let zoom = "fit";  // "fit" or a scale

function showMessage(text, isNote) {
  $("message").textContent = text;
  $("message").classList.toggle("note", !!isNote);
}

async function show(entry) {
  // A readout taken over one file says nothing of the next.
  if (entry !== shown) $("readout").textContent = readoutHint;
  shown = entry;
  for (const other of entries) {
    if (other !== entry) dropPixels(other);
  }
  if (entry.state === "open" && !entry.rgba) {
    if (!(await reopen(entry))) {
      if (shown === entry) return show(entry);  // now as the failure it has become
      return;
    }
    if (shown !== entry) return dropPixels(entry);  // another was asked for meanwhile
  }
  document.body.dataset.pixelsHeld = String(entries.filter((e) => e.rgba).length);
  for (const other of entries) other.button.removeAttribute("aria-current");
  entry.button.setAttribute("aria-current", "true");
  $("details-title").textContent = entry.name;
  const summary = $("summary");
  if (entry.state === "failed") {
    showMessage(entry.message, false);
    describe(entry);
    canvas.width = canvas.height = 0;
    $("empty").textContent = "No image: the module did not open this file.";
    $("empty").hidden = false;
    summary.textContent = `error: ${entry.message}`;
    updateButtons();
    return;
  }
  if (entry.state !== "open") return;
  showMessage(entry.note, true);
  describe(entry);
  $("empty").hidden = true;
  if (view === "depth" && entry.depth === null) view = "colour";
  draw();
  updateButtons();
  const hex = await entry.hash;
  if (shown === entry) summary.textContent = `${entry.width}x${entry.height} ${entry.planes} sha256=${hex}`;
}

function viewPixels(entry, which) {
  if (entry.views[which]) return entry.views[which];
  let pixels;
  if (which === "colour") {
    pixels = new Uint8ClampedArray(entry.rgba.buffer);
  } else {
    const count = entry.width * entry.height;
    pixels = new Uint8ClampedArray(count * 4);
    const source = which === "alpha" ? entry.rgba : entry.depth;
    const step = which === "alpha" ? 4 : 1, offset = which === "alpha" ? 3 : 0;
    for (let i = 0; i < count; i++) {
      const v = source[i * step + offset];
      pixels[4 * i] = pixels[4 * i + 1] = pixels[4 * i + 2] = v;
      pixels[4 * i + 3] = 255;
    }
  }
  entry.views[which] = new ImageData(pixels, entry.width, entry.height);
  return entry.views[which];
}

function draw() {
  const entry = shown;
  if (entry === null || entry.state !== "open") return;
  canvas.width = entry.width;
  canvas.height = entry.height;
  try {
    canvas.getContext("2d").putImageData(viewPixels(entry, view), 0, 0);
  } catch (error) {
    showMessage(`${entry.name}: ${entry.width} by ${entry.height} is more than this browser can draw; its description and downloads are still here`, true);
  }
  applyZoom();
}

function fitScale() {
  const entry = shown;
  const s = Math.min((viewport.clientWidth - 4) / entry.width, (viewport.clientHeight - 4) / entry.height);
  return Math.max(Math.min(s, 8), 1 / 64);
}

function applyZoom() {
  if (shown === null || shown.state !== "open") return;
  const scale = zoom === "fit" ? fitScale() : zoom;
  canvas.style.width = `${shown.width * scale}px`;
  canvas.style.height = `${shown.height * scale}px`;
  for (const button of document.querySelectorAll("[data-zoom]")) {
    const z = button.dataset.zoom;
    if (z === "fit" || z === "1") button.setAttribute("aria-pressed", String(z === "fit" ? zoom === "fit" : zoom === 1));
  }
}

function setZoom(next) {
  if (shown === null || shown.state !== "open") return;
  const current = zoom === "fit" ? fitScale() : zoom;
  if (next === "in") zoom = Math.min(current * 2, 64);
  else if (next === "out") zoom = Math.max(current / 2, 1 / 64);
  else zoom = next === "fit" ? "fit" : Number(next);
  applyZoom();
}

function setView(next) {
  if (next === "depth" && (shown === null || !shown.depth)) return;
  view = next;
  for (const button of document.querySelectorAll("[data-view]")) {
    button.setAttribute("aria-pressed", String(button.dataset.view === view));
  }
  draw();
}

function updateButtons() {
  const open = shown !== null && shown.state === "open";
  const hasDepth = open && shown.depth !== null;
  const hasColour = open && shown.colourPlanes > 0;
  document.querySelector('[data-view="depth"]').disabled = !hasDepth;
  $("download-colour").disabled = !hasColour;
  $("download-depth").disabled = !hasDepth;
  for (const button of document.querySelectorAll("[data-view]")) {
    button.setAttribute("aria-pressed", String(button.dataset.view === view));
  }
}

// What `tniff info` says of the file: the module's view of the image and the file's layout; for
// a file the module refused, the layout up to the damage and why it stops there.
function describe(entry) {
  const list = $("description");
  list.textContent = "";
  const d = entry && entry.description;
  if (!d) return;
  const add = (term, value) => {
    const dt = document.createElement("dt");
    dt.textContent = term;
    const dd = document.createElement("dd");
    dd.textContent = value;
    list.append(dt, dd);
  };
  const image = d.image;
  if (image) {
    add("Size", `${image.width} × ${image.height}`);
    add("Mode", image.mode);
    add("Planes", `${image.planes}: ${image.planeNames.join(", ")}`);
    add("Resolution", image.horizontalDpi > 0 ? `${round(image.horizontalDpi)} × ${round(image.verticalDpi)} dpi` : "not given");
  } else if (d.header) {
    add("Header", `${d.header.width} × ${d.header.height}, ${d.header.flagNames.join(", ") || "no flags"}, ${d.header.tileCount} tiles announced`);
  }
  if (d.fileSize !== undefined) add("File", `${d.fileSize.toLocaleString("en")} bytes`);
  if (d.tileCounts) {
    add("Tiles", `${d.tileCounts.total}: ${d.tileCounts.raw} raw, ${d.tileCounts.compressed} compressed`);
    if (d.rawBytes > 0) add("Pixel data", `${d.storedBytes.toLocaleString("en")} bytes stored, ${(100 * d.storedBytes / d.rawBytes).toFixed(1)}% of raw`);
  }
  const read = d.read;
  if (read) {
    add("Colour tiles", `${read.colourTiles} of ${read.colourTilesExpected} read`);
    if (read.depthTilesExpected > 0 || image.planeNames.includes("depth")) add("Depth tiles", `${read.depthTiles} of ${read.depthTilesExpected} read`);
    const damaged = d.damagedTiles && d.damagedTiles.length > 0;
    add("Complete", read.complete ? "yes" : damaged ? "no: damaged tiles are read as far as their data goes, the rest 0"
      : "no: pixels no tile reached are 0");
  }
  if (d.damage) add("Damage", d.damage.reason);
  if (d.damagedTiles && d.damagedTiles.length > 0) {
    const t = d.damagedTiles[0];
    add("Damaged tiles", `${d.damagedTiles.length}: the first, tile ${t.index} (${t.kind} ${t.x1},${t.y1}-${t.x2},${t.y2} ` +
      `at offset ${t.offset}): ${t.reason}`);
  }
  if (entry.state === "open") {
    add("Opened in", `${Math.round(entry.ms)} ms: reading the file ${Math.round(entry.readMs)} ms, the module's open ` +
      `${Math.round(entry.openMs)} ms, the pixels for the views ${Math.round(entry.totalMs - entry.openMs)} ms`);
  }
}

function round(value) {
  return Math.round(value * 100) / 100;
}

// ---- Pixel readout, panning, keys -------------------------------------------------------------

canvas.addEventListener("pointermove", (event) => {
  const entry = shown;
  if (entry === null || entry.state !== "open") return;
  const rect = canvas.getBoundingClientRect();
  const x = Math.floor(((event.clientX - rect.left) * entry.width) / rect.width);
  const y = Math.floor(((event.clientY - rect.top) * entry.height) / rect.height);
  if (x < 0 || y < 0 || x >= entry.width || y >= entry.height) return;
  const i = y * entry.width + x;
  const p = entry.rgba;
  const depth = entry.depth ? entry.depth[i] : "–";
  $("readout").textContent = `x ${x}  y ${y}  r ${p[4 * i]}  g ${p[4 * i + 1]}  b ${p[4 * i + 2]}  a ${p[4 * i + 3]}  depth ${depth}`;
});

let drag = null;
viewport.addEventListener("pointerdown", (event) => {
  drag = { x: event.clientX, y: event.clientY, left: viewport.scrollLeft, top: viewport.scrollTop };
  viewport.setPointerCapture(event.pointerId);
  viewport.classList.add("dragging");
});
viewport.addEventListener("pointermove", (event) => {
  if (drag === null) return;
  viewport.scrollLeft = drag.left - (event.clientX - drag.x);
  viewport.scrollTop = drag.top - (event.clientY - drag.y);
});
const endDrag = () => {
  drag = null;
  viewport.classList.remove("dragging");
};
viewport.addEventListener("pointerup", endDrag);
viewport.addEventListener("pointercancel", endDrag);

window.addEventListener("resize", () => zoom === "fit" && applyZoom());

document.addEventListener("keydown", (event) => {
  if (event.ctrlKey || event.metaKey || event.altKey) return;
  if (event.target instanceof HTMLInputElement) return;
  const keys = {
    o: () => $("picker").click(), c: () => setView("colour"), a: () => setView("alpha"),
    d: () => setView("depth"), f: () => setZoom("fit"), 1: () => setZoom(1),
    "+": () => setZoom("in"), "=": () => setZoom("in"), "-": () => setZoom("out"),
  };
  const action = keys[event.key];
  if (action) {
    action();
    event.preventDefault();
  }
});

$("open-button").addEventListener("keydown", (event) => {
  if (event.key === "Enter" || event.key === " ") {
    $("picker").click();
    event.preventDefault();
  }
});

for (const button of document.querySelectorAll("[data-view]")) {
  button.addEventListener("click", () => setView(button.dataset.view));
}
for (const button of document.querySelectorAll("[data-zoom]")) {
  button.addEventListener("click", () => setZoom(button.dataset.zoom));
}

// ---- Downloads --------------------------------------------------------------------------------

function download(blob, name) {
  const link = document.createElement("a");
  link.href = URL.createObjectURL(blob);
  link.download = name;
  document.body.appendChild(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
}

function baseName(name) {
  return name.replace(/\.iff$/i, "");
}

$("download-colour").addEventListener("click", async () => {
  const entry = shown;
  const channels = entry.colourPlanes;
  const count = entry.width * entry.height;
  const pixels = new Uint8Array(count * channels);
  // The colour planes as the file has them: gray, RGB or RGBA.
  const pick = channels === 1 ? [0] : channels === 2 ? [0, 3] : channels === 3 ? [0, 1, 2] : [0, 1, 2, 3];
  for (let i = 0; i < count; i++) {
    for (let c = 0; c < channels; c++) pixels[i * channels + c] = entry.rgba[4 * i + pick[c]];
  }
  const png = await encodePng(pixels, entry.width, entry.height, channels, dpiOf(entry));
  download(new Blob([png], { type: "image/png" }), `${baseName(entry.name)}.png`);
});

$("download-depth").addEventListener("click", async () => {
  const entry = shown;
  const png = await encodePng(entry.depth, entry.width, entry.height, 1, dpiOf(entry));
  download(new Blob([png], { type: "image/png" }), `${baseName(entry.name)}-depth.png`);
});

function dpiOf(entry) {
  const image = entry.description.image;
  return { horizontal: image.horizontalDpi, vertical: image.verticalDpi };
}

// ---- Files in ---------------------------------------------------------------------------------

$("picker").addEventListener("change", () => {
  const files = Array.from($("picker").files);
  $("picker").value = "";
  openSources(files);
});

// The sample render that comes with the page, for a first look without a file of one's own.
$("sample-button").addEventListener("click", () => {
  openSources([{ name: "render.iff", url: new URL("render.iff", location.href).href }]);
});

let dragDepth = 0;
window.addEventListener("dragenter", (event) => {
  event.preventDefault();
  dragDepth++;
  $("drop-cover").hidden = false;
});
window.addEventListener("dragleave", () => {
  if (--dragDepth <= 0) {
    dragDepth = 0;
    $("drop-cover").hidden = true;
  }
});
window.addEventListener("dragover", (event) => event.preventDefault());
window.addEventListener("drop", (event) => {
  event.preventDefault();
  dragDepth = 0;
  $("drop-cover").hidden = true;
  openSources(Array.from(event.dataTransfer.files));
});

// ?file=NAME (repeatable) opens NAME from the page's own folder.
const named = new URLSearchParams(location.search).getAll("file");
openSources(named.map((name) => ({ name: name.split("/").pop(), url: new URL(name, location.href).href })));

// Offline once loaded: the service worker keeps the page's files.
if ("serviceWorker" in navigator && location.protocol.startsWith("http")) {
  navigator.serviceWorker.register("offline.js").catch(() => {});
}
