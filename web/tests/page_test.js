// Drives the web page in Debian's headless Chromium, and with --firefox in its Firefox ESR, and
// checks it against tniff. Firefox takes the file cases, the sample and the offline check.
//
//   node page_test.js BASE_URL CASES_JSON FILES_DIR --tniff TNIFF [--screenshot PNG]
//                     [--firefox FIREFOX] [--bench FILE.iff]
//
// BASE_URL serves the site with the test files in files/. CASES_JSON (from expect.py) holds, for
// each file, what tniff gives: the summary line and note of an image, the message of a refusal,
// the bytes of a PNG saved as .iff, and the planes of a few pixels.
"use strict";

const { execFileSync } = require("child_process");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { chromium } = require("playwright-core");

const [base, casesPath, filesDir, ...rest] = process.argv.slice(2);
const option = (name) => {
  const at = rest.indexOf(name);
  return at >= 0 ? rest[at + 1] : undefined;
};
const cases = JSON.parse(fs.readFileSync(casesPath, "utf8"));
const failures = [];
let checks = 0;

function check(label, actual, expected) {
  checks++;
  if (actual !== expected) failures.push(`${label}\n    got:      ${actual}\n    expected: ${expected}`);
}

// Chromium is driven by playwright-core, Firefox by puppeteer-core (playwright drives only its
// own build of Firefox). They differ in how a page is opened and in waitForFunction's arguments.
const viewport = { width: 1366, height: 768 };
const drivers = {
  chromium: {
    // serviceWorkers: whether the page's offline cache may start
    async open(browser, serviceWorkers = false) {
      const context = await browser.newContext({ viewport, serviceWorkers: serviceWorkers ? "allow" : "block" });
      return { page: await context.newPage(), context };
    },
    waitFor: (page, test, arg, timeout) => page.waitForFunction(test, arg, { timeout }),
    goOffline: (page, context) => context.setOffline(true),
    pick: (page, files) => page.setInputFiles("#picker", files),
  },
  firefox: {
    async open(browser) {
      const context = await browser.createBrowserContext();
      const page = await context.newPage();
      await page.setViewport(viewport);
      return { page, context };
    },
    waitFor: (page, test, arg, timeout) => page.waitForFunction(test, { timeout }, arg),
    goOffline: (page) => page.setOfflineMode(true),
    pick: async (page, files) => (await page.$("#picker")).uploadFile(...[].concat(files)),
  },
};
let driver = drivers.chromium;

const text = (page, selector) => page.$eval(selector, (e) => e.textContent);
const filled = (page, selector) =>
  driver.waitFor(page, (s) => document.querySelector(s).textContent !== "", selector, 60000);

// The readout the page must give for a pixel, from the planes tniff wrote for it.
function readoutOf(probe) {
  const v = probe.values;
  const type = probe.tuple;
  let r, g, b, a = 255, depth = "–";
  if (type === "DEPTH") {
    r = g = b = depth = v[0];
  } else if (type.startsWith("GRAYSCALE")) {
    r = g = b = v[0];
    if (type.endsWith("_DEPTH")) depth = v[1];
  } else {
    [r, g, b] = v;
    if (type.startsWith("RGB_ALPHA")) a = v[3];
    if (type.endsWith("_DEPTH")) depth = v[v.length - 1];
  }
  return `x ${probe.x}  y ${probe.y}  r ${r}  g ${g}  b ${b}  a ${a}  depth ${depth}`;
}

async function hover(page, x, y) {
  const box = await page.$eval("#canvas", (c) => {
    const r = c.getBoundingClientRect();
    return { left: r.left, top: r.top, width: r.width, height: r.height, w: c.width, h: c.height };
  });
  await page.mouse.move(box.left + ((x + 0.5) * box.width) / box.w, box.top + ((y + 0.5) * box.height) / box.h);
}

