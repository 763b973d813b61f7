// The console's one style sheet and one script, served as they are: no
// build step, nothing fetched from elsewhere.
#include "pages.h"

namespace shore {

const std::string& console_css() {
    static const std::string css = R"CSS(
* { box-sizing: border-box; }
body { margin: 0; font: 15px/1.4 system-ui, sans-serif; color: #1b2733; background: #f3f6f8; }
header { display: flex; gap: 1.5em; align-items: center; padding: .5em 1em; background: #12324a; color: #fff; }
header nav a { color: #cfe3f2; margin-right: 1em; text-decoration: none; }
header nav a.here { color: #fff; border-bottom: 2px solid #fff; }
header .who { margin-left: auto; }
main { padding: 1em; }
main.login { max-width: 22em; margin: 4em auto; background: #fff; padding: 1.5em; border-radius: 6px; }
label { display: block; margin: .5em 0; }
input, select, button { font: inherit; padding: .3em .5em; }
form.inline { display: inline; }
label.inline { display: inline-block; margin-right: .8em; }
button { cursor: pointer; border: 1px solid #5a7184; background: #fff; border-radius: 4px; }
button.danger { background: #b3261e; color: #fff; border-color: #b3261e; }
.message { min-height: 1.4em; }
.message.error { color: #b3261e; }
.board { display: grid; grid-template-columns: minmax(280px, 2fr) 3fr; gap: 1em; }
.map { height: 70vh; min-height: 300px; border-radius: 6px; background: #cfe3f2; }
table { border-collapse: collapse; width: 100%; background: #fff; }
th, td { text-align: left; padding: .25em .5em; border-bottom: 1px solid #e1e8ee; white-space: nowrap; }
td.left { font-variant-numeric: tabular-nums; }
.st-running { color: #0b7a36; font-weight: 600; }
.st-killed { color: #b3261e; font-weight: 600; }
.st-locked { color: #8a5a00; font-weight: 600; }
.st-stopped { color: #5a7184; }
.ln-online { color: #0b7a36; } .ln-late { color: #8a5a00; } .ln-silent { color: #b3261e; font-weight: 600; }
.weather { background: #8a5a00; color: #fff; padding: .5em 1em; border-radius: 4px; font-weight: 600; }
.actions { margin-bottom: .8em; }
.receipt { background: #fff; padding: .5em; min-height: 2em; }
dl { display: grid; grid-template-columns: max-content auto; gap: .2em 1em; }
dt { color: #5a7184; }
@media (max-width: 900px) { .board { grid-template-columns: 1fr; } .map { height: 40vh; } }
)CSS";
    return css;
}

const std::string& console_js() {
    static const std::string js = R"JS(
"use strict";
const page = document.body.dataset.page;
const csrf = document.body.dataset.csrf;
let skew = 0;  // server clock minus this one, in seconds

function now() { return Date.now() / 1000 + skew; }
function when(t) { return t == null ? "–" : new Date(t * 1000).toLocaleString(); }
function clock(t) { return t == null ? "–" : new Date(t * 1000).toLocaleTimeString(); }
function span(s) {
  s = Math.max(0, Math.floor(s));
  const h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60, x = s % 60;
  return (h ? h + ":" + String(m).padStart(2, "0") : m) + ":" + String(x).padStart(2, "0");
}
function cell(tr, text, cls) {
  const td = document.createElement("td");
  td.textContent = text;
  if (cls) td.className = cls;
  tr.appendChild(td);
  return td;
}
function say(text, error) {
  const m = document.getElementById("message");
  if (!m) return;
  m.textContent = text;
  m.className = "message" + (error ? " error" : "");
}
async function api(path, body) {
  const init = body === undefined ? {} : {
    method: "POST",
    headers: {"Content-Type": "application/json", "X-CSRF-Token": csrf || ""},
    body: JSON.stringify(body),
  };
  const r = await fetch(path, init);
  if (r.status === 401 && page !== "login") { location.href = "/console/login"; throw new Error("logged out"); }
  const j = await r.json().catch(() => ({error: "answer " + r.status}));
  if (!r.ok) throw new Error(j.error || ("answer " + r.status));
  if (j.now) skew = j.now - Date.now() / 1000;
  return j;
}
function fields(form) {
  const o = {};
  for (const [k, v] of new FormData(form)) if (k !== "csrf") o[k] = v.trim();
  return o;
}

// The state on shore, as the desk names it.
function state(b) {
  if (b.kill_pending) return ["killed", "st-killed"];
  if (b.running) return ["running", "st-running"];
  if (b.lockout) return ["locked out", "st-locked"];
  return ["stopped", "st-stopped"];
}
// Online within its interval (and a little), late within three, else silent.
function link(b) {
  if (b.last_checkin_at == null) return ["silent", "ln-silent"];
  const age = now() - b.last_checkin_at;
  if (age <= b.interval * 1.5 + 5) return ["online", "ln-online"];
  if (age <= b.interval * 3) return ["late", "ln-late"];
  return ["silent", "ln-silent"];
}

const logout = document.getElementById("logout");
if (logout) logout.addEventListener("submit", async e => {
  e.preventDefault();
  await api("/api/logout", {}).catch(() => {});
  location.href = "/console/login";
});

if (page === "login") {
  document.getElementById("login").addEventListener("submit", async e => {
    e.preventDefault();
    try {
      await api("/api/login", fields(e.target));
      location.href = "/console/";
    } catch (err) { say(err.message, true); }
  });
}

if (page === "sell") {
  document.getElementById("sell").addEventListener("submit", async e => {
    e.preventDefault();
    try {
      const r = await api("/api/order/sell", fields(e.target));
      document.getElementById("receipt").textContent = r.text;
      say("Sold.");
      e.target.card.value = "";
    } catch (err) { say(err.message, true); }
  });
}

let boats = [];
let map = null, layer = null;

function drawMap(data) {
  if (!window.L) return;
  const c = data.map.center.split(",").map(Number);
  if (!map) {
    map = L.map("map", {zoomControl: true}).setView(c, 15);
    if (data.map.tiles) L.tileLayer(data.map.tiles, {maxZoom: 19}).addTo(map);
    L.control.scale({imperial: false}).addTo(map);
    L.circleMarker(c, {radius: 9, color: "#12324a", fillColor: "#fff", fillOpacity: 1}).addTo(map)
      .bindTooltip("Harbour", {permanent: true, direction: "top"});
    layer = L.layerGroup().addTo(map);
  }
  layer.clearLayers();
  // Boats without a position wait at the harbour, on a ring around it.
  const idle = data.boats.filter(b => !b.position);
  idle.forEach((b, i) => {
    const a = 2 * Math.PI * i / Math.max(idle.length, 1), r = 0.0015 + 0.0002 * Math.floor(i / 24);
    const p = [c[0] + r * Math.sin(a), c[1] + r * 1.5 * Math.cos(a)];
    L.circleMarker(p, {radius: 5, color: "#5a7184", weight: 1, fillOpacity: 0.3}).addTo(layer)
      .bindTooltip("Boat " + b.boat + " (no position)");
  });
  for (const b of data.boats) {
    if (!b.position) continue;
    const [s] = state(b);
    const colour = s === "running" ? "#0b7a36" : s === "killed" ? "#b3261e" : "#5a7184";
    L.circleMarker([b.position.lat, b.position.lng], {radius: 7, color: colour, fillOpacity: 0.8}).addTo(layer)
      .bindTooltip("Boat " + b.boat + (b.name ? " " + b.name : ""));
  }
}

function drawBoard() {
  const body = document.querySelector("#fleet tbody");
  const rows = [];
  let running = 0, silent = 0;
  for (const b of boats) {
    const tr = document.createElement("tr");
    tr.id = "boat-" + b.boat;
    const a = document.createElement("a");
    a.href = "/console/boat?boat=" + b.boat;
    a.textContent = b.boat + (b.name ? " " + b.name : "");
    const td = cell(tr, "");
    td.appendChild(a);
    const [s, sc] = state(b);
    if (s === "running") running++;
    cell(tr, s, "state " + sc);
    cell(tr, b.card || "–", "card");
    cell(tr, clock(b.paid_end), "paid-end");
    cell(tr, b.paid_end == null ? "–" : span(b.paid_end - now()), "left");
    cell(tr, b.last_checkin_at == null ? "never" : span(now() - b.last_checkin_at) + " ago");
    const [l, lc] = link(b);
    if (l === "silent") silent++;
    cell(tr, l, "link " + lc);
    const p = b.position;
    cell(tr, p ? p.lat.toFixed(5) + ", " + p.lng.toFixed(5) + (p.speed != null ? " " + p.speed.toFixed(1) + " kn" : "") +
      (p.fuel != null ? " fuel " + p.fuel : "") : "–");
    rows.push(tr);
  }
  body.replaceChildren(...rows);
  document.getElementById("summary").textContent =
    boats.length + " boats, " + running + " running, " + silent + " silent";
}

if (page === "board") {
  const poll = async () => {
    try {
      const data = await api("/api/board");
      boats = data.boats;
      const w = document.getElementById("weather");
      w.hidden = data.fleet_lockout_since == null;
      w.textContent = w.hidden ? "" : "Weather lockout since " + clock(data.fleet_lockout_since) +
        ": no new sessions; running boats keep their time.";
      drawBoard();
      drawMap(data);
    } catch (err) { document.getElementById("summary").textContent = err.message; }
  };
  for (const f of document.querySelectorAll("form.order")) {
    f.addEventListener("submit", async e => {
      e.preventDefault();
      try { await api("/api/order/" + f.dataset.order, {word: f.dataset.word}); } catch (err) { alert(err.message); }
      poll();
    });
  }
  poll();
  setInterval(poll, 2000);
  setInterval(() => { if (boats.length) drawBoard(); }, 1000);
}

if (page === "log") {
  const form = document.getElementById("filter");
  const query = () => {
    const q = new URLSearchParams();
    const o = fields(form);
    if (o.who) q.set("who", o.who);
    if (o.what) q.set("what", o.what);
    for (const k of ["from", "until"]) if (o[k]) q.set(k, Math.floor(new Date(o[k]).getTime() / 1000));
    return q.toString();
  };
  const show = async () => {
    try {
      const q = query();
      document.getElementById("csv").href = "/api/log.csv" + (q ? "?" + q : "");
      const d = await api("/api/log" + (q ? "?" + q : ""));
      const rows = d.entries.map(e => {
        const tr = document.createElement("tr");
        [e.id, when(e.at), e.who, e.address, e.what].forEach(v => cell(tr, v));
        return tr;
      });
      document.querySelector("#log tbody").replaceChildren(...rows);
      say(d.entries.length + " entries" + (d.entries.length >= 500 ? " (the newest 500; the CSV has all)" : ""));
    } catch (err) { say(err.message, true); }
  };
  form.addEventListener("submit", e => { e.preventDefault(); show(); });
  show();
}

if (page === "boat") {
  const number = document.body.dataset.boat;
  const fill = (id, list, cols) => {
    const rows = list.map(x => { const tr = document.createElement("tr"); cols(x).forEach(v => cell(tr, v)); return tr; });
    document.querySelector("#" + id + " tbody").replaceChildren(...rows);
  };
  const show = async () => {
    try {
      const d = await api("/api/boat?boat=" + number);
      const b = d.boat;
      document.getElementById("name").textContent = b.name;
      const [s] = state(b), [l] = link(b);
      document.getElementById("state").textContent = s + (b.running ? ", card " + b.card + ", paid end " +
        clock(b.paid_end) + " (" + span(b.paid_end - now()) + " left)" : "") + "; link " + l +
        (b.last_checkin_at != null ? ", last check-in " + when(b.last_checkin_at) : ", never checked in") +
        "; interval " + b.interval + " s";
      const k = document.getElementById("kill");
      k.replaceChildren();
      const item = (t, v, id) => {
        const dt = document.createElement("dt"); dt.textContent = t;
        const dd = document.createElement("dd"); dd.textContent = v; dd.id = id;
        k.append(dt, dd);
      };
      if (d.kill) {
        item("Ordered at", when(d.kill.ordered_at), "kill-ordered");
        item("Expected at the boat", when(d.kill.expected_at), "kill-expected");
        item("Answered to the boat at", d.kill.answered_at == null ? "not yet" : when(d.kill.answered_at), "kill-answered");
        item("Released at", d.kill.released_at == null ? "–" : when(d.kill.released_at), "kill-released");
      } else {
        item("Kill", "none ordered", "kill-none");
      }
      fill("sessions", d.sessions, x => [x.id, x.card, when(x.started_at), when(x.paid_end), when(x.ended_at), x.end_reason || ""]);
      fill("checkins", d.checkins, x => [when(x.at), x.kind, x.card || "–", x.answer]);
    } catch (err) { say(err.message, true); }
  };
  for (const f of document.querySelectorAll("form.order")) {
    f.addEventListener("submit", async e => {
      e.preventDefault();
      const o = {boat: number};
      if (f.dataset.word) o.word = f.dataset.word;
      try { say((await api("/api/order/" + f.dataset.order, o)).text); } catch (err) { say(err.message, true); }
      show();
    });
  }
  show();
  setInterval(show, 2000);
}
)JS";
    return js;
}

}  // namespace shore
