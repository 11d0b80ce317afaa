// The monitor page: draws a tree from its layout, colours it from transitions (live) or from
// snapshots (replay). Every request carries the page's token.
"use strict";

const token = new URLSearchParams(location.search).get("token") || "";
const api = (path, params = {}) =>
  path + "?" + new URLSearchParams({ ...params, token }).toString();
const getJson = async (path, params) => {
  const r = await fetch(api(path, params), { cache: "no-store" });
  if (!r.ok) throw new Error(path + ": " + r.status);
  return r.json();
};

const SVG = "http://www.w3.org/2000/svg";
const BOX_W = 150, BOX_H = 28, GAP_X = 16, GAP_Y = 50;
let current = null;     // {id, live, layout, names}
let events = null;      // EventSource of the live tree
let statePoll = null;
let generation = 0;     // of the latest choice: a slower earlier choice must not draw over it

function el(name, attrs = {}, parent = null) {
  const e = document.createElementNS(SVG, name);
  for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
  if (parent) parent.appendChild(e);
  return e;
}

// A tidy layered layout: leaves take consecutive columns, parents sit over their children.
function place(layout) {
  const byUid = new Map(layout.nodes.map((n) => [n.uid, n]));
  const pos = new Map();
  let column = 0;
  const walk = (uid, depth) => {
    const n = byUid.get(uid);
    if (n.children.length === 0) {
      pos.set(uid, { x: column++, y: depth });
    } else {
      n.children.forEach((c) => walk(c, depth + 1));
      const xs = n.children.map((c) => pos.get(c).x);
      pos.set(uid, { x: (Math.min(...xs) + Math.max(...xs)) / 2, y: depth });
    }
  };
  walk(layout.root, 0);
  return pos;
}

function draw(layout) {
  const svg = document.getElementById("tree");
  svg.replaceChildren();
  const pos = place(layout);
  const px = (p) => 10 + p.x * (BOX_W + GAP_X);
  const py = (p) => 10 + p.y * (BOX_H + GAP_Y);
  let maxX = 0, maxY = 0;
  for (const n of layout.nodes) {
    const p = pos.get(n.uid);
    for (const c of n.children) {
      const q = pos.get(c);
      el("path", { class: "edge", d: `M${px(p) + BOX_W / 2},${py(p) + BOX_H} L${px(q) + BOX_W / 2},${py(q)}` }, svg);
    }
  }
  for (const n of layout.nodes) {
    const p = pos.get(n.uid);
    const g = el("g", { class: "node", id: "node-" + n.uid, "data-uid": n.uid, "data-status": "IDLE" }, svg);
    el("rect", { x: px(p), y: py(p), width: BOX_W, height: BOX_H, rx: n.kind === "action" ? 10 : 2 }, g);
    const t = el("text", { x: px(p) + 6, y: py(p) + 18 }, g);
    t.textContent = n.name === n.type ? n.name : `${n.name} (${n.type})`;
    const title = el("title", {}, g);
    title.textContent = `${n.type} #${n.uid}, line ${n.line}`;
    maxX = Math.max(maxX, px(p) + BOX_W);
    maxY = Math.max(maxY, py(p) + BOX_H);
  }
  svg.setAttribute("width", maxX + 10);
  svg.setAttribute("height", maxY + 10);
}

function setStatus(uid, status) {
  const g = document.getElementById("node-" + uid);
  if (g) g.setAttribute("data-status", status);
}

// IDLE after a reset shows the node's last result, so a finished run stays readable.
const shown = (n) => (n.status === "IDLE" ? n.last : n.status);

