// The page's service worker: it keeps the page's own files, so that the page opens and works
// with no network once it has been loaded. Files the user opens are never fetched or kept.
"use strict";

const CACHE = "tarniff-@SITE_VERSION@";
const FILES = ["./", "index.html", "style.css", "favicon.svg", "png.js", "page.js", "worker.js",
  "tarniff_web.js", "tarniff_web.wasm", "render.iff"];

self.addEventListener("install", (event) => {
  event.waitUntil(caches.open(CACHE).then((cache) => cache.addAll(FILES)).then(() => self.skipWaiting()));
});

self.addEventListener("activate", (event) => {
  event.waitUntil(caches.keys()
    .then((names) => Promise.all(names.filter((name) => name !== CACHE).map((name) => caches.delete(name))))
    .then(() => self.clients.claim()));
});

self.addEventListener("fetch", (event) => {
  const url = new URL(event.request.url);
  if (event.request.method !== "GET" || url.origin !== location.origin) return;
  const scope = new URL(self.registration.scope);
  const path = url.pathname.startsWith(scope.pathname) ? url.pathname.slice(scope.pathname.length) : null;
  const file = path === "" ? "./" : path;
  if (file === null || !FILES.includes(file)) return;
  // The page's own files: from the cache, the network only when the cache lacks one.
  event.respondWith(caches.match(file === "./" ? "./" : file, { ignoreSearch: true })
    .then((hit) => hit || fetch(event.request)));
});
