// The console's main script: polls /v1/console every two seconds, fills the tables with text
// nodes, draws the fleet's pictures when several devices report, and the selected device's
// pictures from /v1/console/device. body[data-polls] counts completed polls, body[data-seq]
// holds the last record the page has seen and body[data-drawn] the last record its device
// pictures were drawn up to, for tests driving a browser.
#include "lib/console.h"

namespace cloudsim {

const char* ConsoleScript() {
  return R"js("use strict";
const clock = t => (t || "").replace(/^.*T/, "").replace(/Z$/, "");
const tables = {
  devices: [
    ["Device", d => d.id, "id"],
    ["State", d => d.stage, "stage"],
    ["Link", d => d.link + (d.link === "online" ? " (" + d.connections + ")" : ""), "link"],
    ["Last seen", d => clock(d.last_seen), "seen"],
    ["Uptime s", d => d.telemetry ? d.telemetry.uptime : "", "uptime"],
    ["CPU %", d => d.telemetry ? d.telemetry.cpu : "", "cpu"],
    ["Free / total memory kB", d => d.telemetry ? d.telemetry.mem_free + " / " + d.telemetry.mem_total : "", "mem"],
    ["Wi-Fi / ports", d => d.telemetry ? d.telemetry.wlans + " / " + d.telemetry.ports : "", "ifaces"],
    ["Telemetry", d => d.telemetry_count, "telemetry"],
    ["Events", d => d.events, "events"],
    ["Blocked", d => d.blocked, "blocked"],
  ],
  events: [
    ["Time", e => clock(e.time), "time"],
    ["Device", e => e.device, "device"],
    ["Event", e => e.what, "what"],
    ["Detail", e => e.detail, "detail wide"],
    ["Answer", e => e.answer, "answer"],
  ],
  blocked: [
    ["Time", b => clock(b.time), "time"],
    ["Device", b => b.device, "device"],
    ["Client", b => b.client, "client"],
    ["Name", b => b.url, "url"],
    ["Reason", b => b.reason, "reason"],
    ["Category", b => b.category, "category"],
    ["App", b => b.app, "app"],
  ],
  connections: [
    ["Time", c => clock(c.time), "time"],
    ["Device", c => c.device, "device"],
    ["Connection", c => c.connection, "connection"],
    ["Client id", c => c.cid === undefined ? "" : c.cid, "cid"],
    ["Event", c => c.event, "event"],
  ],
};
// Row attributes a reader (or a test) can match against the simulator's records.
const rowData = {
  devices: (tr, d) => {
    tr.dataset.device = d.id;
    if (d.telemetry) tr.dataset.telemetrySeq = d.telemetry.seq;
    if (d.id === Console.selected) tr.classList.add("selected");
  },
  events: (tr, e) => { tr.dataset.seq = e.seq; },
  blocked: (tr, b) => { tr.dataset.seq = b.seq; },
  connections: (tr, c) => { tr.dataset.device = c.device; },
};
function fill(id, rows) {
  const table = document.getElementById(id), cols = tables[id];
  const head = document.createElement("tr");
  for (const [title] of cols) {
    const th = document.createElement("th");
    th.textContent = title;
    head.appendChild(th);
  }
  if (id === "devices") head.appendChild(document.createElement("th"));
  const body = [head];
  for (const row of rows) {
    const tr = document.createElement("tr");
    rowData[id](tr, row);
    for (const [, value, cls] of cols) {
      const td = document.createElement("td");
      td.className = cls;
      td.textContent = String(value(row));
      if (cls === "link") td.classList.add(row.link);
      tr.appendChild(td);
    }
    if (id === "devices") {
      const td = document.createElement("td"), button = document.createElement("button");
      td.className = "act";
      button.type = "button";
      button.className = "small";
      button.textContent = "Send\u2026";
      button.dataset.device = row.id;
      td.appendChild(button);
      tr.appendChild(td);
    }
    body.push(tr);
  }
  if (!rows.length) {
    const tr = document.createElement("tr"), td = document.createElement("td");
    td.colSpan = cols.length + (id === "devices" ? 1 : 0);
    td.className = "empty";
    td.textContent = "none yet";
    tr.appendChild(td);
    body.push(tr);
  }
  table.replaceChildren(...body);
}

const reasons = {
  BLOCKED_BLACKLIST: "black list", BLOCKED_ISEC: "internet security", BLOCKED_PC: "parental control",
  BLOCKED_AD: "ad block", BLOCKED_APP: "application", BLOCKED_UNDEFINED: "undefined",
};
const buckets = ["\u226410", "\u226420", "\u226430", "\u226440", "\u226450", "\u226460", "\u226470",
                 "\u226480", "\u226490", "\u2264100", ">100"];

function drawFleet(s) {
  const section = document.getElementById("fleet");
  section.hidden = (s.devices || []).length < 2;
  if (section.hidden) return;
  const f = s.fleet || {}, now = Date.parse(s.generated);
  const online = document.getElementById("chart-online");
  if (!s.nats_monitor) {
    const d = document.createElement("div");
    d.className = "none";
    d.textContent = "not known: the simulator does not run the NATS server";
    online.replaceChildren(d);
  } else {
    Charts.line(online, {step: true, area: true, integer: true, until: now,
      none: "no device connected yet",
      series: [{label: "devices online", points: (f.online || []).map(p => ({t: p.t, v: p.n}))}]});
  }
  const signons = (f.signons || []).map(e => e.t), reconnects = (f.reconnects || []).map(e => e.t);
  const b = Charts.buckets([signons, reconnects], 16, now);
  Charts.bars(document.getElementById("chart-signons"), {labels: b.labels, legend: true,
    none: "no sign-on yet",
    series: [{label: "sign-ons", values: b.counts[0]}, {label: "reconnects", values: b.counts[1], color: "#f08c1a"}]});
}

function drawDevice(d) {
  document.getElementById("device-name").textContent = d.id;
  const tel = d.telemetry || [];
  Charts.line(document.getElementById("chart-cpu"), {max: 100, area: true, integer: true, none: "no telemetry yet",
    format: v => v + " %",
    series: [{label: "CPU %", points: tel.map(p => ({t: p.t, v: p.cpu, seq: p.seq}))}]});
  Charts.line(document.getElementById("chart-mem"), {area: true, legend: true, none: "no telemetry yet",
    format: v => Charts.number(v) + " MB",
    series: [
      {label: "free", points: tel.map(p => ({t: p.t, v: p.mem_free / 1024, seq: p.seq}))},
      {label: "total", color: "#94a3b8", dash: true, points: tel.map(p => ({t: p.t, v: p.mem_total / 1024}))},
    ]});
  Charts.line(document.getElementById("chart-wan"), {format: Charts.bytes, legend: true, integer: true,
    none: "no WAN interface reported yet",
    series: [{label: "download", points: tel.map(p => ({t: p.t, v: p.wan_rx, seq: p.seq}))},
             {label: "upload", points: tel.map(p => ({t: p.t, v: p.wan_tx, seq: p.seq}))}]});
  const clients = d.clients || [];
  const name = c => c.mac + (c.ip && c.ip !== "NA" ? " " + c.ip : "");
  for (const [id, key] of [["chart-down", "down"], ["chart-up", "up"]]) {
    Charts.line(document.getElementById(id), {format: Charts.bytes, legend: true, integer: true,
      none: "no client traffic reported yet",
      series: clients.map(c => ({label: name(c), points: c.points.map(p => ({t: p.t, v: p[key], seq: p.seq}))}))});
  }
  const h = d.histogram;
  for (const [id, key] of [["chart-doh", "doh"], ["chart-edge", "edge"]]) {
    const host = document.getElementById(id);
    if (!h) {
      Charts.bars(host, {labels: [], series: [], none: "no DNS metrics yet"});
      continue;
    }
    // Counters grow from the engine's start: the part the latest interval added is drawn on
    // top of what the report before already held (all of it when the counters started over).
    const now = h[key], before = h[key + "_before"] || now.map(() => 0);
    const restarted = now.some((v, i) => v < before[i]);
    const earlier = now.map((v, i) => restarted ? 0 : before[i]);
    Charts.bars(host, {labels: buckets, stacked: true, legend: true, zero: "no lookups counted yet",
      series: [{label: "earlier", color: "#b9c8ee", values: earlier},
               {label: "latest interval", color: "#2f6fec", values: now.map((v, i) => v - earlier[i])}]});
    host.dataset.seq = h.seq;
  }
  Charts.hbars(document.getElementById("chart-blocked"), {none: "nothing blocked yet",
    items: (d.blocked || []).map(b => ({label: reasons[b.reason] || b.reason, value: b.count}))});
  Actions.setInterfaces(d.wlans || []);
}

const Console = {selected: (location.hash.match(/device=([0-9A-Fa-f:]{17})/) || [])[1] || null};
let polls = 0, busy = false, again = false;
// One poll at a time: a click during a poll asks for one more right after it.
async function refresh() {
  if (busy) {
    again = true;
    return;
  }
  busy = true;
  try {
    await poll();
  } finally {
    busy = false;
    if (again) {
      again = false;
      refresh();
    }
  }
}
async function poll() {
  const status = document.getElementById("status");
  try {
    const answer = await fetch("/v1/console", {cache: "no-store"});
    const s = await answer.json();
    const devices = s.devices || [];
    if (!devices.some(d => d.id === Console.selected)) {
      Console.selected = devices.length ? devices[0].id : null;
    }
    for (const id of Object.keys(tables)) fill(id, s[id] || []);
    drawFleet(s);
    Actions.configure(s.actions || {}, Console.selected);
    document.getElementById("device").hidden = !Console.selected;
    if (Console.selected) {
      const q = await fetch("/v1/console/device?id=" + encodeURIComponent(Console.selected), {cache: "no-store"});
      const d = await q.json();
      drawDevice(d);
      document.body.dataset.drawn = d.last_seq;
    }
    polls += 1;
    document.body.dataset.polls = polls;
    document.body.dataset.seq = s.last_seq;
    status.textContent = "updated " + clock(s.generated) + " UTC \u00b7 records up to #" + s.last_seq +
        (s.nats_monitor ? "" : " \u00b7 NATS server connections not known");
  } catch (e) {
    status.textContent = "the simulator does not answer: " + e;
  }
}
function select(id, toActions) {
  Console.selected = id;
  history.replaceState(null, "", "#device=" + id);
  for (const tr of document.querySelectorAll("#devices tr[data-device]")) {
    tr.classList.toggle("selected", tr.dataset.device === id);
  }
  refresh();
  const target = document.getElementById(toActions ? "actions" : "device");
  if (toActions) target.hidden = false;
  target.scrollIntoView({behavior: "smooth", block: "start"});
}
document.getElementById("devices").addEventListener("click", e => {
  const button = e.target.closest("button[data-device]");
  const tr = e.target.closest("tr[data-device]");
  if (button) select(button.dataset.device, true);
  else if (tr) select(tr.dataset.device, false);
});
// The pictures are drawn at their size on the page: a new size draws them again.
let resized = null;
addEventListener("resize", () => {
  clearTimeout(resized);
  resized = setTimeout(refresh, 200);
});
refresh();
setInterval(refresh, 2000);
)js";
}

}  // namespace cloudsim
