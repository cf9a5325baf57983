#include "web/WebView.h"

// Polls /status.json once a second; at each new tick it reloads the two
// images, the fields and the plot, and the gallery when a snapshot appeared.
const char* const kWebPage = R"page(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>trailcam</title>
<style>
  body { margin: 0; font: 15px/1.4 system-ui, sans-serif; background: #0b0d12; color: #dde3ea; }
  header { padding: 10px 14px; display: flex; flex-wrap: wrap; gap: 4px 16px; align-items: baseline; }
  h1 { font-size: 18px; margin: 0; }
  #state { color: #8fa1b3; }
  main { padding: 0 14px 20px; }
  .views { display: grid; grid-template-columns: repeat(auto-fit, minmax(280px, 1fr)); gap: 10px; }
  figure { margin: 0; } figcaption { color: #8fa1b3; font-size: 13px; }
  figure img { width: 100%; background: #000; border-radius: 4px; display: block; }
  dl { display: grid; grid-template-columns: repeat(auto-fit, minmax(160px, 1fr)); gap: 8px; margin: 14px 0; }
  dl div { background: #161a22; border-radius: 6px; padding: 8px 10px; }
  dt { color: #8fa1b3; font-size: 12px; } dd { margin: 0; font-size: 20px; }
  svg { width: 100%; height: 160px; background: #161a22; border-radius: 6px; }
  .legend span { margin-right: 14px; font-size: 13px; }
  #gallery { display: grid; grid-template-columns: repeat(auto-fill, minmax(140px, 1fr)); gap: 8px; }
  #gallery a { color: #8fa1b3; text-decoration: none; font-size: 12px; }
  #gallery img { width: 100%; border-radius: 4px; display: block; }
  h2 { font-size: 15px; margin: 18px 0 8px; }
  #trailTime { color: #8fa1b3; font-size: 13px; min-height: 1.4em; }
  #scale { display: none; align-items: center; gap: 6px; font-size: 12px; color: #8fa1b3; }
  #scale img { height: 10px; width: 160px; }
  #events { display: grid; grid-template-columns: repeat(auto-fill, minmax(160px, 1fr)); gap: 8px; }
  #events div { background: #161a22; border-radius: 6px; padding: 6px; font-size: 12px; color: #8fa1b3; }
  #events img { width: 100%; border-radius: 4px; display: block; }
  #events a, #gallery a, #products a { color: #8fa1b3; }
  #timeline { display: flex; align-items: flex-end; height: 64px; gap: 1px; overflow-x: auto; }
  #timeline span { flex: 0 0 6px; background: #4fb3ff; }
  #timeline span.out { background: #e0524f; }
  #timeline.edit span { cursor: pointer; }
  #keogram { max-width: 100%; image-rendering: pixelated; background: #000; }
</style>
</head>
<body>
<header><h1>trailcam</h1><span id="device"></span><span id="state">waiting for the first tick</span></header>
<main>
<div class="views">
  <figure><img id="frame" alt="latest camera image"><figcaption>camera, latest tick</figcaption></figure>
  <figure><img id="trail" alt="trail"><figcaption>trail: brightest value of every image since the last snapshot
    <div id="trailTime"></div></figcaption></figure>
</div>
<dl>
  <div><dt>images merged in the last second (freq)</dt><dd id="freq">-</dd></div>
  <div><dt>images in the trail (frameCounter)</dt><dd id="frameCounter">-</dd></div>
  <div><dt>growth of the trail in the last second (diff)</dt><dd id="diff">-</dd></div>
  <div><dt>last snapshot number (trackCounter)</dt><dd id="trackCounter">-</dd></div>
  <div><dt>snapshot pending (save)</dt><dd id="save">-</dd></div>
  <div><dt>time left before it is written (saveTimeout)</dt><dd id="saveTimeout">-</dd></div>
  <div id="exposureBox" style="display:none"><dt>exposure in progress</dt><dd id="exposure">-</dd></div>
  <div id="skyBox" style="display:none"><dt>sky</dt><dd id="sky">-</dd></div>
  <div id="uploadBox" style="display:none"><dt>files waiting to be uploaded</dt><dd id="upload">-</dd></div>
</dl>
<h2>last hour</h2>
<div class="legend"><span style="color:#f5b942">&#9632; diff (growth)</span><span style="color:#4fb3ff">&#9632; freq (images/s)</span></div>
<svg id="plot" viewBox="0 0 600 160" preserveAspectRatio="none">
  <polyline id="diffLine" fill="none" stroke="#f5b942" stroke-width="1.5" vector-effect="non-scaling-stroke"/>
  <polyline id="freqLine" fill="none" stroke="#4fb3ff" stroke-width="1.5" vector-effect="non-scaling-stroke"/>
</svg>
<div id="skyChart" style="display:none">
<h2>the sky tonight</h2>
<div class="legend"><span style="color:#e8e8e8">&#9632; stars</span><span style="color:#6fd08c">&#9632; clear (0 to 100 %)</span><span style="color:#c08cff">&#9632; background</span></div>
<svg id="skyPlot" viewBox="0 0 600 180" preserveAspectRatio="none">
  <polyline id="starsLine" fill="none" stroke="#e8e8e8" stroke-width="1.5" vector-effect="non-scaling-stroke"/>
  <polyline id="clearLine" fill="none" stroke="#6fd08c" stroke-width="1.5" vector-effect="non-scaling-stroke"/>
  <polyline id="backgroundLine" fill="none" stroke="#c08cff" stroke-width="1.5" vector-effect="non-scaling-stroke"/>
  <line x1="0" y1="158" x2="600" y2="158" stroke="#555"/>
  <text id="skyTop" x="4" y="12" fill="#aaa" font-size="11"></text>
  <text id="skyStart" x="4" y="174" fill="#aaa" font-size="11"></text>
  <text id="skyEnd" x="596" y="174" fill="#aaa" font-size="11" text-anchor="end"></text>
</svg>
</div>
<h2>snapshots, newest first</h2>
<div id="scale"><span>start</span><img src="time-scale.png" alt="time scale"><span>end</span>
  <span>(colours of the time maps: when each pixel last rose)</span></div>
<div id="gallery">none yet</div>
<h2>events, newest first (all of them: <a href="events.json">events.json</a>)</h2>
<div id="events">none yet</div>
<h2>night products</h2>
<figure id="keogramBox" style="display:none"><img id="keogram" alt="the night's keogram">
  <figcaption>keogram of the night so far: a column every few seconds, the hours below</figcaption></figure>
<div id="products">none yet</div>
<div id="segmentsBox" style="display:none">
<h2>the night in segments</h2>
<figure id="starBox" style="display:none"><img id="startrail" alt="the night's star trail">
  <figcaption>the night's star trail: its segments composed, those marked left out</figcaption></figure>
<div id="timeline"></div>
<div class="legend" id="timelineHelp">a bar a segment, as high as its background; red: left out (hazy or by hand)</div>
</div>
</main>
<script>
"use strict";
const $ = (id) => document.getElementById(id);
let history = [], lastTick = -1, lastSnapshot = "", lastEvent = "", lastQuality = "";
const when = (time) => time.replace("T", " ").replace("Z", " UTC");
function timeLeft(seconds) {
  const m = Math.floor(seconds / 60), s = seconds % 60;
  return m > 0 ? m + " min " + s + " s" : s + " s";
}
function draw() {
  const end = history.length ? history[history.length - 1][0] : 0;
  history = history.filter((p) => p[0] >= end - 3600);
  // The last hour, or as much of it as there is (at least a minute).
  const start = history.length ? Math.min(history[0][0], end - 60) : end - 60, span = end - start;
  const line = (index) => {
    const top = Math.max(1, ...history.map((p) => p[index]));
    return history.map((p) => ((p[0] - start) / span * 600).toFixed(1) + "," + (158 - p[index] / top * 150).toFixed(1))
      .join(" ");
  };
  $("diffLine").setAttribute("points", line(1));
  $("freqLine").setAttribute("points", line(2));
}
// The night's measurements of the sky: stars and background each to its
// highest, clear from 0 to 1; times along the bottom, the highest at the top.
async function sky() {
  const night = await (await fetch("quality.json", {cache: "no-store"})).json();
  if (!night.length) return;
  $("skyChart").style.display = "";
  const start = night[0][0], span = Math.max(60, night[night.length - 1][0] - start);
  const most = (index) => Math.max(1, ...night.map((p) => p[index]));
  const line = (index, top) => night.map((p) => ((p[0] - start) / span * 600).toFixed(1) + "," +
    (158 - p[index] / top * 146).toFixed(1)).join(" ");
  $("starsLine").setAttribute("points", line(1, most(1)));
  $("clearLine").setAttribute("points", line(2, 1));
  $("backgroundLine").setAttribute("points", line(3, most(3)));
  $("skyTop").textContent = "top: " + most(1) + " stars, clear 100 %, background " + most(3);
  const hhmm = (t) => new Date(t * 1000).toISOString().slice(11, 16) + " UTC";
  $("skyStart").textContent = hhmm(start);
  $("skyEnd").textContent = hhmm(start + span);
}
async function gallery() {
  const list = await (await fetch("snapshots.json", {cache: "no-store"})).json();
  const box = $("gallery");
  box.replaceChildren();
  for (const s of list) {
    const a = document.createElement("a"), img = document.createElement("img");
    a.href = "snapshots/" + s.name;
    img.src = "snapshots/" + s.name;
    img.alt = s.name;
    img.loading = "lazy";
    a.append(img, s.name + " " + (s.start ? when(s.start) + " to " + s.end.slice(11, 23) : when(s.time)));
    box.append(a);
    if (s.timeMap) {
      const map = document.createElement("a"), mapImg = document.createElement("img");
      map.href = mapImg.src = "snapshots/" + s.name.replace(".jpg", "-time.jpg");
      mapImg.alt = "time map of " + s.name;
      mapImg.loading = "lazy";
      map.append(mapImg, "time map of " + s.name);
      box.append(map);
      $("scale").style.display = "flex";
    }
  }
  if (!list.length) box.textContent = "none yet";
}
async function events() {
  const list = await (await fetch("events.json", {cache: "no-store"})).json();
  const box = $("events");
  box.replaceChildren();
  for (const e of list.slice(0, 24)) {
    const div = document.createElement("div"), img = document.createElement("img");
    img.src = e.thumbnail;
    img.alt = e.meteor ? "meteor" : "event";
    div.append(img, when(e.time) + (e.meteor ? ", meteor: " + e.meteor.length.toFixed(0) + " px in " +
      ((Date.parse(e.meteor.end) - Date.parse(e.meteor.start)) / 1000).toFixed(2) + " s" : ", diff " + e.diff));
    if (e.clip) {
      const a = document.createElement("a");
      a.href = "clips/" + e.clip + ".avi";
      a.textContent = " clip";
      div.append(a);
    }
    box.append(div);
  }
  if (!list.length) box.textContent = "none yet";
}
// The keogram and the night products, once a minute.
async function products() {
  $("keogram").src = "keogram.png?t=" + Date.now();
  const list = await (await fetch("products.json", {cache: "no-store"})).json();
  const box = $("products");
  box.replaceChildren();
  const star = list.filter((p) => p.kind === "startrail").sort((a, b) => a.night < b.night ? 1 : -1)[0];
  if (star) $("startrail").src = "products/" + star.name + "?t=" + Date.now();
  for (const p of list) {
    const a = document.createElement("a");
    a.href = "products/" + p.name;
    a.textContent = p.night + " " + p.kind + " (" + Math.round(p.bytes / 1024) + " kB)";
    box.append(a, document.createElement("br"));
  }
  if (!list.length) box.textContent = "none yet";
}
// The night's segments: a bar each, and, when the view may change them, a
// click leaves one out of the star trail or lets it in again.
let editable = false, segmentsSeen = -1;
async function segments() {
  const r = await fetch("segments.json", {cache: "no-store"});
  if (!r.ok) return;
  const list = await r.json();
  // A new segment: the star trail has changed too.
  if (list.length !== segmentsSeen) { segmentsSeen = list.length; products(); }
  $("segmentsBox").style.display = list.length ? "block" : "none";
  const box = $("timeline");
  box.className = editable ? "edit" : "";
  box.replaceChildren();
  for (const s of list) {
    const bar = document.createElement("span");
    bar.style.height = Math.max(2, s.background / 4) + "px";
    if (s.excluded) bar.className = "out";
    bar.title = when(s.start) + ": " + s.images + " images, " + s.rejected + " kept out, background " + s.background +
      (s.excluded ? ", left out (" + s.excluded + ")" : "");
    if (editable)
      bar.onclick = async () => {
        await fetch("segments/exclude?file=" + encodeURIComponent(s.file) + "&excluded=" + (s.excluded ? 0 : 1),
          {method: "POST"});
        setTimeout(() => { segments(); products(); }, 500);
      };
    box.append(bar);
  }
}
$("startrail").onload = () => { $("starBox").style.display = "block"; };
$("keogram").onload = () => { $("keogramBox").style.display = "block"; };
$("keogram").onerror = () => { $("keogramBox").style.display = "none"; };
setInterval(products, 60000);
// The time under the pointer on the trail, when the tool keeps a time map.
let asking = false;
$("trail").addEventListener("mousemove", async (m) => {
  const t = $("trail");
  if (asking || !t.naturalWidth) return;
  asking = true;
  const x = Math.floor(m.offsetX * t.naturalWidth / t.clientWidth);
  const y = Math.floor(m.offsetY * t.naturalHeight / t.clientHeight);
  try {
    const r = await fetch("trail-time?x=" + x + "&y=" + y, {cache: "no-store"});
    const a = r.ok ? await r.json() : null;
    $("trailTime").textContent = a ? (a.time ? "rose at " + when(a.time) : "unchanged since the trail began") : "";
  } finally {
    asking = false;
  }
});
async function poll() {
  try {
    const s = await (await fetch("status.json", {cache: "no-store"})).json();
    if (s.sky) {
      $("skyBox").style.display = "";
      $("sky").textContent = s.sky.state + (s.sky.next ? ", " + (s.sky.state === "day" ? "dusk" : "dawn") + " at " + when(s.sky.next) : "");
    }
    if (s.upload) {
      $("uploadBox").style.display = "";
      $("upload").textContent = s.upload.files + (s.upload.lastError ? " (" + (s.upload.retryIn !== null ? "retry in " + s.upload.retryIn + " s, " : "") + "last error: " + s.upload.lastError + ")" : "");
    }
    if (s.exposure) {
      $("exposureBox").style.display = "";
      $("exposure").textContent = s.exposure.secondsLeft.toFixed(0) + " s left of " + s.exposure.seconds + " s";
    }
    if (s.tick !== undefined && s.tick !== lastTick) {
      lastTick = s.tick;
      $("frame").src = "frame.jpg?t=" + s.tick;
      $("trail").src = "trail.jpg?t=" + s.tick;
      for (const k of ["freq", "frameCounter", "diff", "trackCounter"]) $(k).textContent = s[k];
      $("save").textContent = s.save ? "yes" : "no";
      $("saveTimeout").textContent = s.save ? timeLeft(s.saveTimeout) : "-";
      $("device").textContent = s.device;
      if (s.edit && !editable) editable = true;
      if (s.tick % 15 === 1) segments();
      $("state").textContent = "running for " + timeLeft(s.uptimeSeconds) + ", last tick " + s.time.slice(11, 19) + " UTC";
      history.push([Date.parse(s.time) / 1000, s.diff, s.freq]);
      draw();
      const newest = s.lastSnapshot ? s.lastSnapshot.name + s.lastSnapshot.time : "";
      if (newest !== lastSnapshot) { lastSnapshot = newest; gallery(); }
      const e = JSON.stringify(s.lastEvent);
      if (e !== lastEvent) { lastEvent = e; events(); }
      if (s.quality && s.quality.time !== lastQuality) { lastQuality = s.quality.time; sky(); }
    }
  } catch (e) {
    $("state").textContent = "no answer from the tool";
  }
  setTimeout(poll, 1000);
}
fetch("history.json", {cache: "no-store"}).then((r) => r.json()).then((h) => { history = h; draw(); poll(); });
products();
segments();
</script>
</body>
</html>
)page";