// Every file through ?file=NAME: images, refusals and saves; then the page's sample. Check labels
// name the browser when it is not Chromium.
async function fileCases(browser, label = "") {
  const { page, context } = await driver.open(browser);
  for (const c of cases) {
    await page.goto(`${base}/index.html?file=files/${encodeURIComponent(c.file)}`);
    if (c.saved !== undefined) {
      await filled(page, "#saved");
      check(`${label}${c.file}: saved as .iff`, await text(page, "#saved"), c.saved);
      continue;
    }
    await filled(page, "#summary");
    check(`${label}${c.file}: summary`, await text(page, "#summary"), c.summary);
    if (c.note !== undefined) check(`${label}${c.file}: note`, await text(page, "#message"), c.note);
    const described = await page.$$eval("#description dt", (terms) =>
      Object.fromEntries(terms.map((dt) => [dt.textContent, dt.nextElementSibling.textContent])));
    for (const [term, value] of Object.entries(c.described || {})) {
      check(`${label}${c.file}: description's ${term}`, described[term], value);
    }
    for (const probe of c.probes || []) {
      await hover(page, probe.x, probe.y);
      check(`${label}${c.file}: readout at ${probe.x},${probe.y}`, await text(page, "#readout"), readoutOf(probe));
    }
  }
  await page.goto(`${base}/index.html`);
  await driver.waitFor(page, () => document.body.dataset.worker === "ready", null, 60000);
  await page.click("#sample-button");
  await filled(page, "#summary");
  check(`${label}the page's sample`, await text(page, "#summary"), cases.find((c) => c.file === "render.iff").summary);
  await context.close();
}

// The file picker with several files, the views and zoom by keyboard, and the list of files.
async function pickerAndKeys(browser) {
  const context = await browser.newContext({ viewport: { width: 1366, height: 768 }, serviceWorkers: "block" });
  const page = await context.newPage();
  await page.goto(`${base}/index.html`);
  const render = cases.find((c) => c.file === "render.iff");
  const gray = cases.find((c) => c.file === "gray.iff");
  const png = cases.find((c) => c.file === "rgba8.png");
  await page.setInputFiles("#picker", ["render.iff", "rgba8.png", "gray.iff"].map((f) => path.join(filesDir, f)));
  await page.waitForFunction(() => document.querySelectorAll("#file-list button").length === 3 &&
    document.getElementById("summary").textContent.startsWith("100x70"), null, { timeout: 60000 });
  check("picker: the last file is shown", await text(page, "#summary"), gray.summary);
  const held = () => page.evaluate(() => document.body.dataset.pixelsHeld);
  check("picker: only the file shown keeps its pixels", await held(), "1");
  check("picker: the PNG is saved as .iff", await text(page, "#saved"), png.saved);
  check("picker: the files in order", (await page.$$eval("#file-list button", (b) => b.map((e) => e.textContent))).join(", "),
    "render.iff, rgba8.iff, gray.iff");
  await page.click("#file-list li:first-child button");
  await page.waitForFunction((s) => document.getElementById("summary").textContent === s, render.summary);
  check("list: the first file shown again", await text(page, "#summary"), render.summary);
  check("list: the first file's pixels, read again, are the only ones kept", await held(), "1");

  // Keys: d shows depth, a alpha, c colour; 1 is 1:1, f fits.
  await page.focus("#viewport");
  const pressed = () => page.$eval('[data-view][aria-pressed="true"]', (e) => e.dataset.view);
  for (const [key, shown] of [["d", "depth"], ["a", "alpha"], ["c", "colour"]]) {
    await page.keyboard.press(key);
    check(`key ${key}`, await pressed(), shown);
  }
  await page.keyboard.press("1");
  check("key 1: one image pixel per screen pixel", await page.$eval("#canvas", (c) => c.style.width), "360px");
  await page.keyboard.press("f");
  check("key f: fit", await page.$eval('[data-zoom="fit"]', (e) => e.getAttribute("aria-pressed")), "true");
  // The depth view shows the depth plane as gray: its pixel under a probe is the depth value.
  await page.keyboard.press("d");
  const probe = render.probes[2];
  const depthShown = await page.$eval("#canvas", (c, p) => c.getContext("2d").getImageData(p.x, p.y, 1, 1).data[0], probe);
  check("depth view: the depth plane as gray", depthShown, probe.values[4]);
  // The first stop of Tab is the open button.
  await page.click("h1");
  await page.keyboard.press("Tab");
  check("Tab reaches the open button first", await page.evaluate(() => document.activeElement.id), "open-button");
  await context.close();
}

