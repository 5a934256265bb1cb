// The console page: no build step, no framework. The script polls /v1/console every two seconds
// and fills the tables with text nodes only (recorded values come from routers and LAN clients
// and are never read as markup). body[data-polls] counts completed polls and body[data-seq]
// holds the last record the page has seen, for tests driving a headless browser.
#include "lib/console.h"

namespace cloudsim {

const char* ConsolePage() {
  return R"html(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>zuncore cloud simulator</title>
<style>
  body { font: 14px/1.4 system-ui, sans-serif; margin: 1.2em 2em; color: #222; background: #fafafa; }
  h1 { font-size: 1.3em; margin: 0 0 .2em; }
  h2 { font-size: 1.05em; margin: 1.3em 0 .4em; }
  #status { color: #666; font-size: .9em; }
  table { border-collapse: collapse; width: 100%; background: #fff; }
  th, td { border-bottom: 1px solid #e3e3e3; padding: .25em .6em; text-align: left;
           font-variant-numeric: tabular-nums; white-space: nowrap; }
  th { background: #eef1f5; font-weight: 600; }
  td.wide { white-space: normal; }
  .online { color: #137a2b; font-weight: 600; }
  .offline { color: #b3261e; font-weight: 600; }
  .empty { color: #888; font-style: italic; }
</style>
</head>
<body data-polls="0" data-seq="0">
<h1>zuncore cloud simulator</h1>
<div id="status">waiting for the first answer&hellip;</div>
<h2>Devices</h2>
<table id="devices"></table>
<h2>Recent events</h2>
<table id="events"></table>
<h2>Blocked lookups</h2>
<table id="blocked"></table>
<h2>Connection log</h2>
<table id="connections"></table>
<script>
"use strict";
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
  devices: (tr, d) => { tr.dataset.device = d.id; if (d.telemetry) tr.dataset.telemetrySeq = d.telemetry.seq; },
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
    body.push(tr);
  }
  if (!rows.length) {
    const tr = document.createElement("tr"), td = document.createElement("td");
    td.colSpan = cols.length;
    td.className = "empty";
    td.textContent = "none yet";
    tr.appendChild(td);
    body.push(tr);
  }
  table.replaceChildren(...body);
}
let polls = 0;
async function refresh() {
  const status = document.getElementById("status");
  try {
    const answer = await fetch("/v1/console", {cache: "no-store"});
    const s = await answer.json();
    for (const id of Object.keys(tables)) fill(id, s[id] || []);
    polls += 1;
    document.body.dataset.polls = polls;
    document.body.dataset.seq = s.last_seq;
    status.textContent = "updated " + clock(s.generated) + " UTC, records up to #" + s.last_seq +
        (s.nats_monitor ? "" : " (NATS server connections not known)");
  } catch (e) {
    status.textContent = "the simulator does not answer: " + e;
  }
}
refresh();
setInterval(refresh, 2000);
</script>
</body>
</html>
)html";
}

}  // namespace cloudsim
