"use strict";
const $ = (id) => document.getElementById(id);
const asked = new URLSearchParams(location.search).get("night");
const nightQuery = asked ? "?night=" + encodeURIComponent(asked) : "";
const json = async (url) => { const r = await fetch(url, {cache: "no-store"}); if (!r.ok) throw new Error(url); return r.json(); };
const when = (time) => time.replace("T", " ").replace("Z", " UTC");
const local = (ms, seconds) => new Date(ms).toLocaleTimeString([], {hour: "2-digit", minute: "2-digit", second: seconds ? "2-digit" : undefined});
let night = asked, tonight = null, nightEntry = null, lastTick = -1, lastSnapshot = "", lastEvent = "", lastQuality = "";
let growth = [], quality = [], marks = [], editable = false, segmentsSeen = -1;
const seen = {segments: 0, nights: 0};
function timeLeft(seconds) {
  const m = Math.floor(seconds / 60), s = seconds % 60;
  return m > 0 ? m + " min " + s + " s" : s + " s";
}

// The player: the night's timelapse an image at a time, as stored.
const video = {frames: 0, fps: 30, times: null, at: -1, clip: null, timer: null, asked: null};
function frameUrl(n) {
  return video.clip ? "clips/" + video.clip.name + "/" + n + ".jpg" : "timelapse/" + n + ".jpg" + nightQuery;
}
function show(n) {
  if (!video.frames) return;
  n = Math.max(0, Math.min(video.frames - 1, n));
  video.at = n;
  $("player").src = frameUrl(n);
  for (let k = 1; k <= 3 && n + k < video.frames; ++k) new Image().src = frameUrl(n + k);  // ahead of play
  const times = video.clip ? video.clip.times : video.times;
  const t = times ? times[n] : null;
  $("playerTime").textContent = (video.clip ? "clip " + video.clip.name + ", " : "") + "image " + (n + 1) + " of " +
    video.frames + (t ? ", " + local(t, true) : "");
  markKeogram(t);
}
async function timelapseTimes() {
  if (video.times) return video.times;
  if (!video.asked) video.asked = json("timelapse.json" + nightQuery).then((t) => {
    video.times = t.times.map(Date.parse);
    video.frames = t.frames;
    video.fps = t.fps;
    return video.times;
  });
  return video.asked;
}
function nearest(times, t) {
  let lo = 0, hi = times.length - 1;
  while (lo < hi) { const mid = (lo + hi) >> 1; if (times[mid] < t) lo = mid + 1; else hi = mid; }
  return lo > 0 && t - times[lo - 1] <= times[lo] - t ? lo - 1 : lo;
}
async function showTime(t) {
  if (video.clip) leaveClip();
  const times = await timelapseTimes();
  if (times.length) show(nearest(times, t));
}
function stop() { clearInterval(video.timer); video.timer = null; $("play").textContent = "play"; }
function play() {
  if (video.timer) return stop();
  if (video.at >= video.frames - 1) show(0);
  $("play").textContent = "pause";
  video.timer = setInterval(() => { if (video.at >= video.frames - 1) stop(); else show(video.at + 1); },
    1000 / Math.max(1, Math.min(60, video.fps)));
}
function leaveClip() { stop(); video.clip = null; video.frames = nightEntry ? nightEntry.frames : 0; video.fps = nightEntry ? nightEntry.fps : 30; }
async function openClip(name) {
  const c = await json("clips/" + name + ".json");
  stop();
  video.clip = {name: name, times: c.times};
  video.frames = c.frames.length;
  video.fps = Math.max(1, Math.round((c.times.length - 1) * 1000 / Math.max(1, c.times[c.times.length - 1] - c.times[0]))) || 25;
  show(0);
  $("player").scrollIntoView({block: "nearest"});
  play();
}
$("play").onclick = () => { timelapseTimes(); play(); };
$("back").onclick = () => show(video.at - 1);
$("ahead").onclick = () => show(video.at + 1);
document.addEventListener("keydown", (k) => {
  if (k.target.tagName === "INPUT" || k.target.tagName === "SELECT") return;
  if (k.key === "ArrowLeft") { show(video.at - 1); k.preventDefault(); }
  else if (k.key === "ArrowRight") { show(video.at + 1); k.preventDefault(); }
  else if (k.key === " ") { timelapseTimes(); play(); k.preventDefault(); }
});