// What the screen shows of the colour view's top left corner, 32 x 32 image pixels that are
// transparent in render.iff: "checkerboard" when every screen pixel there is the checkerboard's
// white or gray, else how many are not. Read from a screenshot, as the compositor drew it: the
// canvas's own pixels are right even when the screen is not.
async function cornerShown(page) {
  const clip = await page.$eval("#canvas", (c) => {
    const r = c.getBoundingClientRect();
    const side = (size, pixels) => Math.max(1, Math.floor((32 * size) / pixels));
    return { x: Math.ceil(r.left), y: Math.ceil(r.top), width: side(r.width, c.width), height: side(r.height, c.height) };
  });
  const png = await page.screenshot({ clip });
  const counts = await page.evaluate(async (b64) => {
    const bitmap = await createImageBitmap(await (await fetch(`data:image/png;base64,${b64}`)).blob());
    const context = new OffscreenCanvas(bitmap.width, bitmap.height).getContext("2d");
    context.drawImage(bitmap, 0, 0);
    const d = context.getImageData(0, 0, bitmap.width, bitmap.height).data;
    let white = 0, gray = 0, other = 0;
    for (let i = 0; i < d.length; i += 4) {
      const [r, g, b] = [d[i], d[i + 1], d[i + 2]];
      if (r >= 250 && g >= 250 && b >= 250) white++;
      else if (Math.abs(r - 200) <= 8 && Math.abs(g - 200) <= 8 && Math.abs(b - 200) <= 8) gray++;
      else other++;
    }
    return { white, gray, other };
  }, png.toString("base64"));
  return counts.other === 0 && counts.white > 0 && counts.gray > 0 ? "checkerboard"
    : `${counts.white} white, ${counts.gray} gray and ${counts.other} other screen pixels`;
}

