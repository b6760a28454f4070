#include "tools/z40k/serve_page.h"

namespace z40k {

namespace {

// The controls are built from GET /api/properties: a slider with a number box for a ranged number (the
// box takes any number, so the driver's own refusals can be seen), a switch for 0/1, a button for a
// command, plain text for a read-only value; beside each its range and default, and a button that sets
// the default. Every change is one PUT; the answer's value is what the control shows afterwards, so a
// refused value springs back to the one the driver holds, and then every property is read again, since
// one change can move others (white balance "auto" turns the automatic white balance on). Notes fade.
const char PAGE[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<link rel="icon" href="data:,">
<title>z40k live view</title>
<style>
  body { margin: 0; font: 14px/1.4 system-ui, sans-serif; background: #1d1f21; color: #e0e0e0; }
  header { display: flex; flex-wrap: wrap; gap: .5em 1.5em; align-items: center; padding: .5em 1em;
           background: #2a2d30; }
  header h1 { font-size: 1.1em; margin: 0; }
  main { display: flex; flex-wrap: wrap; gap: 1em; padding: 1em; }
  #view { flex: 3 1 480px; min-width: 0; }
  #view img { width: 100%; height: auto; background: #000; display: block; }
  #controls { flex: 1 1 300px; min-width: 0; }
  fieldset { border: 1px solid #444; margin: 0 0 1em; padding: .5em; }
  legend { padding: 0 .3em; color: #9ab; }
  .prop { display: grid; grid-template-columns: 9em 1fr 5em 5.6em; gap: .2em .5em; align-items: center;
          margin: .3em 0; }
  .prop label { display: flex; flex-direction: column; overflow-wrap: anywhere; }
  .range { font-size: .75em; color: #9a9a9a; }
  .buttons { display: flex; gap: .3em; justify-content: flex-end; }
  .prop input[type=range] { width: 100%; }
  .prop input[type=number] { width: 100%; box-sizing: border-box; }
  .msg { grid-column: 1 / -1; font-size: .85em; min-height: 0; transition: opacity .6s; }
  .msg.fade { opacity: 0; }
  .msg.error { color: #f77; }
  .msg.ok { color: #7c7; }
  .ro { color: #aaa; }
  button, select { font: inherit; }
  a.button { color: inherit; border: 1px solid #888; border-radius: 3px; padding: 1px 6px; text-decoration: none; }
  .bar { display: flex; flex-wrap: wrap; gap: .5em; align-items: center; margin: .5em 0; }
  .stat b { font-variant-numeric: tabular-nums; }
  @media (max-width: 600px) { .prop { grid-template-columns: 7em 1fr 4.5em 5.6em; } main { padding: .5em; } }
</style>
</head>
<body>
<header>
  <h1>z40k live view</h1>
  <span class="stat">frame <b id="frame">-</b></span>
  <span class="stat"><b id="fps">-</b> frames/s</span>
  <span class="stat"><b id="dropped">-</b> dropped</span>
  <span class="stat">stream <b id="state">-</b></span>
</header>
<main>
  <section id="view">
    <img id="live" alt="live picture">
    <div class="bar">
      <button id="start" type="button">Start</button>
      <button id="stop" type="button">Stop</button>
      <label>size <select id="scale">
        <option value="1">full</option><option value="2" selected>1/2</option><option value="4">1/4</option>
      </select></label>
      <a id="snapshot" class="button" href="/snapshot.png" download>Snapshot (PNG)</a>
      <span id="streammsg" class="msg"></span>
    </div>
  </section>
  <section id="controls"></section>
</main>
<script>
"use strict";
const $ = (id) => document.getElementById(id);
const setNames = { "camera": "Camera", "proc-amp": "Video proc-amp", "window": "Window" };

// A note stays a moment (a refusal longer), then fades and goes.
const noteTimers = {};
function showMessage(name, text, ok) {
  const msg = $("msg-" + name);
  msg.textContent = text;
  msg.className = "msg " + (ok ? "ok" : "error");
  clearTimeout(noteTimers[name]);
  noteTimers[name] = setTimeout(() => {
    msg.classList.add("fade");
    noteTimers[name] = setTimeout(() => { msg.textContent = ""; }, 700);
  }, ok ? 1500 : 5000);
}

function showValue(name, value) {
  for (const id of ["prop-", "num-", "sw-"]) {
    const el = $(id + name);
    if (!el) continue;
    if (el.type === "checkbox") el.checked = value !== 0; else el.value = value;
  }
  const ro = $("ro-" + name);
  if (ro) ro.textContent = value;
}

async function setProperty(name, value) {
  let answer = {};
  let response;
  try {
    response = await fetch("/api/properties/" + encodeURIComponent(name), {
      method: "PUT", headers: { "Content-Type": "application/json" }, body: JSON.stringify({ value: value }) });
    answer = await response.json();
  } catch (e) {
    showMessage(name, "no answer: " + e, false);
    return;
  }
  if ("value" in answer) showValue(name, answer.value);
  if (response.ok) showMessage(name, "set", true);
  else showMessage(name, answer.status || answer.error || ("HTTP " + response.status), false);
  await loadProperties(false);
}

function rangeText(p) {
  const parts = [];
  if ("minimum" in p) parts.push(p.minimum + ".." + p.maximum);
  if (p.auto) parts.push("or auto");
  if ("default" in p) parts.push("default " + p.default);
  return parts.join(", ");
}

// The cell after the number box: the automatic mode and the way back to the default, where they apply.
function addButtons(row, p) {
  const buttons = document.createElement("span");
  buttons.className = "buttons";
  if (p.auto) {
    const auto = document.createElement("button");
    auto.type = "button";
    auto.id = "auto-" + p.name;
    auto.textContent = "auto";
    auto.addEventListener("click", () => setProperty(p.name, "auto"));
    buttons.appendChild(auto);
  }
  if ("default" in p) {
    const reset = document.createElement("button");
    reset.type = "button";
    reset.id = "reset-" + p.name;
    reset.textContent = "\u21ba";
    reset.title = "back to the default, " + p.default;
    reset.addEventListener("click", () => setProperty(p.name, p.default));
    buttons.appendChild(reset);
  }
  row.appendChild(buttons);
}

function addControl(box, p) {
  const row = document.createElement("div");
  row.className = "prop";
  row.title = p.description || "";
  const label = document.createElement("label");
  label.textContent = p.name;
  const range = document.createElement("span");
  range.className = "range";
  range.id = "range-" + p.name;
  range.textContent = rangeText(p);
  label.appendChild(range);
  row.appendChild(label);
  const writable = p.access.includes("w");
  const readable = p.access.includes("r");
  if (!writable) {
    const value = document.createElement("span");
    value.id = "ro-" + p.name;
    value.className = "ro";
    value.textContent = "value" in p ? p.value : (p.status || "");
    row.appendChild(value);
    row.appendChild(document.createElement("span"));
    row.appendChild(document.createElement("span"));
  } else if (p.control === "command") {
    const button = document.createElement("button");
    button.type = "button";
    button.id = "cmd-" + p.name;
    button.textContent = "Send";
    button.addEventListener("click", () => setProperty(p.name, 0));
    row.appendChild(button);
    row.appendChild(document.createElement("span"));
    row.appendChild(document.createElement("span"));
  } else if (p.control === "switch") {
    const input = document.createElement("input");
    input.type = "checkbox";
    input.id = "sw-" + p.name;
    input.checked = p.value === 1;
    input.addEventListener("change", () => setProperty(p.name, input.checked ? 1 : 0));
    row.appendChild(input);
    row.appendChild(document.createElement("span"));
    addButtons(row, p);
  } else {
    if ("minimum" in p) {
      const slider = document.createElement("input");
      slider.type = "range";
      slider.id = "prop-" + p.name;
      slider.min = p.minimum; slider.max = p.maximum; slider.step = p.step || 1;
      slider.value = readable ? p.value : (p.default || 0);
      slider.addEventListener("input", () => { $("num-" + p.name).value = slider.value; });
      slider.addEventListener("change", () => setProperty(p.name, Number(slider.value)));
      row.appendChild(slider);
    } else {
      row.appendChild(document.createElement("span"));
    }
    const number = document.createElement("input");
    number.type = "number";
    number.id = "num-" + p.name;
    number.value = readable && "value" in p ? p.value : (p.default || 0);
    number.addEventListener("change", () => {
      if (number.value.trim() === "" || isNaN(Number(number.value))) { showMessage(p.name, "not a number", false); return; }
      setProperty(p.name, Number(number.value));
    });
    row.appendChild(number);
    addButtons(row, p);
  }
  const msg = document.createElement("div");
  msg.id = "msg-" + p.name;
  msg.className = "msg";
  row.appendChild(msg);
  box.appendChild(row);
}

async function loadProperties(build) {
  const response = await fetch("/api/properties");
  const all = await response.json();
  if (!build) {
    for (const p of all) if ("value" in p) showValue(p.name, p.value);
    return;
  }
  const controls = $("controls");
  controls.textContent = "";
  const sets = {};
  for (const p of all) {
    if (!sets[p.set]) {
      const fieldset = document.createElement("fieldset");
      const legend = document.createElement("legend");
      legend.textContent = setNames[p.set] || p.set;
      fieldset.appendChild(legend);
      controls.appendChild(fieldset);
      sets[p.set] = fieldset;
    }
    addControl(sets[p.set], p);
  }
  document.body.dataset.ready = "1";
}

async function pollStats() {
  try {
    const stats = await (await fetch("/api/stats")).json();
    $("frame").textContent = stats.frames;
    $("fps").textContent = stats.fps.toFixed(1);
    $("dropped").textContent = stats.dropped;
    $("state").textContent = stats.state + (stats.error ? " (" + stats.error + ")" : "");
  } catch (e) {
    $("state").textContent = "no answer";
  }
}

async function streamControl(action) {
  const response = await fetch("/api/stream/" + action, { method: "POST" });
  const answer = await response.json();
  const msg = $("streammsg");
  msg.textContent = response.ok ? "" : (answer.error || ("HTTP " + response.status));
  msg.className = "msg " + (response.ok ? "ok" : "error");
  if (response.ok && action === "stop") loadProperties(false);
  pollStats();
}

function showStream() { $("live").src = "/stream.mjpg?scale=" + $("scale").value; }

$("scale").addEventListener("change", showStream);
$("start").addEventListener("click", () => streamControl("start"));
$("stop").addEventListener("click", () => streamControl("stop"));
showStream();
loadProperties(true);
pollStats();
setInterval(pollStats, 500);
</script>
</body>
</html>
)PAGE";

} // namespace

const std::string& ServePage() {
    static const std::string page(PAGE);
    return page;
}

} // namespace z40k
