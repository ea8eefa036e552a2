// The console page: one WebSocket to the gateway, the full state once, then
// changes. Every text that comes from the site is put into the page with
// textContent or as an attribute value, never parsed as markup.
"use strict";

const STALE_AFTER_MS = 1500; // the gateway beats every 0.5 s
const BEHIND_AFTER_S = 1; // a lag the page owns up to
const SESSION_ENDED = 4001; // the gateway's close code: log in again
const GOING_AWAY = 1001; // the gateway's close code when it stops
const MAX_LOG_ROWS = 500;
const MAX_PLOT_POINTS = 5000;
const MAX_PLOT_SERIES = 8;
const PLOT_BUDGET = 1000; // archived points per series and range
const naturally = new Intl.Collator(undefined, {numeric: true, sensitivity: "base"}).compare;
const LEVELS = {trace: 0, debug: 1, info: 2, warn: 3, warning: 3, err: 4, error: 4, critical: 5, off: 6};

const ui = {
  peers: document.getElementById("peers"),
  cameras: document.getElementById("cameras"),
  logs: document.getElementById("logs"),
  level: document.getElementById("log-level"),
  conn: document.getElementById("conn"),
  mode: document.getElementById("mode"),
  userBox: document.getElementById("user-box"),
  userName: document.getElementById("user-name"),
  site: document.getElementById("site-name"),
  banner: document.getElementById("stale-banner"),
  count: document.getElementById("peer-count"),
  plot: document.getElementById("plot"),
  plotTitle: document.getElementById("plot-title"),
  plotNote: document.getElementById("plot-note"),
  plotRange: document.getElementById("plot-range"),
  plotReset: document.getElementById("plot-reset"),
  plotCsv: document.getElementById("plot-csv"),
  plotClear: document.getElementById("plot-clear"),
  filter: document.getElementById("filter"),
};

let ws = null;
let hello = {write: false, history: false};
let siteAlive = false;
let lastHeard = 0;
let clockOffset = 0; // gateway time minus this browser's time, seconds
let nextId = 1;
let reconnectDelay = 500;
let lastClose = null; // code of the last socket close
let goneAway = false; // the gateway said it was stopping, and no socket opened since
let lag = 0; // seconds this page is behind, as the gateway measured it
const waiting = new Map(); // request id -> callback(reply)
const peers = new Map(); // peer id -> {desc, card, values: Map, cam}
const series = new Map(); // "id\u0000prop" -> {t: [], v: []} live values
const dirty = new Set(); // [entry, name] keys whose cell waits for the end of the batch
let plotDirty = false;
// The plot: its series, each with its archived values, the range shown
// (the last `span` seconds, or a zoomed [since, until)), and the chart.
const plot = {series: [], span: 3600, zoom: null, chart: null};
const folded = new Set(loadFolded());

// -- small DOM helpers ------------------------------------------------------

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (v === undefined || v === null || v === false) continue;
    if (k === "class") node.className = v;
    else if (k === "text") node.textContent = v;
    else node.setAttribute(k, v === true ? "" : String(v));
  }
  for (const c of children) {
    if (c === null || c === undefined) continue;
    node.append(typeof c === "string" ? document.createTextNode(c) : c);
  }
  return node;
}

function formatNumber(v) {
  if (typeof v !== "number") return String(v);
  if (Number.isInteger(v)) return String(v);
  return String(Number(v.toPrecision(12)));
}

function formatValue(prop, v) {
  if (v === null || v === undefined) return "";
  if (Array.isArray(v)) return v.map(formatNumber).join(", ");
  if (prop && prop.choices) {
    for (const [key, label] of prop.choices) if (key === v) return label + " (" + v + ")";
  }
  return formatNumber(v);
}

// Limits that only repeat the type's whole range say nothing.
function hasLimits(prop) {
  const l = prop.limits;
  if (!Array.isArray(l) || l.length !== 2) return false;
  return !(Math.abs(Number(l[0])) >= 9.2e18 && Math.abs(Number(l[1])) >= 9.2e18);
}

function isNumeric(prop) {
  return /^(int|integer|double|float|number)$/i.test(prop.type || "") || (!prop.type && typeof prop.value === "number");
}

function gatewayNow() {
  return Date.now() / 1000 + clockOffset;
}

// -- connection ---------------------------------------------------------------

// The page's first connection holds its load event until the first batch
// came (the gateway answers /settled then, or after 2 s): a plain headless
// screenshot, taken at load, shows the site rather than "connecting".
const pageToken = Array.from(crypto.getRandomValues(new Uint8Array(12)), (b) => b.toString(16).padStart(2, "0")).join("");
let settling = true;