// What the page keeps from one file or view to the next: the colour view over the checkerboard
// after the other views (for every file shown after them too), the readout of the file shown,
// the name of a PNG saved as .iff beside the names listed, and the page's own files (its icon)
// loaded without a failed request. Each row acts, then says what must hold; rows build on the
// rows before them.
async function acrossFiles(browser) {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), "tarniff-web-"));
  fs.copyFileSync(path.join(filesDir, "rgba8.png"), path.join(work, "render.png"));
  const context = await browser.newContext({ viewport, serviceWorkers: "block", acceptDownloads: true });
  const page = await context.newPage();
  const failedLoads = [];
  page.on("console", (m) => m.type() === "error" && failedLoads.push(m.text()));
  page.on("requestfailed", (r) => failedLoads.push(`${r.url()}: ${r.failure().errorText}`));
  const render = cases.find((c) => c.file === "render.iff");
  const gray = cases.find((c) => c.file === "gray.iff");
  const placeholder = "x, y, r, g, b, a, depth under the cursor";
  const summaryIs = (expected) => page.waitForFunction((s) => document.getElementById("summary").textContent === s,
    expected, { timeout: 60000 });
  const listed = () => page.$$eval("#file-list button", (b) => b.map((e) => e.textContent).join(", "));
  const keys = async (...pressed) => {
    await page.focus("#viewport");
    for (const key of pressed) await page.keyboard.press(key);
  };
  const showListed = async (index, expected) => {
    await page.click(`#file-list li:nth-child(${index}) button`);
    await summaryIs(expected.summary);
  };
  // A PNG picked while its .iff name is listed; its download is the name it is listed under.
  const savePng = async (file, count) => {
    const [download] = await Promise.all([page.waitForEvent("download"), page.setInputFiles("#picker", file)]);
    await page.waitForFunction((n) => document.querySelectorAll("#file-list button").length === n &&
      !document.querySelector("#file-list li:last-child button").textContent.includes("opening"), count, { timeout: 60000 });
    return `${download.suggestedFilename()}; ${(await text(page, "#saved")).replace(/ \d+ bytes sha256=\w+$/, "")}`;
  };
  const rows = [
    ["the colour view of a file with alpha", () => page.goto(`${base}/index.html?file=files/render.iff`).then(() => summaryIs(render.summary)),
      () => cornerShown(page), "checkerboard"],
    ["the colour view after the alpha view", () => keys("a", "c"), () => cornerShown(page), "checkerboard"],
    ["the colour view after the depth view", () => keys("d", "c"), () => cornerShown(page), "checkerboard"],
    ["the colour view after the depth view, zoomed", () => keys("d", "1", "c"), () => cornerShown(page), "checkerboard"],
    ["a file opened after the depth view", async () => {
      await keys("f", "d", "c");
      await page.evaluate(() => { document.getElementById("summary").textContent = ""; });
      await page.setInputFiles("#picker", path.join(filesDir, "render.iff"));
      await summaryIs(render.summary);
    }, () => cornerShown(page), "checkerboard"],
    ["a file shown again after the depth view", async () => {
      await keys("d");
      await page.setInputFiles("#picker", path.join(filesDir, "gray.iff"));
      await summaryIs(gray.summary);
      await keys("c");
      await showListed(1, render);
    }, () => cornerShown(page), "checkerboard"],
    ["the readout of the file shown", () => hover(page, render.probes[2].x, render.probes[2].y),
      () => text(page, "#readout"), readoutOf(render.probes[2])],
    ["the readout once another file is shown", () => showListed(3, gray), () => text(page, "#readout"), placeholder],
    ["the readout over the file now shown", () => hover(page, gray.probes[2].x, gray.probes[2].y),
      () => text(page, "#readout"), readoutOf(gray.probes[2])],
    ["the readout once a file that failed is shown", async () => {
      await page.setInputFiles("#picker", path.join(filesDir, "short.iff"));
      await page.waitForFunction(() => document.getElementById("summary").textContent.startsWith("error:"), null, { timeout: 60000 });
    }, () => text(page, "#readout"), placeholder],
    ["a PNG saved under a name not yet listed", () => null, () => savePng(path.join(filesDir, "rgba8.png"), 5),
      "rgba8.iff; rgba8.iff"],
    ["a PNG saved again", () => null, () => savePng(path.join(filesDir, "rgba8.png"), 6), "rgba8 (2).iff; rgba8 (2).iff"],
    ["a PNG saved a third time", () => null, () => savePng(path.join(filesDir, "rgba8.png"), 7), "rgba8 (3).iff; rgba8 (3).iff"],
    ["a PNG whose .iff name an opened file has", () => null, () => savePng(path.join(work, "render.png"), 8),
      "render (2).iff; render (2).iff"],
    ["the names listed", () => null, listed,
      "render.iff, render.iff, gray.iff, short.iff (failed), rgba8.iff, rgba8 (2).iff, rgba8 (3).iff, render (2).iff"],
    ["the page's icon", () => null, () => page.evaluate(async () => {
      const link = document.querySelector('link[rel~="icon"]');
      if (link === null) return "no icon link";
      const response = await fetch(link.href);
      return `${response.status} ${response.headers.get("content-type")}`;
    }), "200 image/svg+xml"],
    ["requests that failed while the page was used", () => null, () => failedLoads.join("; "), ""],
  ];
  try {
    for (const [label, act, look, expected] of rows) {
      await act();
      check(`across files: ${label}`, await look(), expected);
    }
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
    await context.close();
  }
}

