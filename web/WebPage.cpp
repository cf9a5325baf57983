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
</style>
</head>
<body>
<header><h1>trailcam</h1><span id="device"></span><span id="state">waiting for the first tick</span></header>
<main>
<div class="views">
  <figure><img id="frame" alt="latest camera image"><figcaption>camera, latest tick</figcaption></figure>
  <figure><img id="trail" alt="trail"><figcaption>trail: brightest value of every image since the last snapshot</figcaption></figure>
</div>
<dl>
  <div><dt>images merged in the last second (freq)</dt><dd id="freq">-</dd></div>
  <div><dt>images in the trail (frameCounter)</dt><dd id="frameCounter">-</dd></div>
  <div><dt>growth of the trail in the last second (diff)</dt><dd id="diff">-</dd></div>
  <div><dt>last snapshot number (trackCounter)</dt><dd id="trackCounter">-</dd></div>
  <div><dt>snapshot pending (save)</dt><dd id="save">-</dd></div>
  <div><dt>time left before it is written (saveTimeout)</dt><dd id="saveTimeout">-</dd></div>
</dl>
<h2>last hour</h2>
<div class="legend"><span style="color:#f5b942">&#9632; diff (growth)</span><span style="color:#4fb3ff">&#9632; freq (images/s)</span></div>
<svg id="plot" viewBox="0 0 600 160" preserveAspectRatio="none">
  <polyline id="diffLine" fill="none" stroke="#f5b942" stroke-width="1.5" vector-effect="non-scaling-stroke"/>
  <polyline id="freqLine" fill="none" stroke="#4fb3ff" stroke-width="1.5" vector-effect="non-scaling-stroke"/>
</svg>
<h2>snapshots, newest first</h2>
<div id="gallery">none yet</div>
</main>
<script>
"use strict";
const $ = (id) => document.getElementById(id);
let history = [], lastTick = -1, lastSnapshot = "";
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
    a.append(img, s.name + " " + s.time.replace("T", " ").replace("Z", " UTC"));
    box.append(a);
  }
  if (!list.length) box.textContent = "none yet";
}
async function poll() {
  try {
    const s = await (await fetch("status.json", {cache: "no-store"})).json();
    if (s.tick !== undefined && s.tick !== lastTick) {
      lastTick = s.tick;
      $("frame").src = "frame.jpg?t=" + s.tick;
      $("trail").src = "trail.jpg?t=" + s.tick;
      for (const k of ["freq", "frameCounter", "diff", "trackCounter"]) $(k).textContent = s[k];
      $("save").textContent = s.save ? "yes" : "no";
      $("saveTimeout").textContent = s.save ? timeLeft(s.saveTimeout) : "-";
      $("device").textContent = s.device;
      $("state").textContent = "running for " + timeLeft(s.uptimeSeconds) + ", last tick " + s.time.slice(11, 19) + " UTC";
      history.push([Date.parse(s.time) / 1000, s.diff, s.freq]);
      draw();
      const newest = s.lastSnapshot ? s.lastSnapshot.name + s.lastSnapshot.time : "";
      if (newest !== lastSnapshot) { lastSnapshot = newest; gallery(); }
    }
  } catch (e) {
    $("state").textContent = "no answer from the tool";
  }
  setTimeout(poll, 1000);
}
fetch("history.json", {cache: "no-store"}).then((r) => r.json()).then((h) => { history = h; draw(); poll(); });
</script>
</body>
</html>
)page";