// The keogram scrubs: a column's time, the timelapse's image nearest it.
let keoTimes = null, keoAsked = null;
function keogramTimes() {
  if (!keoTimes && !keoAsked && nightEntry && nightEntry.keogram)
    keoAsked = json("products/" + nightEntry.keogram.replace(".png", ".json")).then((t) => keoTimes = t.map(Date.parse))
      .finally(() => { keoAsked = null; });
  return keoAsked || Promise.resolve(keoTimes);
}
function markKeogram(t) {
  const mark = $("keoMark"), k = $("keogram");
  if (!t || !keoTimes || !keoTimes.length || !k.naturalWidth) { mark.style.display = "none"; return; }
  const column = nearest(keoTimes, t);
  mark.style.left = ((column + 0.5) / k.naturalWidth * k.clientWidth - 1) + "px";
  mark.style.display = "block";
}
async function scrub(clientX) {
  const k = $("keogram"), box = k.getBoundingClientRect();
  if (!k.naturalWidth || !box.width) return;
  const times = await keogramTimes();
  if (!times || !times.length) return;
  const column = Math.min(times.length - 1, k.naturalWidth - 1,
    Math.max(0, Math.floor((clientX - box.left) / box.width * k.naturalWidth)));
  await showTime(times[column]);
}
let dragging = false;
$("keoBox").addEventListener("pointerdown", (p) => { dragging = true; stop(); scrub(p.clientX); });
$("keoBox").addEventListener("pointermove", (p) => { if (dragging) scrub(p.clientX); });
window.addEventListener("pointerup", () => { dragging = false; });