function connect() {
  setConn("connecting", "connecting");
  const query = settling ? "?page=" + pageToken : "";
  ws = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/ws" + query);
  if (settling) {
    settling = false;
    document.body.append(el("img", {src: "/settled?page=" + pageToken, alt: "", hidden: true, "aria-hidden": "true"}));
  }
  ws.onopen = () => {
    reconnectDelay = 500;
    goneAway = false;
  };
  ws.onmessage = (event) => {
    lastHeard = Date.now();
    let batch;
    try {
      batch = JSON.parse(event.data);
    } catch (e) {
      return;
    }
    if (!Array.isArray(batch)) batch = [batch];
    for (const m of batch) {
      try {
        handle(m);
      } catch (e) {
        console.error("message", m && m.type, e);
      }
    }
    try {
      flushValues();
    } catch (e) {
      console.error("drawing values", e);
    }
    // Handled: the gateway may send the next batch (it holds the newest
    // values meanwhile).
    const last = batch[batch.length - 1];
    if (last && last.type === "seq" && ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify({op: "ack", seq: last.n}));
    updateStale();
  };
  ws.onclose = (event) => {
    ws = null;
    lastClose = event.code;
    if (event.code === GOING_AWAY) goneAway = true;
    lag = 0;
    for (const cb of waiting.values()) cb({ok: false, error: "the connection to the gateway closed"});
    waiting.clear();
    updateStale();
    if (event.code === SESSION_ENDED) {
      location.replace("/login");
      return;
    }
    if (hello.login) checkSession();
    setTimeout(connect, reconnectDelay);
    reconnectDelay = Math.min(reconnectDelay * 2, 5000);
  };
}

// A socket refused for want of a session cannot say so: ask the gateway.
function checkSession() {
  fetch("/whoami", {cache: "no-store"}).then((r) => {
    if (r.status === 401) location.replace("/login");
  }, () => {});
}

async function logOut() {
  try {
    await fetch("/logout", {method: "POST"});
  } finally {
    location.replace("/login");
  }
}

function send(request, callback) {
  if (!ws || ws.readyState !== WebSocket.OPEN) {
    callback({ok: false, error: "not connected to the gateway"});
    return;
  }
  request.id = nextId++;
  waiting.set(request.id, callback);
  ws.send(JSON.stringify(request));
}

function setConn(cls, text) {
  ui.conn.className = "badge " + cls;
  ui.conn.textContent = text;
}

function updateStale() {
  const connected = ws && ws.readyState === WebSocket.OPEN;
  const quiet = Date.now() - lastHeard > STALE_AFTER_MS;
  const stale = !connected || quiet || !siteAlive;
  document.body.classList.toggle("stale", stale);
  document.body.classList.remove("connecting");
  ui.banner.hidden = !stale;
  if (!connected) {
    setConn("bad", "disconnected");
    ui.banner.textContent = "Not connected to the gateway: every value shown may be out of date.";
  } else if (quiet) {
    setConn("bad", "stale");
    ui.banner.textContent = "No word from the gateway: every value shown may be out of date.";
  } else if (!siteAlive) {
    setConn("bad", "site lost");
    ui.banner.textContent = "The gateway has lost the site: every value shown may be out of date.";
  } else if (lag >= BEHIND_AFTER_S) {
    const n = Math.round(lag);
    setConn("warn", "behind by " + n + " s");
    ui.banner.hidden = false;
    ui.banner.textContent = "This page is behind by " + n + " s: the values shown are the newest it has had time for.";
  } else {
    setConn("good", "live");
  }
  if (!connected && goneAway) ui.banner.textContent = "The gateway has stopped: every value shown may be out of date.";
}
setInterval(updateStale, 250);

// -- messages -----------------------------------------------------------------

function handle(m) {
  switch (m.type) {
    case "hello":
      hello = m;
      ui.site.textContent = "site " + m.site;
      ui.mode.textContent = m.write ? "writes allowed" : "read only";
      ui.mode.className = "badge " + (m.write ? "warn" : "");
      document.body.classList.toggle("can-write", !!m.write);
      ui.userBox.hidden = !m.login;
      if (m.login) ui.userName.textContent = m.user + (m.identity && m.identity !== m.user ? " as " + m.identity : "");
      break;
    case "state":
      siteAlive = !!m.alive;
      peers.clear();
      dirty.clear();
      ui.peers.replaceChildren();
      ui.cameras.replaceChildren();
      for (const p of m.peers) showPeer(p);
      forgetSeries();
      ui.logs.replaceChildren();
      for (const l of m.logs) showLog(l);
      break;
    case "peer":
      showPeer(m.peer);
      break;
    case "gone":
      markGone(m.id);
      break;
    case "drop":
      dropPeer(m.id);
      break;
    case "prop":
      showValue(m.id, m.name, m.value, m.time);
      break;
    case "status":
      showStatus(m.id, m.value, m.name);
      break;
    case "log":
      showLog(m.log);
      break;
    case "skipped":
      showLog({time: gatewayNow(), peer: "corvo-web", level: "warn", text: m.count + " log records left out: this page fell behind"});
      break;
    case "image":
      showImage(m);
      break;
    case "site":
      siteAlive = !!m.alive;
      break;
    case "hb":
      siteAlive = !!m.alive;
      if (typeof m.time === "number") clockOffset = m.time - Date.now() / 1000;
      if (typeof m.lag === "number") lag = m.lag;
      break;
    case "silent":
      markSilent(m.id, !!m.silent);
      break;
    case "seq":
      break;
    case "reply": {
      const cb = waiting.get(m.id);
      waiting.delete(m.id);
      if (cb) cb(m);
      break;
    }
  }
}