function showState(state) {
  const snap = state.snapshot;
  // A snapshot read while the tree was inside a tick is from an earlier tick than the
  // transitions already shown: its counters are still worth showing, its colours are not.
  const fresh = current.live ? snap.tick >= (current.tick || 0) : true;
  if (fresh) document.getElementById("tick").textContent = `tick ${snap.tick}, root ${snap.status}`;
  const rows = [];
  for (const [uid, n] of Object.entries(snap.nodes)) {
    if (fresh) setStatus(uid, shown(n));
    const name = current.names.get(Number(uid)) || "";
    rows.push([uid, name, n.status, n.last, n.ticks, n.success, n.failure, (n.running_ns / 1e6).toFixed(1)]);
  }
  fillTable("counters", rows);
  fillTable("blackboard", Object.entries(state.blackboard).map(([k, v]) => [k, JSON.stringify(v)]));
}

function fillTable(id, rows) {
  const body = document.querySelector(`#${id} tbody`);
  body.replaceChildren(...rows.map((cells) => {
    const tr = document.createElement("tr");
    for (const c of cells) {
      const td = document.createElement("td");
      td.textContent = String(c);
      tr.appendChild(td);
    }
    return tr;
  }));
}

function stopLive() {
  if (events) events.close();
  if (statePoll) clearInterval(statePoll);
  events = statePoll = null;
}

async function choose(entry) {
  stopLive();
  const mine = ++generation;
  const layout = await getJson("/api/layout", { tree: entry.id });
  if (mine !== generation) return;
  current = { id: entry.id, live: entry.live, layout, names: new Map(layout.nodes.map((n) => [n.uid, n.name])) };
  draw(layout);
  document.getElementById("tree").setAttribute("data-tree", entry.id);
  const replay = document.getElementById("replay");
  if (entry.live) {
    replay.hidden = true;
    const state = await getJson("/api/state", { tree: entry.id });
    if (mine !== generation) return;
    showState(state);
    events = new EventSource(api("/api/events", { tree: entry.id }));
    events.onmessage = (e) => {
      for (const tick of JSON.parse(e.data)) {
        for (const t of tick.transitions) {
          // A halt's RUNNING -> IDLE leaves the node blank; anything else shows the new status.
          setStatus(t.uid, t.status);
        }
        current.tick = tick.tick;
        document.getElementById("tick").textContent = `tick ${tick.tick}, root ${tick.status}`;
      }
    };
    statePoll = setInterval(async () => {
      try {
        const later = await getJson("/api/state", { tree: entry.id });
        if (mine === generation) showState(later);
      } catch (e) { /* the tree is gone */ }
    }, 1000);
  } else {
    replay.hidden = false;
    const slider = document.getElementById("slider");
    slider.min = entry.first ?? 0;
    slider.max = entry.last ?? 0;
    slider.value = slider.min;
    await showTick(slider.value);
  }
}

async function showTick(tick) {
  document.getElementById("slider-value").textContent = tick;
  const mine = generation;
  const state = await getJson("/api/state", { tree: current.id, tick });
  if (mine !== generation || document.getElementById("slider").value !== String(tick)) return;
  for (const g of document.querySelectorAll("g.node")) g.setAttribute("data-status", "IDLE");
  showState(state);
  document.getElementById("tree").setAttribute("data-tick", tick);
}

async function refresh() {
  const trees = await getJson("/api/trees");
  const select = document.getElementById("trees");
  const keep = select.value;
  select.replaceChildren(...trees.map((t) => {
    const o = document.createElement("option");
    o.value = t.id;
    o.textContent = t.live ? `${t.label || "tree"} #${t.id}: ${t.root} (${t.nodes} nodes)`
                           : `recording ${t.label} (ticks ${t.first}-${t.last})`;
    o.entry = t;
    return o;
  }));
  if (keep && trees.some((t) => t.id === keep)) select.value = keep;
  const chosen = select.selectedOptions[0];
  if (chosen && (!current || current.id !== chosen.value)) await choose(chosen.entry);
}

document.getElementById("trees").addEventListener("change", (e) => choose(e.target.selectedOptions[0].entry));
document.getElementById("refresh").addEventListener("click", refresh);
document.getElementById("slider").addEventListener("input", (e) => showTick(e.target.value));
refresh();