// The chart: the night's growth, a point a minute, on its own axes; the sky's
// stars and clear on a second axis when measured; events and meteors marked.
function niceStep(top, count) {
  const raw = top / count, power = Math.pow(10, Math.floor(Math.log10(raw))), f = raw / power;
  return (f <= 1 ? 1 : f <= 2 ? 2 : f <= 5 ? 5 : 10) * power;
}
const svgNs = "http://www.w3.org/2000/svg";
function el(name, attributes, parent, text) {
  const e = document.createElementNS(svgNs, name);
  for (const k in attributes) e.setAttribute(k, attributes[k]);
  if (text !== undefined) e.textContent = text;
  if (parent) parent.append(e);
  return e;
}
let scale = null;
function drawChart() {
  const svg = $("chart"), width = Math.max(200, svg.clientWidth || 600), height = 210;
  const left = 44, right = quality.length ? 40 : 10, top = 20, bottom = 24, w = width - left - right, h = height - top - bottom;
  svg.setAttribute("viewBox", "0 0 " + width + " " + height);
  svg.replaceChildren();
  const times = growth.map((p) => p[0] * 1000).concat(quality.map((q) => q[0] * 1000), marks.map((m) => m.t));
  if (!times.length) { el("text", {x: width / 2, y: height / 2, "text-anchor": "middle", fill: "#8fa1b3"}, svg, "nothing measured yet"); scale = null; return; }
  const start = Math.min(...times), end = Math.max(start + 3600000, Math.max(...times));
  const x = (t) => left + (t - start) / (end - start) * w;
  const topDiff = Math.max(1, ...growth.map((p) => p[1])), step = niceStep(topDiff, 4), yTop = Math.ceil(topDiff / step) * step;
  const y = (v) => top + h - v / yTop * h;
  // Time axis: local hours (every second or third one when narrow).
  const xAxis = el("g", {class: "axis", id: "timeAxis"}, svg);
  el("line", {x1: left, x2: left + w, y1: top + h, y2: top + h}, xAxis);
  const every = (w / ((end - start) / 3600000)) < 36 ? ((w / ((end - start) / 3600000)) < 18 ? 3 : 2) : 1;
  const firstHour = new Date(start); firstHour.setMinutes(0, 0, 0);
  for (let t = firstHour.getTime() + 3600000; t <= end; t += 3600000) {
    const d = new Date(t);
    if (d.getHours() % every) continue;
    el("line", {x1: x(t), x2: x(t), y1: top + h, y2: top + h + 4}, xAxis);
    el("text", {x: x(t), y: top + h + 16, "text-anchor": "middle"}, xAxis, String(d.getHours()).padStart(2, "0") + ":00");
  }
  // Value axis: the growth.
  const yAxis = el("g", {class: "axis", id: "valueAxis"}, svg);
  el("line", {x1: left, x2: left, y1: top, y2: top + h}, yAxis);
  for (let v = 0; v <= yTop + step / 2; v += step) {
    el("line", {x1: left - 4, x2: left + w, y1: y(v), y2: y(v), "stroke-opacity": 0.35}, yAxis);
    el("text", {x: left - 6, y: y(v) + 4, "text-anchor": "end"}, yAxis, v >= 10000 ? (v / 1000) + "k" : String(v));
  }
  const line = (points, colour, id) => el("polyline", {id: id, fill: "none", stroke: colour, "stroke-width": 1.5, points: points.join(" ")}, svg);
  line(growth.map((p) => x(p[0] * 1000).toFixed(1) + "," + y(p[1]).toFixed(1)), "#f5b942", "diffLine");
  const topFreq = Math.max(1, ...growth.map((p) => p[2]));
  line(growth.map((p) => x(p[0] * 1000).toFixed(1) + "," + (top + h - p[2] / topFreq * h * 0.3).toFixed(1)), "#4fb3ff", "freqLine");
  if (quality.length) {
    const topStars = Math.max(1, ...quality.map((q) => q[1])), starStep = niceStep(topStars, 4), starsTop = Math.ceil(topStars / starStep) * starStep;
    const sky = el("g", {class: "axis", id: "skyAxis"}, svg);
    el("line", {x1: left + w, x2: left + w, y1: top, y2: top + h}, sky);
    for (let v = 0; v <= starsTop + starStep / 2; v += starStep)
      el("text", {x: left + w + 4, y: top + h - v / starsTop * h + 4}, sky, String(v));
    el("text", {x: left + w + 4, y: top - 2}, sky, "stars");
    line(quality.map((q) => x(q[0] * 1000).toFixed(1) + "," + (top + h - q[1] / starsTop * h).toFixed(1)), "#e8e8e8", "starsLine");
    line(quality.filter((q) => q[2] !== null).map((q) => x(q[0] * 1000).toFixed(1) + "," + (top + h - q[2] * h).toFixed(1)), "#6fd08c", "clearLine");
  }
  for (const m of marks)
    el("path", {d: m.meteor ? "M" + (x(m.t) - 4) + "," + top + "h8l-4,7z" : "M" + (x(m.t) - 4) + "," + (top + 7) + "h8l-4,-7z",
      fill: m.meteor ? "#7afff0" : "#ff7ad9"}, svg);
  const cursor = el("line", {x1: 0, x2: 0, y1: top, y2: top + h, stroke: "#8fa1b3", "stroke-dasharray": "3 3", visibility: "hidden"}, svg);
  scale = {start, end, left, w, width, cursor};
}
function chartTime(clientX) {
  const box = $("chart").getBoundingClientRect();
  const px = (clientX - box.left) / box.width * scale.width;
  return scale.start + (px - scale.left) / scale.w * (scale.end - scale.start);
}
function pointAt(list, t, toMs) {
  if (!list.length) return null;
  return list.reduce((a, b) => Math.abs(toMs(b) - t) < Math.abs(toMs(a) - t) ? b : a);
}
$("chart").addEventListener("pointermove", (p) => {
  if (!scale) return;
  const t = chartTime(p.clientX);
  if (t < scale.start || t > scale.end) return;
  const g = pointAt(growth, t, (q) => q[0] * 1000), s = pointAt(quality, t, (q) => q[0] * 1000);
  const px = scale.left + (t - scale.start) / (scale.end - scale.start) * scale.w;
  scale.cursor.setAttribute("x1", px); scale.cursor.setAttribute("x2", px); scale.cursor.setAttribute("visibility", "visible");
  $("chartTip").textContent = local(t) + (g ? ": growth " + g[1] + ", " + g[2] + " images/s" : "") +
    (s ? ", " + s[1] + " stars, clear " + (s[2] === null ? "not known yet" : Math.round(s[2] * 100) + " %") : "");
});
$("chart").addEventListener("click", (p) => { if (scale) showTime(chartTime(p.clientX)); });
window.addEventListener("resize", () => { drawChart(); markKeogram(video.at >= 0 && video.times ? video.times[video.at] : null); });