// -- peers ----------------------------------------------------------------------

function showPeer(desc) {
  const old = peers.get(desc.id);
  const entry = {desc, values: new Map(), cam: old ? old.cam : null};
  const card = el("article", {class: "peer" + (desc.client ? " client" : ""), "data-peer": desc.name, "data-id": desc.id});
  const status = el("span", {class: "badge status", "data-role": "status"});
  const fold = el("button", {type: "button", class: "fold", "data-role": "fold", "aria-expanded": "true", title: "fold or unfold"});
  fold.onclick = () => setFolded(entry, !card.classList.contains("folded"));
  const head = el(
    "header",
    {},
    desc.client ? null : fold,
    el("h3", {text: desc.name}),
    el("span", {class: "type", text: desc.type || (desc.client ? "client" : "daemon")}),
    status,
    el("span", {class: "badge gone-badge", text: "gone"}),
    el("span", {class: "badge silent-badge", text: "silent", title: "no word from this peer for a while: its values may be out of date"}),
  );
  // On a secured site: the identity the peer's key proves.
  if (desc.identity) head.append(el("span", {class: "identity muted", "data-role": "identity", text: "key " + desc.identity, title: "proven identity"}));
  entry.lock = el("span", {class: "badge lock-badge", "data-role": "lock", hidden: true});
  head.append(entry.lock);
  card.append(head);
  entry.status = status;
  if (!desc.client) {
    card.append(propertyTable(entry));
    const cmds = commandList(entry);
    if (cmds) card.append(cmds);
    const names = Object.entries(desc.statuses || {});
    if (names.length) {
      card.append(el("p", {class: "statuses muted", text: "status values: " + names.map(([k, v]) => k + " " + v).join(", ")}));
    }
  }
  entry.card = card;
  entry.fold = fold;
  if (old) old.card.remove();
  placeCard(entry);
  peers.set(desc.id, entry);
  showStatus(desc.id, desc.status, desc.statusName);
  showLock(entry);
  card.classList.toggle("gone", !!desc.gone);
  card.classList.toggle("silent", !!desc.silent && !desc.gone);
  if (!desc.client) setFolded(entry, folded.has(desc.name));
  applyFilter(entry);
  for (const [name, prop] of Object.entries(desc.properties || {})) {
    if (isNumeric(prop) && typeof prop.value === "number") record(desc.id, name, prop.value, gatewayNow());
  }
  if (isCamera(desc)) cameraView(entry);
  else if (entry.cam) {
    entry.cam.root.remove();
    entry.cam = null;
  }
}

// Daemons first, then tools; each in natural order of their names (p2 before p10).
function placeCard(entry) {
  const rank = (d) => (d.client ? 1 : 0);
  for (const other of ui.peers.children) {
    const o = peers.get(other.dataset.id);
    if (!o || o === entry) continue;
    if (rank(entry.desc) < rank(o.desc) || (rank(entry.desc) === rank(o.desc) && naturally(entry.desc.name, o.desc.name) < 0)) {
      ui.peers.insertBefore(entry.card, other);
      return;
    }
  }
  ui.peers.append(entry.card);
}

function loadFolded() {
  try {
    const saved = JSON.parse(localStorage.getItem("corvo.folded") || "[]");
    return Array.isArray(saved) ? saved.filter((n) => typeof n === "string").slice(0, 1000) : [];
  } catch (e) {
    return [];
  }
}

function setFolded(entry, fold) {
  entry.card.classList.toggle("folded", fold);
  entry.fold.setAttribute("aria-expanded", String(!fold));
  entry.fold.textContent = fold ? "\u25B8" : "\u25BE";
  if (fold) folded.add(entry.desc.name);
  else folded.delete(entry.desc.name);
  try {
    localStorage.setItem("corvo.folded", JSON.stringify([...folded]));
  } catch (e) {
    // storage may be off; folding still works for this page
  }
}