// The colour and depth downloads hold tniff's pixels: each PNG, saved as .iff by tniff, gives the
// same bytes as tniff's own PNG of the same file does (libpng reads both).
async function downloads(browser) {
  const tniff = option("--tniff");
  const work = fs.mkdtempSync(path.join(os.tmpdir(), "tarniff-web-"));
  const context = await browser.newContext({ viewport: { width: 1366, height: 768 }, serviceWorkers: "block", acceptDownloads: true });
  const page = await context.newPage();
  try {
    for (const [file, depth] of [["render.iff", true], ["gray-depth.iff", true], ["rgba.iff", false], ["few-tiles.iff", false]]) {
      await page.goto(`${base}/index.html?file=files/${file}`);
      await filled(page, "#summary");
      const stem = file.replace(/\.iff$/, "");
      const run = (...args) => execFileSync(tniff, ["--quiet", ...args], { cwd: work });
      const hasDepth = !(await page.$eval("#download-depth", (b) => b.disabled));
      check(`${file}: a depth download when the file has depth`, hasDepth, depth);
      run("convert", "--partial", path.join(filesDir, file), "tniff.png", ...(hasDepth ? ["--depth", "tniff-depth.png"] : []));
      const targets = [["#download-colour", `${stem}.png`, "tniff.png"]];
      if (hasDepth) targets.push(["#download-depth", `${stem}-depth.png`, "tniff-depth.png"]);
      for (const [button, name, theirs] of targets) {
        const [download] = await Promise.all([page.waitForEvent("download"), page.click(button)]);
        check(`${file}: ${button}'s name`, download.suggestedFilename(), name);
        await download.saveAs(path.join(work, "page.png"));
        run("convert", "page.png", "page.iff");
        run("convert", theirs, "tniff.iff");
        check(`${file}: ${button} has tniff's pixels`, fs.readFileSync(path.join(work, "page.iff")).equals(fs.readFileSync(path.join(work, "tniff.iff"))), true);
        fs.rmSync(path.join(work, "page.iff"));
        fs.rmSync(path.join(work, "tniff.iff"));
      }
      fs.rmSync(path.join(work, "tniff.png"), { force: true });
      fs.rmSync(path.join(work, "tniff-depth.png"), { force: true });
    }
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
    await context.close();
  }
}

// Once loaded, the page works with no network: it opens a file from the picker offline, and its
// own sample; its worker, which warms up on the sample, says it is ready.
async function offline(browser, label = "") {
  const { page, context } = await driver.open(browser, true);
  await page.goto(`${base}/index.html`);
  await page.evaluate(() => navigator.serviceWorker.ready);
  await driver.waitFor(page, async () => (await caches.keys()).length > 0 &&
    (await (await caches.open((await caches.keys())[0])).keys()).length === 10, null, 30000);
  await driver.goOffline(page, context);
  const stillOnline = await page.evaluate(() => fetch(`files/gray.iff?${Math.random()}`).then(() => true, () => false));
  check(`${label}offline: a file the page does not keep cannot be fetched`, stillOnline, false);
  await page.reload();
  await driver.pick(page, path.join(filesDir, "render.iff"));
  await filled(page, "#summary");
  const render = cases.find((c) => c.file === "render.iff").summary;
  check(`${label}offline: a picked file opens`, await text(page, "#summary"), render);
  await driver.waitFor(page, () => document.body.dataset.worker === "ready", null, 30000);
  await page.evaluate(() => { document.getElementById("summary").textContent = ""; });
  await page.click("#sample-button");
  await filled(page, "#summary");
  check(`${label}offline: the page's sample opens`, await text(page, "#summary"), render);
  await context.close();
}