// Tonight's growth a minute at a time, the ticks since added to the last minute.
function addTick(s) {
  const t = Math.floor(Date.parse(s.time) / 60000) * 60;
  const last = growth[growth.length - 1];
  if (last && last[0] === t) { last[1] = Math.max(last[1], s.diff); last[2] = s.freq; }
  else growth.push([t, s.diff, s.freq]);
}
async function sky() {
  try { quality = await json("quality.json"); } catch (e) { quality = []; }
  for (const e of document.querySelectorAll(".sky")) e.classList.toggle("hidden", !quality.length);
  drawChart();
}
async function events() {
  const list = await json("events.json");
  marks = list.map((e) => ({t: Date.parse(e.time), meteor: !!e.meteor}));
  drawChart();
  const box = $("events");
  box.replaceChildren();
  for (const e of list.slice(0, 24)) {
    const div = document.createElement("div"), img = document.createElement("img");
    div.className = "card";
    img.src = e.thumbnail;
    img.alt = e.meteor ? "meteor" : "event";
    img.loading = "lazy";
    div.append(img, local(Date.parse(e.time), true) + (e.meteor ? ", meteor " + e.meteor.length.toFixed(0) + " px in " +
      ((Date.parse(e.meteor.end) - Date.parse(e.meteor.start)) / 1000).toFixed(2) + " s" : ", growth " + e.diff) +
      (e.clip ? ", tap to play" : ""));
    div.onclick = () => e.clip ? openClip(e.clip) : showTime(Date.parse(e.time));
    box.append(div);
  }
  if (!list.length) box.textContent = "none yet";
}
async function gallery() {
  const list = await json("snapshots.json");
  const box = $("gallery");
  box.replaceChildren();
  for (const s of list.slice(0, 60)) {
    const a = document.createElement("a"), img = document.createElement("img");
    a.href = img.src = "snapshots/" + s.name;
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
// The nights in the folder; the one shown, with its keogram, star trail and timelapse.
async function nights() {
  const list = await json("nights.json");
  const box = $("nights");
  box.replaceChildren();
  for (const n of list) {
    const div = document.createElement("div");
    div.className = "card" + (n.night === night ? " chosen" : "");
    for (const kind of ["keogram", "startrail"]) {
      if (!n[kind]) continue;
      const img = document.createElement("img");
      img.src = "products/" + n[kind];
      img.alt = kind + " of " + n.night;
      img.loading = "lazy";
      img.style.height = "60px";
      img.style.objectFit = "cover";
      div.append(img);
    }
    const seconds = n.frames / Math.max(1, n.fps);
    div.append(n.night + (n.timelapse ? ", timelapse " + n.frames + " images (" + seconds.toFixed(0) + " s)" : "") +
      (n.meteors ? ", meteors" : ""));
    div.dataset.night = n.night;
    div.onclick = () => { location.search = "?night=" + n.night; };
    box.append(div);
  }
  if (!list.length) box.textContent = "none yet";
  const shown = list.find((n) => n.night === night);
  if (!shown) return;
  const changed = !nightEntry || nightEntry.keogram !== shown.keogram || nightEntry.frames !== shown.frames;
  nightEntry = shown;
  if (!changed) return;
  $("nightTitle").textContent = (night === tonight ? "tonight, " : "the night of ") + night;
  if (shown.keogram) $("keogram").src = "products/" + shown.keogram + "?v=" + list.indexOf(shown) + "-" + shown.frames + "-" + Date.now();
  keoTimes = null;
  if (shown.startrail) $("startrail").src = "products/" + shown.startrail;
  if (!video.clip) {
    const atEnd = video.at < 0 || video.at >= video.frames - 1;
    video.frames = shown.frames;
    video.fps = shown.fps;
    if (video.times && video.times.length !== shown.frames) { video.times = null; video.asked = null; }
    if (atEnd && !video.timer && shown.frames) show(shown.frames - 1);
  }
}
// The night's segments, coloured by what became of each; with --http-edit a
// tap leaves one out of the star trail, or lets it in again.
async function segments() {
  const r = await fetch("segments.json", {cache: "no-store"});
  if (!r.ok) return;
  const list = await r.json();
  if (list.length !== segmentsSeen) { segmentsSeen = list.length; nights(); }
  $("segmentsBox").classList.toggle("hidden", !list.length);
  const box = $("timeline");
  box.className = editable ? "edit" : "";
  $("editHelp").classList.toggle("hidden", !editable);
  box.replaceChildren();
  for (const s of list) {
    const bar = document.createElement("span");
    if (s.excluded) bar.className = "out " + (s.excluded === "by hand" ? "hand" : s.excluded === "hazy" ? "hazy" : s.excluded === "cloudy" ? "cloudy" : "");
    bar.title = when(s.start) + ": " + s.images + " images, " + s.rejected + " kept out, background " + s.background +
      (s.excluded ? ", left out (" + s.excluded + ")" : "");
    bar.onclick = editable ? async () => {
      await fetch("segments/exclude?file=" + encodeURIComponent(s.file) + "&excluded=" + (s.excluded ? 0 : 1), {method: "POST"});
      setTimeout(() => { segments(); }, 500);
    } : () => showTime(Date.parse(s.start));
    box.append(bar);
  }
}
async function products() {
  const list = await json("products.json");
  const box = $("products");
  box.replaceChildren();
  for (const p of list) {
    const a = document.createElement("a");
    a.href = "products/" + p.name;
    a.textContent = p.night + " " + p.kind + " (" + Math.round(p.bytes / 1024) + " kB)";
    box.append(a, document.createElement("br"));
  }
  if (!list.length) box.textContent = "none yet";
}
$("startrail").onload = () => $("starBox").classList.remove("hidden");
$("keogram").onload = () => markKeogram(video.at >= 0 && video.times ? video.times[video.at] : null);
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
function stateLine(s) {
  const parts = ["running " + timeLeft(s.uptimeSeconds), "tick " + local(Date.parse(s.time), true)];
  if (s.sky) parts.push(s.sky.state + (s.sky.next ? ", " + (s.sky.state === "day" ? "dusk" : "dawn") + " " + local(Date.parse(s.sky.next)) : ""));
  if (s.exposure) parts.push("exposing " + s.exposure.secondsLeft.toFixed(0) + "/" + s.exposure.seconds + " s");
  if (s.upload) parts.push(s.upload.files + " to upload" + (s.upload.lastError ? " (" + s.upload.lastError + ")" : ""));
  if (s.quality && s.quality.stars !== undefined) parts.push(s.quality.stars + " stars");
  return parts.join(" · ");
}
async function poll() {
  try {
    const s = await json("status.json");
    $("state").textContent = stateLine(s);
    if (!tonight && s.night) { tonight = s.night; if (!asked) night = tonight; seen.nights = s.tick; nights(); }
    if (s.tick !== undefined && s.tick !== lastTick) {
      lastTick = s.tick;
      $("frame").src = "frame.jpg?t=" + s.tick;
      $("trail").src = "trail.jpg?t=" + s.tick;
      for (const k of ["freq", "frameCounter", "diff", "trackCounter"]) $(k).textContent = s[k];
      $("save").textContent = s.save ? "yes" : "no";
      $("saveTimeout").textContent = s.save ? timeLeft(s.saveTimeout) : "-";
      $("device").textContent = s.device;
      if (s.edit) editable = true;
      const newest = s.lastSnapshot ? s.lastSnapshot.name + s.lastSnapshot.time : "";
      if (newest !== lastSnapshot) { lastSnapshot = newest; gallery(); }
      if (night === tonight) {
        addTick(s);
        const e = JSON.stringify(s.lastEvent);
        if (e !== lastEvent) { lastEvent = e; events(); } else if (s.tick % 5 === 0) drawChart();
        if (s.quality && s.quality.time !== lastQuality) { lastQuality = s.quality.time; sky(); }
        // Segments every 15 ticks, the night's products every 60 (a replay's ticks come faster).
        if (s.tick - seen.segments >= 15) { seen.segments = s.tick; segments(); }
        if (s.tick - seen.nights >= 60) { seen.nights = s.tick; nights(); products(); }
      }
    }
  } catch (e) {
    $("state").textContent = "no answer from the tool";
  }
  setTimeout(poll, 1000);
}
// Tonight unless another night was asked for; earlier nights have their
// products only, and what the night's meteors file kept.
async function start() {
  const s = await json("status.json").catch(() => ({}));
  tonight = s.night || null;
  if (!night) night = tonight;
  if (night === tonight) {
    growth = await json("growth.json").catch(() => []);
    await Promise.all([events(), sky(), segments()]);
  } else {
    $("now").classList.add("hidden");
    try {
      const m = await json("products/meteors-" + night + ".json");
      marks = (m.meteors || m).map((e) => ({t: Date.parse(e.start), meteor: true}));
    } catch (e) {}
    drawChart();
    $("events").textContent = marks.length ? marks.length + " meteors that night" : "none kept";
  }
  await nights();
  products();
  poll();
}
start();