// The filter box: a card shows when its peer's name or one of its
// property names holds the text; of a card shown for its properties, only
// those rows show.
function applyFilter(entry) {
  const text = ui.filter.value.trim().toLowerCase();
  const peerHit = !text || entry.desc.name.toLowerCase().includes(text);
  let rowHit = false;
  for (const row of entry.card.querySelectorAll("tr[data-prop]")) {
    const hit = peerHit || row.dataset.prop.toLowerCase().includes(text);
    row.hidden = !hit;
    rowHit = rowHit || hit;
  }
  entry.card.hidden = !(peerHit || rowHit);
}

ui.filter.addEventListener("input", () => {
  for (const entry of peers.values()) applyFilter(entry);
});

function propertyTable(entry) {
  const table = el("table", {class: "props"});
  const body = el("tbody");
  const names = Object.keys(entry.desc.properties || {}).sort(naturally);
  for (const name of names) {
    const prop = entry.desc.properties[name];
    const value = el("span", {class: "value", "data-prop": name, text: formatValue(prop, prop.value)});
    entry.values.set(name, value);
    const about = [prop.description];
    if (hasLimits(prop)) about.push("limits " + formatValue(null, prop.limits));
    if (prop.choices) about.push("choices " + prop.choices.map(([k, l]) => l + "=" + k).join(", "));
    const cell = el("td", {class: "val"}, value, el("span", {class: "unit", text: prop.unit || ""}));
    if (prop.writable && hello.write && !entry.desc.gone) cell.append(editor(entry, name, prop));
    const plotButton = isNumeric(prop)
      ? el("button", {class: "plot-btn", type: "button", title: "plot " + name + " alone", text: "plot"})
      : null;
    const addButton = isNumeric(prop)
      ? el("button", {class: "plot-btn plot-add", type: "button", title: "add " + name + " to the plot", text: "+"})
      : null;
    if (plotButton) plotButton.onclick = () => showPlot(entry.desc.id, name, false);
    if (addButton) addButton.onclick = () => showPlot(entry.desc.id, name, true);
    body.append(
      el(
        "tr",
        {"data-prop": name},
        el("th", {scope: "row", text: name}, prop.writable ? el("span", {class: "rw", title: "writable", text: " \u270E"}) : null),
        cell,
        el("td", {class: "about muted", text: about.filter(Boolean).join("; ")}),
        el("td", {class: "tools"}, plotButton, addButton),
      ),
    );
  }
  table.append(body);
  return table;
}

function editor(entry, name, prop) {
  const form = el("form", {class: "edit", "data-prop": name});
  let input;
  if (prop.choices) {
    input = el("select", {name: "value", "aria-label": "new value of " + name});
    for (const [key, label] of prop.choices) input.append(el("option", {value: String(key), text: label}));
    input.value = String(prop.value);
  } else {
    input = el("input", {name: "value", "aria-label": "new value of " + name, placeholder: "new value", autocomplete: "off", spellcheck: "false"});
  }
  const button = el("button", {type: "submit", text: "set"});
  const result = el("span", {class: "result", role: "status"});
  form.append(input, button, result);
  form.onsubmit = (event) => {
    event.preventDefault();
    const text = input.value;
    if (text === "") return;
    result.className = "result pending";
    result.textContent = "sending\u2026";
    send({op: "set", peer: entry.desc.id, prop: name, value: text}, (reply) => {
      if (reply.ok) {
        result.className = "result ok";
        result.textContent = "confirmed " + formatValue(prop, reply.value);
        if (input.tagName === "INPUT") input.value = "";
      } else {
        result.className = "result refused";
        result.textContent = "refused: " + reply.error;
      }
    });
  };
  return form;
}

function commandList(entry) {
  const commands = Object.entries(entry.desc.commands || {});
  if (!commands.length) return null;
  const list = el("div", {class: "commands"});
  for (const [name, cmd] of commands.sort((a, b) => naturally(a[0], b[0]))) {
    const label = cmd.description ? name + ": " + cmd.description : name;
    if (!hello.write || entry.desc.gone) {
      const args = cmd.args.map(([a, t]) => a + " (" + t + ")").join(" ");
      list.append(el("span", {class: "command muted", "data-command": name, text: args ? name + " " + args : name, title: cmd.description}));
      continue;
    }
    const form = el("form", {class: "command", "data-command": name, title: label});
    const inputs = cmd.args.map(([a, t]) => el("input", {name: a, placeholder: a + " (" + t + ")", "aria-label": a, size: 8, autocomplete: "off"}));
    const button = el("button", {type: "submit", text: name});
    const result = el("span", {class: "result", role: "status"});
    form.append(button, ...inputs, result);
    form.onsubmit = (event) => {
      event.preventDefault();
      result.className = "result pending";
      result.textContent = "sending\u2026";
      send({op: "cmd", peer: entry.desc.id, name, args: inputs.map((i) => i.value)}, (reply) => {
        result.className = "result " + (reply.ok ? "ok" : "refused");
        result.textContent = reply.ok ? "sent" : "refused: " + reply.error;
      });
    };
    list.append(form);
  }
  return list;
}

