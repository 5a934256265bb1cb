// The console's actions: a small form that sends one of the configuration messages to the
// selected device through the same control API as curl (POST /v1/push, same origin), then
// follows the transaction: the agent's ACK, its CONFIGRESP (GET /v1/transactions/ID) and what it
// streams back (ping and trace output, speed-test results, the site survey). Everything that
// comes from the device is written as text.
#include "lib/console.h"

namespace cloudsim {

const char* ConsoleActionsScript() {
  return R"js("use strict";
const Actions = (() => {
  const $ = id => document.getElementById(id);
  const followFor = 5 * 60 * 1000;
  let config = {}, device = null, interfaces = "", counter = 0;
  const sent = [];

  function configure(actions, selected) {
    config = actions;
    device = selected;
    $("actions").hidden = !selected;
    $("action-device").textContent = selected || "";
    $("action-subject").textContent = actions.subject ? "via " + actions.subject : "";
  }
  function setInterfaces(wlans) {
    const key = JSON.stringify(wlans);
    if (key === interfaces) return;
    interfaces = key;
    $("act-ifaces").replaceChildren(...wlans.map(w => {
      const o = document.createElement("option");
      o.value = w.ifname;
      o.label = w.ssid;
      return o;
    }));
  }
  function showKind() {
    const kind = $("act-kind").value;
    for (const f of document.querySelectorAll("#push-form fieldset")) {
      f.hidden = !f.dataset.kind.split(" ").includes(kind);
      f.disabled = f.hidden;
    }
    $("act-error").textContent = "";
  }

  const quote = s => "\u201c" + s + "\u201d";
  const command = (transid, name, data) => ({_cmd: {transid, command: name, data}});
  function build(kind, transid) {
    const value = id => $(id).value.trim();
    const list = id => value(id).split(/[\s,]+/).filter(Boolean);
    switch (kind) {
      case "wifi": {
        const entry = {wlan_interface: value("act-iface")};
        if ($("act-ssid").value) entry.ssid = $("act-ssid").value;
        if ($("act-pass").value) entry.passphrase = $("act-pass").value;
        if (!entry.ssid && !entry.passphrase) throw new Error("Give a new SSID, a new passphrase or both.");
        return {what: "Wi-Fi " + entry.wlan_interface + (entry.ssid ? ": SSID " + quote(entry.ssid) : "") +
                      (entry.passphrase ? (entry.ssid ? " and" : ":") + " new passphrase" : ""),
                envelope: {_ssidpwd: {transid, config: [entry]}}};
      }
      case "dns": {
        const macs = list("act-macs");
        if (!macs.length) throw new Error("Name at least one client MAC.");
        const p = {transid, client_mac: macs, has_scheduled_pause: $("act-pause").checked,
                   safe_search: $("act-safe").checked, adblock: $("act-adblock").checked};
        if (p.has_scheduled_pause) {
          p.scheduled_pause = {start_time: "00:00", end_time: "23:59", week_days: [], action: 1};
        }
        if (value("act-profile")) p.profile_name = value("act-profile");
        const black = list("act-black");
        if (black.length) p.urlentry = black.map(url => ({url, type: 2}));
        return {what: "DNS profile" + (p.profile_name ? " " + quote(p.profile_name) : "") + " for " + macs.join(", "),
                envelope: {_dnsprofile: p}};
      }
      case "ping":
      case "trace":
        return {what: kind.toUpperCase() + " " + value("act-target"),
                envelope: command(transid, kind.toUpperCase(), value("act-target"))};
      case "speed":
        return {what: "SPEED_TEST", envelope: command(transid, "SPEED_TEST", "")};
      case "survey":
        return {what: "SITE_SURVEY " + value("act-radio"), envelope: command(transid, "SITE_SURVEY", value("act-radio"))};
      case "reboot":
        if (!$("act-confirm").checked) throw new Error("Tick the box to confirm the reboot.");
        return {what: "REBOOT", envelope: command(transid, "REBOOT", "")};
    }
    throw new Error("unknown action " + kind);
  }

  const same = (a, b) => String(a || "").replace(/[^0-9a-f]/gi, "").toUpperCase() ===
                         String(b || "").replace(/[^0-9a-f]/gi, "").toUpperCase();
  // What a push streams back: its subject, which records are its, and whether one ends it.
  function stream(push) {
    const s = config.streams || {};
    switch (push.kind) {
      case "ping":
        return {subject: s.pingIP, mine: r => same(r.decoded.deviceid, push.device), last: r => r.decoded.ping === "end"};
      case "trace":
        return {subject: s.trace_route, mine: r => same(r.decoded.deviceid, push.device), last: r => r.decoded.trace === "end"};
      case "speed":
        return {subject: s.speed_test, mine: r => r.decoded.transactionid === push.transid,
                last: r => (r.decoded.event === "finish" && r.decoded.test_type === "upload") ||
                           r.decoded.event === "unable-to-connect" || r.decoded.event === "test-in-proress"};
      case "survey":
        return {subject: s.acs_survey, mine: r => r.decoded.TransactionID === push.transid, last: () => true};
    }
    return null;
  }

  function el(tag, cls, text, parent) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = String(text);
    if (parent) parent.appendChild(e);
    return e;
  }
  function streamView(push, card) {
    const records = push.stream;
    if (push.kind === "ping" || push.kind === "trace") {
      const key = push.kind === "ping" ? "pingdata" : "tracedata";
      el("pre", "stream", records.filter(r => r.decoded[push.kind] === "progress")
                                 .map(r => String(r.decoded[key])).join(""), card);
    } else if (push.kind === "speed") {
      for (const r of records) {
        const d = r.decoded, speed = v => Charts.number(v) + " Mbit/s";
        let text = null;
        if (d.event === "finish" && d.test_type === "ping") text = "latency " + Charts.number(d.value) + " ms";
        else if (d.event === "finish") text = d.test_type + " " + speed(d.speed);
        else if (d.event === "unable-to-connect") text = "the router could not reach the speed-test server";
        else if (d.event === "test-in-proress") text = "a speed test is already running on the router";
        if (text) el("div", "line stream", text, card);
      }
      const progress = records.filter(r => r.decoded.event === "progress").pop();
      if (progress && !push.done) {
        el("div", "line", progress.decoded.test_type + " " + Charts.number(progress.decoded.speed) + " Mbit/s so far", card);
      }
    } else if (push.kind === "survey" && records.length) {
      const found = records[0].decoded.NeighborInfo || [];
      el("div", "line stream", found.length + " neighbouring access point" + (found.length === 1 ? "" : "s"), card);
      if (found.length) {
        const table = el("table", "survey", undefined, card), head = el("tr", "", undefined, table);
        for (const h of ["SSID", "BSSID", "Channel", "RSSI", "Band"]) el("th", "", h, head);
        for (const n of found) {
          const tr = el("tr", "", undefined, table);
          for (const v of [n.SSID, n.BSSID, n.Channel, n.RSSI, n.Band]) el("td", "", v === undefined ? "" : v, tr);
        }
      }
    }
  }
  function render(push) {
    const card = push.card;
    card.dataset.state = push.state;
    const header = el("header");
    el("b", "", push.what, header);
    const failed = push.error || push.resp.some(r => r.decoded.status !== "success");
    const pill = push.error ? "failure" : push.resp.length ? (failed ? "failure" : "success") : push.done ? "" : "waiting";
    el("span", "pill " + pill, push.error ? "not sent" : push.resp.length ? (failed ? "failed" : "done") :
                               push.done ? "no answer" : "waiting", header);
    el("span", "time", new Date(push.started).toISOString().slice(11, 19) + " UTC \u00b7 " + push.transid, header);
    card.replaceChildren(header);
    if (push.error) el("div", "line failure", push.error, card);
    if (push.seq) {
      el("div", "line ack", push.ack ? "the agent acknowledged: " + push.ack
                                     : "no acknowledgement (" + push.status + ")", card);
    }
    for (const r of push.resp) {
      const d = r.decoded, ok = d.status === "success";
      const line = el("div", "line resp " + (ok ? "success" : "failure"),
                      "CONFIGRESP from " + d.deviceid + ": " + d.status + (ok ? "" : " (" + d.err_msg + ")"), card);
      line.dataset.status = d.status;
    }
    streamView(push, card);
  }

  async function follow(push) {
    try {
      const t = await fetch("/v1/transactions/" + encodeURIComponent(push.transid), {cache: "no-store"});
      if (t.ok) push.resp = await t.json();
      const s = stream(push);
      if (s && s.subject) {
        const q = await fetch("/v1/records?subject=" + encodeURIComponent(s.subject) + "&since=" + push.seq,
                              {cache: "no-store"});
        if (q.ok) push.stream = (await q.json()).filter(r => r.decoded && typeof r.decoded === "object" && s.mine(r));
      }
      const failed = push.resp.some(r => r.decoded.status !== "success");
      const streamed = !s || push.stream.some(s.last);
      push.done = (push.resp.length > 0 && (failed || streamed)) || Date.now() - push.started > followFor;
      push.state = push.done ? "done" : push.resp.length ? "answered" : "acknowledged";
    } catch (e) {
      push.done = Date.now() - push.started > followFor;
    }
    render(push);
    if (!push.done) setTimeout(() => follow(push), 1000);
  }

  async function send(event) {
    event.preventDefault();
    $("act-error").textContent = "";
    if (!device || !config.to) return;
    const kind = $("act-kind").value;
    const transid = "console-" + Date.now().toString(36) + "-" + (++counter);
    let built;
    try {
      built = build(kind, transid);
    } catch (e) {
      $("act-error").textContent = e.message;
      return;
    }
    const push = {kind, transid, device, what: built.what, started: Date.now(), resp: [], stream: [],
                  state: "sending", done: false, card: el("div", "push")};
    push.card.dataset.transid = transid;
    push.card.dataset.kind = kind;
    sent.unshift(push);
    $("pushes").replaceChildren(...sent.map(p => p.card));
    render(push);
    try {
      const answer = await fetch("/v1/push", {method: "POST", headers: {"Content-Type": "application/json"},
                                              body: JSON.stringify({to: config.to, envelope: built.envelope})});
      const r = await answer.json();
      if (!answer.ok && !r.seq) throw new Error(r.error || answer.statusText);
      push.seq = r.seq;
      push.status = r.status;
      push.ack = r.ack_b64 ? atob(r.ack_b64).replace(/\0+$/, "") : "";
      push.state = "acknowledged";
    } catch (e) {
      push.error = "not sent: " + e.message;
      push.done = true;
      push.state = "done";
    }
    render(push);
    if (!push.done) follow(push);
  }

  $("act-kind").addEventListener("change", showKind);
  $("push-form").addEventListener("submit", send);
  showKind();
  return {configure, setInterfaces};
})();
)js";
}

}  // namespace cloudsim
