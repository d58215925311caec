// The page's worker: it holds the WebAssembly build of the module, our host and the library, and
// runs every open and save, so that the page never waits on one. A file to open is handed to the
// library as bytes in the WebAssembly heap; a save writes its file into the worker's in-memory
// file system, which is read back from there.
//
// Requests (one at a time, in order):
//   {type: "open", id, name, file}            file: a File or Blob
//   {type: "check", id, name, width, height, channels}   whether such an image may be saved
//   {type: "save", id, name, source, width, height, channels, pixels}
//       name: the .iff file's; source: the file the pixels came from; pixels: ArrayBuffer,
//       8-bit interleaved
// Answers: {type: "ready"} once, when the worker has started; to a request
// {type: "progress", id, done, total}, then {type: "opened", id, ...},
// {type: "checked", id}, {type: "saved", id, bytes} or {type: "failed", id, message}.
"use strict";

importScripts("tarniff_web.js");

let current = null;  // the request running, for progress
let lastPercent = -1;
function start() {
  return createTarnIff({
    onProgress(done, total) {
      if (current === null || total <= 0) return;
      const percent = Math.floor((100 * done) / total);
      if (percent === lastPercent) return;
      lastPercent = percent;
      postMessage({ type: "progress", id: current, done, total });
    },
    print() {},
    printErr() {},
  });
}
// The browser first runs the WebAssembly as quickly compiled code, and compiles a function again,
// fast, in the background once it has run a while; a call already running keeps the slow code
// until it returns. Left alone, the user's first file would be read mostly by the slow code (each
// pass over the tiles is one call), and its open would take half as long again as every later
// one. So before it takes requests the worker opens the page's sample (a render with a depth
// buffer, which takes the module's every path of a read) a few times, pausing between them for the
// compiler: about half a second while the page loads. A request that comes in meanwhile ends the
// warming: the user is not kept waiting for it.
let asked = false;  // a request has come in
async function warmUp(wasm) {
  const response = await fetch("render.iff");
  if (!response.ok) return;
  const sample = new Blob([await response.arrayBuffer()]);
  for (let run = 0; run < 3 && !asked; run++) {
    await open(wasm, { name: "render.iff", file: sample });
    await new Promise((resolve) => setTimeout(resolve, 150));
  }
}

// A worker ready for requests; the page hears "ready" when it is.
function begin() {
  return start().then(async (wasm) => {
    try {
      await warmUp(wasm);
    } catch (error) {
      // Only the speed of the first open depends on it; an instance a trap left unusable is
      // replaced.
      if (error instanceof WebAssembly.RuntimeError) wasm = await start();
    }
    postMessage({ type: "ready" });
    return wasm;
  });
}
let ready = begin();

// The name a file takes in the folder: its own, unless that cannot be a file's name there.
function fileName(name) {
  return name === "" || name === "." || name === ".." || name.includes("/") ? "unnamed.iff" : name;
}

function enterFolder(wasm) {
  if (!wasm.FS.analyzePath("/files").exists) wasm.FS.mkdir("/files");
  wasm.FS.chdir("/files");
}

function withString(wasm, text, use) {
  const size = wasm.lengthBytesUTF8(text) + 1;
  const at = wasm._malloc(size);
  wasm.stringToUTF8(text, at, size);
  try {
    return use(at);
  } finally {
    wasm._free(at);
  }
}

function message(wasm) {
  return wasm.UTF8ToString(wasm._tw_message());
}

async function open(wasm, request) {
  const reading = performance.now();
  let bytes = new Uint8Array(await request.file.arrayBuffer());
  const readMs = performance.now() - reading;
  const size = bytes.length;
  const started = performance.now();
  const held = wasm._malloc(Math.max(1, size));
  if (held === 0) {
    return { type: "failed", message: `${request.name}: the page's memory cannot hold the file (${size} bytes)`, description: null };
  }
  let failed;
  try {
    wasm.HEAPU8.set(bytes, held);
    bytes = null;  // the heap's copy is the one the library reads
    failed = withString(wasm, request.name, (n) => wasm._tw_open_bytes(held, size, n));
  } finally {
    wasm._free(held);
  }
  const openMs = performance.now() - started;
  const text = wasm.UTF8ToString(wasm._tw_description());
  const description = text === "" ? null : JSON.parse(text);
  if (failed) {
    wasm._tw_close();
    return { type: "failed", message: message(wasm), description };
  }
  const note = message(wasm);
  const planeNames = description.image.planeNames;
  const depthPlane = planeNames.indexOf("depth");
  const width = wasm._tw_width(), height = wasm._tw_height();
  // RGBA in blocks of rows, so that the heap never holds a second whole image.
  const rgba = new Uint8Array(width * height * 4);
  const blockRows = Math.max(1, Math.floor((1 << 22) / Math.max(1, width * 4)));
  const block = wasm._malloc(width * 4 * Math.min(blockRows, height));
  try {
    for (let top = 0; top < height; top += blockRows) {
      const count = Math.min(blockRows, height - top);
      wasm._tw_rgba_rows(top, count, block);
      rgba.set(wasm.HEAPU8.subarray(block, block + width * 4 * count), top * width * 4);
    }
  } finally {
    wasm._free(block);
  }
  let depth = null;
  if (depthPlane >= 0) {
    const at = wasm._tw_plane(depthPlane);
    depth = wasm.HEAPU8.slice(at, at + width * height);
  }
  wasm._tw_close();
  const totalMs = performance.now() - started;
  return {
    type: "opened", description, note, width, height, rgba: rgba.buffer,
    depth: depth === null ? null : depth.buffer, readMs, openMs, totalMs,
    transfer: depth === null ? [rgba.buffer] : [rgba.buffer, depth.buffer],
  };
}

function check(wasm, request) {
  const failed = withString(wasm, request.name, (n) => wasm._tw_check(request.width, request.height, request.channels, n));
  return failed ? { type: "failed", message: message(wasm) } : { type: "checked" };
}

function save(wasm, request) {
  enterFolder(wasm);
  const path = fileName(request.name);
  const pixels = new Uint8Array(request.pixels);
  const at = wasm._malloc(Math.max(1, pixels.length));
  let failed;
  try {
    wasm.HEAPU8.set(pixels, at);
    failed = withString(wasm, path, (p) => withString(wasm, request.source, (n) =>
      wasm._tw_save(at, request.width, request.height, request.channels, p, n)));
  } finally {
    wasm._free(at);
  }
  let bytes = null;
  try {
    if (!failed) bytes = wasm.FS.readFile(path);
  } finally {
    try { wasm.FS.unlink(path); } catch (e) { /* a save that failed early made no file */ }
  }
  if (failed) return { type: "failed", message: message(wasm) };
  return { type: "saved", bytes: bytes.buffer, transfer: [bytes.buffer] };
}

let queue = Promise.resolve();
onmessage = (event) => {
  const request = event.data;
  asked = true;
  queue = queue.then(async () => {
    current = request.id;
    lastPercent = -1;
    let answer;
    try {
      const wasm = await ready;
      answer = request.type === "open" ? await open(wasm, request)
        : request.type === "check" ? check(wasm, request) : save(wasm, request);
    } catch (error) {
      const why = error && error.message ? error.message : String(error);
      answer = { type: "failed", message: `${request.name}: ${why}` };
      // A trap leaves the WebAssembly instance unusable: the next request gets a fresh one.
      if (error instanceof WebAssembly.RuntimeError) ready = begin();
    }
    current = null;
    const transfer = answer.transfer || [];
    delete answer.transfer;
    answer.id = request.id;
    postMessage(answer, transfer);
  });
};