function showValue(id, name, value, time) {
  const entry = peers.get(id);
  if (!entry) return;
  const prop = (entry.desc.properties || {})[name];
  if (!prop) return;
  prop.value = value;
  // The cell is written once at the end of the batch, however many values came.
  if (entry.values.has(name)) dirty.add(entry.desc.id + "\u0000" + name);
  if (isNumeric(prop) && typeof value === "number") record(id, name, value, time || gatewayNow());
  if (name === "lock") showLock(entry);
  if (entry.cam) updateCamera(entry);
}

const FLASH_EVERY_MS = 1000; // a value changing faster flashes once a second, not on every change
const flashed = new WeakMap(); // cell -> when it last flashed

function flushValues() {
  const now = Date.now();
  for (const key of dirty) {
    const [id, name] = key.split("\u0000");
    const entry = peers.get(id);
    const cell = entry && entry.values.get(name);
    if (!cell) continue;
    const prop = entry.desc.properties[name];
    cell.textContent = formatValue(prop, prop.value);
    if (now - (flashed.get(cell) || 0) < FLASH_EVERY_MS) continue;
    flashed.set(cell, now);
    // Two alternating animations restart the highlight without a forced layout.
    const odd = cell.classList.contains("flash");
    cell.classList.toggle("flash", !odd);
    cell.classList.toggle("flash2", odd);
  }
  dirty.clear();
  ui.count.textContent = "(" + [...peers.values()].filter((p) => !p.desc.gone).length + ")";
  if (plotDirty) {
    plotDirty = false;
    drawPlot();
  }
}

// A secured daemon's "lock" property names its holder ("IDENTITY until
// TIME"), empty when free.
function showLock(entry) {
  const lock = (entry.desc.properties || {}).lock;
  const holder = lock && typeof lock.value === "string" ? lock.value : "";
  entry.lock.hidden = holder === "";
  entry.lock.textContent = holder ? "locked by " + holder : "";
  entry.lock.title = holder ? "writes and commands of others are refused while " + holder.split(" ")[0] + " holds the lock" : "";
  entry.card.classList.toggle("locked", holder !== "");
}

function showStatus(id, value, name) {
  const entry = peers.get(id);
  if (!entry) return;
  entry.desc.status = value;
  entry.desc.statusName = name;
  if (entry.desc.client) {
    entry.status.textContent = "client";
  } else {
    entry.status.textContent = name === undefined || name === null || name === "" ? String(value) : name;
  }
  entry.status.classList.toggle("busy", value !== 0 && !entry.desc.client);
  if (entry.cam) updateCamera(entry);
}

function markSilent(id, silent) {
  const entry = peers.get(id);
  if (!entry) return;
  entry.desc.silent = silent;
  entry.card.classList.toggle("silent", silent && !entry.desc.gone);
}

function markGone(id) {
  const entry = peers.get(id);
  if (!entry) return;
  entry.desc.gone = true;
  entry.card.classList.remove("silent");
  entry.card.classList.add("gone");
  for (const control of entry.card.querySelectorAll("input, select, button:not(.plot-btn)")) control.disabled = true;
  if (entry.cam) {
    entry.cam.root.classList.add("gone");
    updateCamera(entry);
  }
}

function dropPeer(id) {
  const entry = peers.get(id);
  if (!entry) return;
  entry.card.remove();
  if (entry.cam) entry.cam.root.remove();
  peers.delete(id);
  forgetSeries();
}

// Live values are kept for the peers shown and the series plotted only: a
// page left open for days on a site whose programs come and go would
// otherwise keep every series it ever saw.
function forgetSeries() {
  for (const key of series.keys()) {
    const id = key.slice(0, key.indexOf("\u0000"));
    if (!peers.has(id) && !plot.series.some((p) => p.key === key)) series.delete(key);
  }
}

// -- log ----------------------------------------------------------------------------

function levelRank(level) {
  if (typeof level === "number") return level;
  const r = LEVELS[String(level).toLowerCase()];
  return r === undefined ? 2 : r;
}

