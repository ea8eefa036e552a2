// The alarms of corvo-alarmd on the console: a banner with the count of
// raised alarms by severity, and a panel with each alarm's guidance, age,
// action outcomes and (where writes are allowed) ack and shelve buttons.
// It reads the daemon's "alarms" and "changes" properties from the page's
// peer table (app.js) and sends its commands through the page's requests.
// Every text from the site goes in with textContent.
"use strict";

(function () {
  const ALARM_DAEMON = "alarmd";
  const POLL_MS = 300;
  const MAX_SHOWN = 500;

  // Its own style, so that the console's style sheet stays as it is.
  document.head.append(
    el("style", {
      text:
        "#alarm-banner{padding:.4em 1em;font-weight:bold;color:#fff;background:#b36b00}" +
        "#alarm-banner.major{background:#b00020}" +
        "#alarm-panel article.alarm{border-left:4px solid #b36b00;padding:.2em .6em;margin:.4em 0}" +
        "#alarm-panel article.alarm.major{border-left-color:#b00020}" +
        "#alarm-panel article.alarm.shelved,#alarm-panel article.alarm.disabled{border-left-color:#888}" +
        "#alarm-panel .guidance{font-style:italic}",
    }),
  );
  const banner = el("div", {id: "alarm-banner", role: "alert", hidden: true});
  const panel = el("section", {id: "alarm-panel", "aria-label": "alarms", hidden: true});
  const heading = el("h2", {text: "Alarms"});
  const list = el("div", {id: "alarm-list"});
  const note = el("p", {class: "muted", "data-role": "alarm-note"});
  panel.append(heading, note, list);
  document.getElementById("top").after(banner);
  const side = document.getElementById("side");
  side.insertBefore(panel, side.firstChild);

  const alarms = new Map(); // rule -> alarm object
  let seenList = null;
  let seenChanges = null;
  let daemonId = null;

  function parse(items) {
    const out = [];
    if (!Array.isArray(items)) return out;
    for (const text of items) {
      if (typeof text !== "string") continue;
      try {
        const a = JSON.parse(text);
        if (a && typeof a.rule === "string" && typeof a.state === "string") out.push(a);
      } catch (e) {
        // a peer's junk is left out
      }
    }
    return out;
  }

  function daemonEntry() {
    for (const entry of peers.values()) {
      if (entry.desc.name === ALARM_DAEMON && !entry.desc.gone && !entry.desc.client) return entry;
    }
    return null;
  }

  // The whole list first, then the changes that followed it.
  function poll() {
    const entry = daemonEntry();
    if (!entry) {
      if (daemonId !== null) {
        alarms.clear();
        daemonId = null;
        render();
      }
      return;
    }
    const props = entry.desc.properties || {};
    const full = props.alarms ? props.alarms.value : null;
    const changes = props.changes ? props.changes.value : null;
    let dirty = entry.desc.id !== daemonId;
    daemonId = entry.desc.id;
    if (full !== seenList || dirty) {
      seenList = full;
      alarms.clear();
      for (const a of parse(full)) alarms.set(a.rule, a);
      dirty = true;
    }
    if (changes !== seenChanges) {
      seenChanges = changes;
      for (const a of parse(changes)) {
        if (a.state === "normal") alarms.delete(a.rule);
        else alarms.set(a.rule, a);
      }
      dirty = true;
    }
    if (dirty) render();
    else updateAges();
  }

  function raised(a) {
    return a.state === "unacked" || a.state === "acked" || a.state === "rtn-unacked";
  }

  function ageText(since) {
    const t = Date.parse(since);
    if (!isFinite(t)) return "";
    const s = Math.max(0, Math.round(gatewayNow() - t / 1000));
    if (s < 120) return s + " s";
    if (s < 7200) return Math.floor(s / 60) + " min";
    if (s < 172800) return Math.floor(s / 3600) + " h";
    return Math.floor(s / 86400) + " d";
  }

  function updateAges() {
    for (const node of list.querySelectorAll("[data-since]")) node.textContent = ageText(node.getAttribute("data-since"));
  }

  function render() {
    const shown = [...alarms.values()];
    const major = shown.filter((a) => raised(a) && a.severity === "major").length;
    const minor = shown.filter((a) => raised(a) && a.severity !== "major").length;
    const unacked = shown.filter((a) => a.state === "unacked" || a.state === "rtn-unacked").length;
    banner.hidden = major + minor === 0;
    banner.className = major ? "major" : "minor";
    banner.setAttribute("data-major", major);
    banner.setAttribute("data-minor", minor);
    banner.textContent =
      "Alarms: " + major + " major, " + minor + " minor" + (unacked ? " (" + unacked + " not acknowledged)" : "");
    panel.hidden = daemonId === null;
    note.textContent = shown.length ? "" : "no alarms";
    list.replaceChildren(...shown.slice(0, MAX_SHOWN).map(alarmCard));
  }

  function alarmCard(a) {
    const card = el("article", {class: "alarm " + (a.severity === "major" ? "major" : "minor") + " " + a.state, "data-rule": a.rule});
    card.append(
      el(
        "header",
        {},
        el("strong", {text: a.rule}),
        el("span", {class: "badge", "data-role": "state", text: a.state}),
        el("span", {class: "badge", text: a.severity}),
        el("span", {class: "muted", text: " for "}),
        el("span", {class: "muted", "data-since": a.since || "", text: ageText(a.since || "")}),
      ),
    );
    card.append(el("p", {class: "muted", text: a.condition + " (value " + a.value + ")"}));
    if (a.guidance) card.append(el("p", {class: "guidance", "data-role": "guidance", text: a.guidance}));
    if (a.state === "shelved") card.append(el("p", {class: "muted", text: "shelved until " + (a.shelved_until || "?") + (a.by ? " by " + a.by : "") + (a.reason ? ": " + a.reason : "")}));
    else if (a.by) card.append(el("p", {class: "muted", text: "by " + a.by + (a.reason ? ": " + a.reason : "")}));
    if (Array.isArray(a.actions) && a.actions.length) {
      const ul = el("ul", {class: "actions"});
      for (const x of a.actions) {
        if (x && typeof x === "object") ul.append(el("li", {"data-role": "action", text: String(x.peer) + " " + String(x.command) + ": " + String(x.outcome)}));
      }
      card.append(ul);
    }
    if (hello.write) card.append(buttons(a));
    return card;
  }

  function buttons(a) {
    const box = el("div", {class: "alarm-tools"});
    const result = el("span", {class: "muted", "data-role": "result"});
    if (a.state === "unacked" || a.state === "rtn-unacked") {
      const ack = el("button", {type: "button", "data-role": "ack", text: "ack"});
      ack.onclick = () => run("ack", [a.rule], result);
      box.append(ack);
    }
    if (a.state !== "shelved" && a.state !== "disabled") {
      const shelve = el("button", {type: "button", "data-role": "shelve", text: "shelve"});
      shelve.onclick = () => {
        const duration = window.prompt("Shelve " + a.rule + " for how long (such as 30m, 2h)?", "1h");
        if (!duration) return;
        const reason = window.prompt("Why?", "") || "";
        run("shelve", [a.rule, duration, reason], result);
      };
      box.append(shelve);
    } else if (a.state === "shelved") {
      const unshelve = el("button", {type: "button", "data-role": "unshelve", text: "unshelve"});
      unshelve.onclick = () => run("unshelve", [a.rule], result);
      box.append(unshelve);
    }
    box.append(result);
    return box;
  }

  function run(name, args, result) {
    if (daemonId === null) return;
    result.textContent = "…";
    send({op: "cmd", peer: daemonId, name, args}, (reply) => {
      result.textContent = reply.ok ? "" : String(reply.error || "refused");
    });
  }

  setInterval(poll, POLL_MS);
})();
