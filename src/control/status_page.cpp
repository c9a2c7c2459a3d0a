#include "control/status_page.h"

namespace quellvox {

namespace {

constexpr const char* kPage = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Quellvox</title>
<style>
  body { font: 14px system-ui, sans-serif; margin: 0; background: #f4f5f7; color: #1d2330; }
  header { background: #1d2330; color: #fff; padding: 10px 16px; display: flex; align-items: center; gap: 16px; }
  header h1 { font-size: 18px; margin: 0; font-weight: 600; }
  #state { padding: 2px 10px; border-radius: 10px; background: #6b7280; }
  #state.running { background: #15803d; }
  main { padding: 16px; display: grid; gap: 16px; max-width: 980px; }
  section { background: #fff; border-radius: 6px; padding: 12px 16px; box-shadow: 0 1px 2px rgba(0,0,0,.12); }
  h2 { font-size: 15px; margin: 0 0 8px; }
  button { font: inherit; padding: 6px 16px; margin-right: 8px; border: 1px solid #94a3b8; border-radius: 4px;
           background: #fff; cursor: pointer; }
  button:disabled { color: #9ca3af; cursor: default; }
  input { font: inherit; padding: 4px 6px; width: 300px; }
  pre { margin: 0; font: 12px ui-monospace, monospace; white-space: pre-wrap; }
  #message { color: #b91c1c; margin-top: 8px; min-height: 1.2em; }
  canvas { width: 100%; height: auto; display: block; }
  .muted { color: #6b7280; }
</style>
</head>
<body>
<header><h1>Quellvox <span id="instance"></span></h1><span id="state">...</span><span id="link" class="muted"></span></header>
<main>
<section>
  <h2>Commands</h2>
  <button id="start">Start</button><button id="stop">Stop</button><button id="restart">Restart</button>
  <label class="muted">Token <input id="token" type="password" autocomplete="off"></label>
  <div id="message"></div>
</section>
<section>
  <h2>Floor gain (30 s)</h2>
  <canvas id="strip" width="940" height="80"></canvas>
</section>
<section>
  <h2>Statistics</h2>
  <pre id="statistics"></pre>
</section>
</main>
<script>
"use strict";
const spanMs = 30000, bottomDb = -24, rowHeight = 64;
const samples = [];  // {t, lines: [{line, floorGainDb, voice}]}
let running = false, socket = null, socketTimer = null;
const $ = (id) => document.getElementById(id);

function token() { return $("token").value.trim(); }
(function takeToken() {
  const m = /(?:^|[#&])token=([0-9a-f]+)/.exec(location.hash);
  if (m) { sessionStorage.setItem("quellvoxToken", m[1]); history.replaceState(null, "", location.pathname); }
  $("token").value = sessionStorage.getItem("quellvoxToken") || "";
  $("token").addEventListener("change", () => { sessionStorage.setItem("quellvoxToken", token()); connect(); });
})();

function showState(state, isRunning) {
  running = isRunning;
  $("state").textContent = state;
  $("state").className = isRunning ? "running" : "";
  $("start").disabled = isRunning;
  $("stop").disabled = !isRunning;
  $("restart").disabled = !isRunning;
}

async function loadStatus() {
  try {
    const r = await fetch("/api/v1/status", {cache: "no-store"});
    const s = await r.json();
    $("instance").textContent = s.instance;
    showState(s.state, s.running);
    $("statistics").textContent = s.statisticsText || "(stopped)";
  } catch (e) { $("state").textContent = "no answer"; }
}

async function command(name) {
  $("message").textContent = "";
  try {
    const r = await fetch("/api/v1/" + name, {method: "POST", headers: {"Authorization": "Bearer " + token()}});
    const answer = await r.json();
    if (!r.ok) $("message").textContent = answer.message || r.statusText;
    else showState(answer.state, answer.running);
  } catch (e) { $("message").textContent = String(e); }
}
for (const name of ["start", "stop", "restart"]) $(name).addEventListener("click", () => command(name));

function connect() {
  if (socket) { socket.onclose = null; socket.close(); socket = null; }
  if (!token()) { $("link").textContent = "events need the token"; return; }
  const ws = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/api/v1/events");
  socket = ws;
  ws.onopen = () => { ws.send(JSON.stringify({token: token()})); $("link").textContent = "live"; };
  ws.onmessage = (event) => {
    const e = JSON.parse(event.data);
    if (e.type === "state") showState(e.state, e.running);
    else if (e.type === "statistics") $("statistics").textContent = e.text || "(stopped)";
    else if (e.type === "floor") {
      const now = performance.now();
      samples.push({t: now, lines: e.lines});
      while (samples.length && now - samples[0].t > spanMs) samples.shift();
      document.body.dataset.samples = String(samples.length);
    }
  };
  ws.onclose = () => {
    $("link").textContent = "events closed";
    clearTimeout(socketTimer);
    socketTimer = setTimeout(connect, 2000);
  };
}

function draw() {
  const canvas = $("strip"), g = canvas.getContext("2d");
  const latest = samples.length ? samples[samples.length - 1].lines : [];
  const rows = latest.map((l) => l.line);
  const height = Math.max(1, rows.length) * rowHeight + 16;
  if (canvas.height !== height) canvas.height = height;
  const w = canvas.width, left = 70, right = w - 10, now = performance.now();
  g.clearRect(0, 0, w, height);
  g.font = "12px system-ui, sans-serif";
  if (!rows.length) { g.fillStyle = "#6b7280"; g.fillText(running ? "waiting for events" : "stopped", left, 30); }
  const xOf = (t) => right - (now - t) / spanMs * (right - left);
  rows.forEach((line, r) => {
    const top = 8 + r * rowHeight, h = rowHeight - 12;
    const yOf = (db) => top + Math.min(0, Math.max(bottomDb, db)) / bottomDb * (h - 1);
    g.strokeStyle = "#cbd5e1"; g.strokeRect(left, top, right - left, h);
    g.fillStyle = "rgba(255,166,0,0.47)";
    for (let i = 1; i < samples.length; ++i) {
      const v = samples[i].lines.find((l) => l.line === line);
      if (v && v.voice) g.fillRect(xOf(samples[i - 1].t), top, Math.max(1, xOf(samples[i].t) - xOf(samples[i - 1].t)), h);
    }
    g.strokeStyle = "rgb(0,110,200)"; g.lineWidth = 2; g.beginPath();
    let first = true;
    for (const s of samples) {
      const v = s.lines.find((l) => l.line === line);
      if (!v) { first = true; continue; }
      const x = xOf(s.t), y = yOf(v.floorGainDb);
      if (first) g.moveTo(x, y); else g.lineTo(x, y);
      first = false;
    }
    g.stroke(); g.lineWidth = 1;
    const last = latest.find((l) => l.line === line);
    g.fillStyle = "#1d2330";
    g.fillText("Line " + line, 6, top + 14);
    g.fillText(last ? last.floorGainDb.toFixed(1) + " dB" : "--", 6, top + 30);
  });
  document.body.dataset.samples = String(samples.length);
  requestAnimationFrame(draw);
}

loadStatus();
setInterval(loadStatus, 5000);
connect();
requestAnimationFrame(draw);
</script>
</body>
</html>
)HTML";

}  // namespace

const std::string& StatusPageHtml() {
  static const std::string page(kPage);
  return page;
}

}  // namespace quellvox