async function screenshot(browser, file) {
  const context = await browser.newContext({ viewport: { width: 1366, height: 768 }, serviceWorkers: "block" });
  const page = await context.newPage();
  await page.goto(`${base}/index.html?file=files/render.iff`);
  await filled(page, "#summary");
  await hover(page, 150, 120);
  await page.screenshot({ path: file });
  await context.close();
}

// The page's open of FILE against tniff's: tniff converts FILE to PAM five times (its open as a user
// runs it); then three fresh pages each wait for their worker to be ready, as a user picks a file
// on a loaded page, and open FILE through the picker three times. Prints every open's parts and
// the medians of the first opens and of the later ones, each against tniff's median.
async function bench(browser, file) {
  const median = (xs) => xs.slice().sort((a, b) => a - b)[Math.floor(xs.length / 2)];
  const tniff = option("--tniff");
  const pam = path.join(fs.mkdtempSync(path.join(os.tmpdir(), "tniff-bench-")), "out.pam");
  const native = [];
  for (let run = 0; run < 5; run++) {
    const started = process.hrtime.bigint();
    execFileSync(tniff, ["convert", file, pam]);
    native.push(Number(process.hrtime.bigint() - started) / 1e6);
    fs.rmSync(pam);
  }
  fs.rmSync(path.dirname(pam), { recursive: true });
  console.log(`tniff convert FILE out.pam: ${native.map(Math.round).join(", ")} ms`);
  const firsts = [], laters = [];
  for (let round = 0; round < 3; round++) {
    const context = await browser.newContext({ viewport: { width: 1366, height: 768 }, serviceWorkers: "block" });
    const page = await context.newPage();
    await page.goto(`${base}/index.html`);
    await page.waitForFunction(() => document.body.dataset.worker === "ready", null, { timeout: 60000 });
    for (let run = 0; run < 3; run++) {
      await page.evaluate(() => { document.getElementById("summary").textContent = ""; });
      await page.setInputFiles("#picker", file);
      await filled(page, "#summary");
      const opened = await page.$eval("#description", (d) => d.textContent.match(/Opened in(\d+) ms: reading the file (\d+) ms, the module's open (\d+) ms, the pixels for the views (\d+) ms/));
      (run === 0 ? firsts : laters).push(Number(opened[1]));
      console.log(`page ${round + 1}, open ${run + 1}: ${opened[1]} ms from the file to the image: reading the file ${opened[2]} ms, ` +
        `the open in the worker ${opened[3]} ms, RGBA ${opened[4]} ms; ${await text(page, "#summary")}`);
    }
    await context.close();
  }
  const tniffMs = median(native);
  const against = (ms) => `${ms} ms, ${(ms / tniffMs).toFixed(2)} times tniff's ${Math.round(tniffMs)} ms`;
  console.log(`first open in a page: median ${against(median(firsts))}; later opens: median ${against(median(laters))}`);
}

(async () => {
  const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || "/usr/bin/chromium", args: ["--no-sandbox"] });
  try {
    if (option("--bench")) {
      await bench(browser, option("--bench"));
      return;
    }
    await fileCases(browser);
    await pickerAndKeys(browser);
    await acrossFiles(browser);
    await downloads(browser);
    await offline(browser);
    if (option("--screenshot")) await screenshot(browser, option("--screenshot"));
  } finally {
    await browser.close();
  }
  if (option("--firefox")) {
    const puppeteer = require("puppeteer-core");
    const firefox = await puppeteer.launch({ browser: "firefox", executablePath: option("--firefox"), headless: true });
    driver = drivers.firefox;
    try {
      await fileCases(firefox, "Firefox: ");
      await offline(firefox, "Firefox: ");
    } finally {
      await firefox.close();
    }
  }
  for (const failure of failures) console.log(`FAIL ${failure}`);
  console.log(`web page: ${checks - failures.length} of ${checks} checks passed (${cases.length} files)`);
  process.exitCode = failures.length === 0 ? 0 : 1;
})().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