function showLog(l) {
  const rank = levelRank(l.level);
  const when = typeof l.time === "number" ? new Date(l.time * 1000).toISOString().slice(11, 23) : String(l.time || "");
  const levelName = typeof l.level === "number" ? Object.keys(LEVELS).find((k) => LEVELS[k] === l.level) || l.level : l.level;
  const row = el(
    "div",
    {class: "logrow lvl" + rank, "data-level": rank},
    el("span", {class: "t", text: when}),
    el("span", {class: "p", text: l.peer || ""}),
    el("span", {class: "l", text: String(levelName)}),
    el("span", {class: "x", text: l.text || ""}),
  );
  row.hidden = rank < Number(ui.level.value);
  const atBottom = ui.logs.scrollTop + ui.logs.clientHeight >= ui.logs.scrollHeight - 4;
  ui.logs.append(row);
  while (ui.logs.childElementCount > MAX_LOG_ROWS) ui.logs.firstElementChild.remove();
  if (atBottom) ui.logs.scrollTop = ui.logs.scrollHeight;
}

ui.level.onchange = () => {
  const min = Number(ui.level.value);
  for (const row of ui.logs.children) row.hidden = Number(row.dataset.level) < min;
};

// -- plots ----------------------------------------------------------------------------

function record(id, name, value, t) {
  const key = id + "\u0000" + name;
  let s = series.get(key);
  if (!s) {
    s = {t: [], v: []};
    series.set(key, s);
  }
  if (s.t.length && t < s.t[s.t.length - 1]) t = s.t[s.t.length - 1];
  s.t.push(t);
  s.v.push(value);
  if (s.t.length > MAX_PLOT_POINTS) {
    s.t.splice(0, s.t.length - MAX_PLOT_POINTS);
    s.v.splice(0, s.v.length - MAX_PLOT_POINTS);
  }
  if (plot.series.some((p) => p.key === key)) plotDirty = true;
}

// "plot": this property alone; "+": added to what is plotted.
function showPlot(id, name, add) {
  const entry = peers.get(id);
  if (!entry) return;
  const key = id + "\u0000" + name;
  if (!add) {
    plot.series = [];
    plot.zoom = null;
    resetChart();
  }
  if (!plot.series.some((p) => p.key === key)) {
    if (plot.series.length >= MAX_PLOT_SERIES) plot.series.shift();
    const unit = entry.desc.properties[name].unit;
    plot.series.push({key, id, name, label: entry.desc.name + " " + name + (unit ? " [" + unit + "]" : ""), archived: {t: [], v: []}});
    resetChart();
  }
  ui.plotTitle.textContent = plot.series.map((p) => p.label).join(", ");
  for (const b of [ui.plotReset, ui.plotCsv, ui.plotClear]) b.disabled = false;
  loadArchive();
  document.getElementById("plot-panel").scrollIntoView({block: "nearest"});
}

// The range shown, in gateway seconds: [since, until).
function plotRange() {
  if (plot.zoom) return plot.zoom;
  const now = gatewayNow();
  return {since: now - plot.span, until: now};
}

function loadArchive() {
  drawPlot();
  if (!hello.history) {
    ui.plotNote.textContent = "live values since this page opened (no archive)";
    return;
  }
  const range = plotRange();
  const asked = plot.series.slice();
  ui.plotNote.textContent = "loading " + describeRange(range) + " from the archive\u2026";
  let answers = 0;
  const notes = [];
  for (const p of asked) {
    send({op: "history", peer: p.id, prop: p.name, since: range.since, until: range.until, points: PLOT_BUDGET}, (reply) => {
      if (!plot.series.includes(p)) return;
      if (reply.ok) {
        p.archived = {t: reply.points.map((q) => q[0]), v: reply.points.map((q) => q[1])};
        notes.push(reply.points.length + " archived values of " + p.label);
      } else {
        notes.push(p.label + ": live values only: " + reply.error);
      }
      if (++answers === asked.length) ui.plotNote.textContent = notes.join("; ") + " (" + describeRange(range) + ")";
      drawPlot();
    });
  }
}

function describeRange(range) {
  const iso = (t) => new Date(t * 1000).toISOString().slice(0, 19).replace("T", " ");
  return plot.zoom ? iso(range.since) + " to " + iso(range.until) + " UTC" : "the last " + ui.plotRange.selectedOptions[0].textContent;
}

// One series' points within the range: archived ones, then live ones
// after the archive's last.
function seriesPoints(p, range) {
  const live = series.get(p.key) || {t: [], v: []};
  const t = [], v = [];
  const a = p.archived;
  const firstLive = live.t.length ? live.t[0] : Infinity;
  for (let i = 0; i < a.t.length; i++) {
    if (a.t[i] < firstLive && a.t[i] >= range.since && a.t[i] < range.until) {
      t.push(a.t[i]);
      v.push(a.v[i]);
    }
  }
  for (let i = 0; i < live.t.length; i++) {
    if (live.t[i] >= range.since && live.t[i] < range.until && !(t.length && live.t[i] <= t[t.length - 1])) {
      t.push(live.t[i]);
      v.push(live.v[i]);
    }
  }
  return [t, v];
}

function plotData() {
  const range = plotRange();
  const parts = plot.series.map((p) => seriesPoints(p, range));
  if (!parts.length) return [[]];
  return parts.length === 1 ? [parts[0][0], parts[0][1]] : uPlot.join(parts);
}

// The plotted values as CSV: a row per time, a column per series.
function plotCsv() {
  const data = plotData();
  const quote = (text) => '"' + String(text).replace(/"/g, '""') + '"';
  const rows = [["time (UTC)", ...plot.series.map((p) => p.label)].map(quote).join(",")];
  for (let i = 0; i < data[0].length; i++) {
    const cells = [new Date(data[0][i] * 1000).toISOString()];
    for (let j = 1; j < data.length; j++) cells.push(data[j][i] === null || data[j][i] === undefined ? "" : String(data[j][i]));
    rows.push(cells.join(","));
  }
  return rows.join("\r\n") + "\r\n";
}

const COLOURS = ["#2b6cb0", "#c05621", "#2f855a", "#9b2c2c", "#6b46c1", "#b7791f", "#2c7a7b", "#4a5568"];

// A y axis as wide as its widest tick label (uPlot's fixed 50 px cut "1,000,000").
function axisSize(u, values, axisIndex, cycle) {
  const axis = u.axes[axisIndex];
  if (cycle > 1) return axis._size;
  let size = axis.ticks.size + axis.gap + 6;
  const longest = (values || []).reduce((a, v) => (String(v).length > a.length ? String(v) : a), "");
  if (longest) {
    u.ctx.font = axis.font[0];
    size += u.ctx.measureText(longest).width / devicePixelRatio;
  }
  return Math.ceil(size);
}

function resetChart() {
  if (plot.chart) plot.chart.destroy();
  plot.chart = null;
}

function drawPlot() {
  if (!plot.series.length) return;
  const data = plotData();
  if (!plot.chart) {
    if (typeof uPlot === "undefined") {
      ui.plotNote.textContent = "the charting library did not load";
      return;
    }
    const width = Math.max(200, ui.plot.clientWidth || 400);
    const few = data[0].length < 60;
    plot.chart = new uPlot(
      {
        width,
        height: 240,
        scales: {x: {time: true, range: () => {
          const r = plotRange();
          return [r.since, r.until];
        }}},
        axes: [{}, {size: axisSize}],
        series: [{}, ...plot.series.map((p, i) => ({label: p.label, stroke: COLOURS[i % COLOURS.length], width: 1.5, spanGaps: true, points: {show: few}, paths: uPlot.paths.stepped({align: 1})}))],
        cursor: {drag: {x: true, y: false, setScale: false}},
        hooks: {setSelect: [zoomToSelection]},
        legend: {show: true},
      },
      data,
      ui.plot,
    );
  } else {
    plot.chart.setData(data);
  }
}

// A drag across the plot zooms into that time range, read afresh from the archive.
function zoomToSelection(u) {
  if (u.select.width < 2) return;
  const since = u.posToVal(u.select.left, "x");
  const until = u.posToVal(u.select.left + u.select.width, "x");
  u.setSelect({left: 0, top: 0, width: 0, height: 0}, false);
  zoomTo(since, until);
}

function zoomTo(since, until) {
  if (!(until > since)) return;
  plot.zoom = {since, until};
  loadArchive();
}

ui.plotRange.onchange = () => {
  plot.span = Number(ui.plotRange.value);
  plot.zoom = null;
  if (plot.series.length) loadArchive();
};
ui.plotReset.onclick = () => {
  plot.zoom = null;
  if (plot.series.length) loadArchive();
};
ui.plotClear.onclick = () => {
  plot.series = [];
  plot.zoom = null;
  resetChart();
  ui.plotTitle.textContent = "choose a numeric property (plot, or + to add it)";
  ui.plotNote.textContent = "";
  for (const b of [ui.plotReset, ui.plotCsv, ui.plotClear]) b.disabled = true;
};
ui.plotCsv.onclick = () => {
  const link = el("a", {href: URL.createObjectURL(new Blob([plotCsv()], {type: "text/csv"})), download: "corvo-plot.csv"});
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
};

// A live plot moves with time even when no value comes.
setInterval(() => {
  if (plot.chart && !plot.zoom) drawPlot();
}, 1000);

window.addEventListener("resize", () => {
  if (plot.chart) plot.chart.setSize({width: Math.max(200, ui.plot.clientWidth), height: 240});
});

// -- camera ----------------------------------------------------------------------------

function isCamera(desc) {
  const p = desc.properties || {};
  return !desc.client && "expotime" in p && "starttime" in p && "filename" in p;
}

function cameraView(entry) {
  if (entry.cam) {
    entry.cam.title.textContent = "Camera " + entry.desc.name;
    entry.cam.root.classList.toggle("gone", !!entry.desc.gone);
    updateCamera(entry);
    return;
  }
  const bar = el("progress", {max: 1, value: 0, "aria-label": "exposure progress"});
  const cam = {
    root: el("section", {class: "camera", "data-peer": entry.desc.name}),
    title: el("h2", {text: "Camera " + entry.desc.name}),
    bar,
    phase: el("span", {class: "phase"}),
    img: el("img", {alt: "latest image", hidden: true}),
    note: el("p", {class: "muted image-note", text: "no image yet"}),
    file: el("p", {class: "filename"}),
    download: el("a", {class: "download", text: "download FITS", hidden: true}),
    stats: el("table", {class: "stats"}),
    header: el("table", {class: "fitshdr"}),
    startedLocal: null,
  };
  const headerBox = el("details", {class: "header-box"}, el("summary", {text: "FITS header"}), cam.header);
  cam.root.append(cam.title, el("div", {class: "progress"}, bar, cam.phase), cam.file, cam.download, cam.img, cam.note, cam.stats, headerBox);
  ui.cameras.append(cam.root);
  entry.cam = cam;
  updateCamera(entry);
}

function parseStart(text) {
  if (typeof text !== "string" || !text) return null;
  const t = Date.parse(/[zZ]|[+-]\d\d:?\d\d$/.test(text) ? text : text + "Z");
  return Number.isFinite(t) ? t / 1000 : null;
}

function updateCamera(entry) {
  const cam = entry.cam;
  const props = entry.desc.properties;
  const name = String(entry.desc.statusName || "").toUpperCase();
  if (name === "EXPOSE") {
    if (cam.startedLocal === null) cam.startedLocal = gatewayNow();
    const start = parseStart(props.starttime.value) || cam.startedLocal;
    const total = Number(props.expotime.value) || 0;
    const done = total > 0 ? Math.min(1, Math.max(0, (gatewayNow() - start) / total)) : 1;
    cam.bar.value = done;
    cam.phase.textContent = "exposing " + Math.round(done * 100) + "% of " + formatNumber(total) + " s";
    cam.root.dataset.phase = "expose";
  } else if (name === "READOUT") {
    cam.startedLocal = null;
    cam.bar.value = 1;
    cam.phase.textContent = "reading out";
    cam.root.dataset.phase = "readout";
  } else {
    cam.startedLocal = null;
    cam.bar.value = 0;
    cam.phase.textContent = entry.desc.gone ? "gone" : name ? name.toLowerCase() : "idle";
    cam.root.dataset.phase = "idle";
  }
}

setInterval(() => {
  for (const entry of peers.values()) if (entry.cam && entry.cam.root.dataset.phase === "expose") updateCamera(entry);
}, 200);

function showImage(m) {
  const entry = peers.get(m.id);
  if (!entry || !entry.cam) return;
  const cam = entry.cam;
  cam.file.textContent = m.filename || "";
  // Only the gateway's own path is taken as a link.
  const download = typeof m.download === "string" && /^\/image\/\d{1,12}\.fits$/.test(m.download);
  cam.download.hidden = !(m.ok && download);
  if (m.ok && download) {
    cam.download.href = m.download;
    cam.download.setAttribute("download", "");
  }
  if (!m.ok) {
    cam.note.textContent = "no preview: " + m.reason;
    cam.note.hidden = false;
    cam.img.hidden = true;
    cam.root.dataset.image = "none";
    return;
  }
  cam.note.hidden = true;
  cam.img.src = m.url;
  cam.img.hidden = false;
  cam.root.dataset.image = m.url;
  const s = m.stats || {};
  cam.stats.replaceChildren(
    el("tr", {}, ...["size", "min", "max", "mean", "median", "std"].map((k) => el("th", {text: k}))),
    el(
      "tr",
      {},
      el("td", {text: s.width + "\u00D7" + s.height}),
      ...["min", "max", "mean", "median", "std"].map((k) => el("td", {text: typeof s[k] === "number" ? String(Number(s[k].toPrecision(6))) : ""})),
    ),
  );
  cam.header.replaceChildren(
    ...(m.header || []).map(([k, v, c]) => el("tr", {}, el("td", {class: "k", text: k}), el("td", {class: "v", text: v}), el("td", {class: "c muted", text: c}))),
  );
}

connect();

document.getElementById("logout").addEventListener("click", logOut);
