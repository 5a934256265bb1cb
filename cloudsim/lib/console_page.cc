// The console page: markup and style. No build step, no framework, no library: the scripts
// (console_script.cc, console_charts.cc, console_actions.cc) fill it with text nodes and SVG
// they make themselves, from the JSON the control API serves; recorded values come from
// routers and LAN clients and are never read as markup.

#include "lib/console.h"

namespace cloudsim {

const char* ConsolePage() {
  return R"html(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>zuncore cloud simulator</title>
<link rel="stylesheet" href="/console/console.css">
<script src="/console/charts.js" defer></script>
<script src="/console/actions.js" defer></script>
<script src="/console/console.js" defer></script>
</head>
<body data-polls="0" data-seq="0">
<header class="top">
  <h1>zuncore <span>cloud simulator</span></h1>
  <div id="status">waiting for the first answer&hellip;</div>
</header>
<main>
<section id="fleet" hidden>
  <h2>Fleet</h2>
  <div class="grid wide">
    <figure class="card"><figcaption>Devices online <small>at least one connection open</small></figcaption><div class="chart" id="chart-online"></div></figure>
    <figure class="card"><figcaption>Sign-ons and reconnects <small>per interval</small></figcaption><div class="chart" id="chart-signons"></div></figure>
  </div>
</section>
<section>
  <h2>Devices</h2>
  <div class="card flush"><table id="devices"></table></div>
</section>
<section id="device" hidden>
  <h2>Device <span id="device-name" class="mono"></span> <small>from its reports; click another row to see another device</small></h2>
  <div class="grid">
    <figure class="card"><figcaption>CPU <small>% per report</small></figcaption><div class="chart" id="chart-cpu"></div></figure>
    <figure class="card"><figcaption>Memory <small>MB free of the total</small></figcaption><div class="chart" id="chart-mem"></div></figure>
    <figure class="card"><figcaption>Internet traffic <small>WAN bytes per report</small></figcaption><div class="chart" id="chart-wan"></div></figure>
    <figure class="card"><figcaption>Blocked lookups <small>by reason</small></figcaption><div class="chart" id="chart-blocked"></div></figure>
    <figure class="card"><figcaption>Download per client <small>bytes per report</small></figcaption><div class="chart" id="chart-down"></div></figure>
    <figure class="card"><figcaption>Upload per client <small>bytes per report</small></figcaption><div class="chart" id="chart-up"></div></figure>
    <figure class="card"><figcaption>DNS latency, upstream <small>lookups per ms bucket</small></figcaption><div class="chart" id="chart-doh"></div></figure>
    <figure class="card"><figcaption>DNS latency, edge <small>lookups per ms bucket</small></figcaption><div class="chart" id="chart-edge"></div></figure>
  </div>
</section>
<section id="actions" hidden>
  <h2>Send to <span id="action-device" class="mono"></span> <small id="action-subject"></small></h2>
  <div class="card actions">
    <form id="push-form" autocomplete="off">
      <label>Action
        <select id="act-kind">
          <option value="wifi">Wi-Fi name and passphrase</option>
          <option value="dns">DNS profile</option>
          <option value="ping">Ping</option>
          <option value="trace">Trace route</option>
          <option value="speed">Speed test</option>
          <option value="survey">Site survey</option>
          <option value="reboot">Reboot</option>
        </select>
      </label>
      <fieldset data-kind="wifi">
        <label>Interface <input id="act-iface" list="act-ifaces" value="wlan0" required></label>
        <datalist id="act-ifaces"></datalist>
        <label>SSID <input id="act-ssid" maxlength="32" placeholder="unchanged"></label>
        <label>Passphrase <input id="act-pass" type="password" placeholder="unchanged"></label>
      </fieldset>
      <fieldset data-kind="dns" hidden>
        <label>Client MACs <input id="act-macs" placeholder="02:00:00:00:00:01, &hellip;"></label>
        <label>Profile name <input id="act-profile" placeholder="kid"></label>
        <label>Blocked names <input id="act-black" placeholder="ads\.example, games\.test"></label>
        <div class="checks">
          <label><input id="act-safe" type="checkbox"> safe search</label>
          <label><input id="act-adblock" type="checkbox"> ad block</label>
          <label><input id="act-pause" type="checkbox"> pause internet</label>
        </div>
      </fieldset>
      <fieldset data-kind="ping trace" hidden>
        <label>Target <input id="act-target" value="127.0.0.1" required></label>
      </fieldset>
      <fieldset data-kind="speed" hidden>
        <p class="hint">Latency, then 15 s of download and 15 s of upload against the speed-test server sign-on named.</p>
      </fieldset>
      <fieldset data-kind="survey" hidden>
        <label>Radio <input id="act-radio" value="wlan0" required></label>
      </fieldset>
      <fieldset data-kind="reboot" hidden>
        <label class="checks"><input id="act-confirm" type="checkbox"> yes, reboot the router</label>
      </fieldset>
      <button id="act-send" type="submit">Send</button>
      <div id="act-error" class="error" role="alert"></div>
    </form>
    <div id="pushes"><p class="empty">Nothing sent from this page yet.</p></div>
  </div>
</section>
<section>
  <h2>Recent events</h2>
  <div class="card flush"><table id="events"></table></div>
</section>
<section>
  <h2>Blocked lookups</h2>
  <div class="card flush"><table id="blocked"></table></div>
</section>
<section>
  <h2>Connection log</h2>
  <div class="card flush"><table id="connections"></table></div>
</section>
</main>
</body>
</html>
)html";
}

const char* ConsoleStyle() {
  return R"css(
:root { --ink: #1d2433; --muted: #6b7489; --line: #e6e9f0; --bg: #f3f5f9; --card: #fff;
        --accent: #2f6fec; --good: #17803d; --bad: #c0362c; --warn: #b7791f; }
* { box-sizing: border-box; }
body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; margin: 0; color: var(--ink);
       background: var(--bg); }
header.top { display: flex; align-items: baseline; justify-content: space-between; gap: 1em;
             padding: .8em 2em; background: #1b2540; color: #fff; }
header.top h1 { font-size: 1.2em; margin: 0; font-weight: 650; letter-spacing: .01em; }
header.top h1 span { font-weight: 400; color: #aeb9d6; }
#status { color: #c6cfe4; font-size: .88em; }
main { padding: .4em 2em 2em; max-width: 1600px; }
h2 { font-size: 1.02em; margin: 1.4em 0 .5em; font-weight: 650; }
h2 small, figcaption small { font-weight: 400; color: var(--muted); font-size: .85em; }
.mono, td.id, td.device, td.client, td.cid { font-family: ui-monospace, "DejaVu Sans Mono", monospace; font-size: .93em; }
.card { background: var(--card); border: 1px solid var(--line); border-radius: 10px;
        box-shadow: 0 1px 2px rgba(20, 30, 60, .05); }
.card.flush { overflow-x: auto; }
.grid { display: grid; grid-template-columns: repeat(auto-fill, minmax(300px, 1fr)); gap: 14px; }
.grid.wide { grid-template-columns: repeat(auto-fill, minmax(460px, 1fr)); }
figure.card { margin: 0; padding: .7em .9em .6em; }
figcaption { font-weight: 600; font-size: .92em; margin-bottom: .3em; }
.chart { min-height: 190px; }
.chart svg { display: block; max-width: 100%; overflow: visible; }
.chart .none { color: var(--muted); font-style: italic; padding: 2.6em 0; text-align: center; }
svg text { font: 11px system-ui, sans-serif; fill: var(--muted); }
svg text.value { fill: var(--ink); }
svg text.note { font-size: 12px; font-style: italic; }
svg .grid line { stroke: #edf0f5; }
svg .axis { stroke: #c9cfdb; }
svg .series path.line { fill: none; stroke-width: 2; stroke-linejoin: round; }
svg .series path.area { opacity: .09; stroke: none; }
svg .series path.dash { fill: none; stroke-width: 1.3; stroke-dasharray: 4 3; }
svg rect.bar { rx: 2; }
.legend { display: flex; flex-wrap: wrap; gap: .2em 1em; font-size: .84em; color: var(--muted); margin-top: .2em; }
.legend span::before { content: ""; display: inline-block; width: .8em; height: .8em; border-radius: 2px;
                       margin-right: .35em; vertical-align: -1px; background: var(--swatch); }
table { border-collapse: collapse; width: 100%; }
th, td { border-bottom: 1px solid var(--line); padding: .42em .8em; text-align: left;
         font-variant-numeric: tabular-nums; white-space: nowrap; }
th { color: var(--muted); font-weight: 600; font-size: .86em; background: #f8f9fc; }
tr:last-child td { border-bottom: 0; }
td.wide, td.url, td.app, td.client, td.connection { white-space: normal; overflow-wrap: anywhere; min-width: 9em; }
#devices tbody tr, #devices tr[data-device] { cursor: pointer; }
#devices tr[data-device]:hover { background: #f6f8fd; }
#devices tr.selected { background: #eaf1fe; box-shadow: inset 3px 0 0 var(--accent); }
.online { color: var(--good); font-weight: 600; }
.offline { color: var(--bad); font-weight: 600; }
.empty { color: var(--muted); font-style: italic; }
button { font: inherit; border-radius: 7px; border: 1px solid var(--accent); background: var(--accent);
         color: #fff; padding: .35em 1em; cursor: pointer; }
button:hover { filter: brightness(1.08); }
button.small { padding: .1em .7em; font-size: .88em; background: #fff; color: var(--accent); }
.actions { display: grid; grid-template-columns: minmax(260px, 340px) 1fr; gap: 1.4em; padding: 1em 1.2em; }
form label { display: block; font-size: .88em; color: var(--muted); margin-bottom: .55em; }
form input:not([type=checkbox]), form select { display: block; width: 100%; margin-top: .15em; font: inherit;
         color: var(--ink); padding: .32em .5em; border: 1px solid #cfd5e1; border-radius: 6px; background: #fff; }
form input:focus, form select:focus { outline: 2px solid #bcd0fa; border-color: var(--accent); }
fieldset { border: 0; padding: 0; margin: 0; }
.checks { display: flex; flex-wrap: wrap; gap: .3em 1em; }
.checks label { color: var(--ink); }
.hint { color: var(--muted); font-size: .88em; margin: 0 0 .6em; }
.error { color: var(--bad); font-size: .88em; margin-top: .5em; }
#pushes { display: flex; flex-direction: column; gap: .7em; max-height: 560px; overflow-y: auto; }
.push { border: 1px solid var(--line); border-radius: 8px; padding: .55em .8em; }
.push header { display: flex; gap: .7em; align-items: baseline; flex-wrap: wrap; }
.push header b { font-weight: 650; }
.push header .time, .push .line { color: var(--muted); font-size: .88em; }
.pill { font-size: .78em; padding: .05em .6em; border-radius: 999px; background: #eef1f6; color: var(--muted); }
.pill.success { background: #e3f4e8; color: var(--good); }
.pill.failure { background: #fbe7e5; color: var(--bad); }
.pill.waiting { background: #fdf3e1; color: var(--warn); }
.push .line { margin-top: .25em; }
.push .line.success { color: var(--good); }
.push .line.failure { color: var(--bad); }
.push pre { margin: .4em 0 0; padding: .5em .7em; background: #f6f7fa; border-radius: 6px; max-height: 220px;
            overflow: auto; font-size: .86em; white-space: pre-wrap; }
.push pre:empty { display: none; }
.push table { margin-top: .4em; font-size: .9em; }
.push td, .push th { padding: .2em .6em; }
@media (max-width: 900px) { .actions { grid-template-columns: 1fr; } main, header.top { padding-left: 1em; padding-right: 1em; } }
)css";
}

const ConsoleFile* FindConsoleFile(const std::string& path) {
  static const ConsoleFile kPage{"text/html; charset=utf-8", ConsolePage()};
  static const ConsoleFile kStyle{"text/css; charset=utf-8", ConsoleStyle()};
  static const ConsoleFile kScript{"text/javascript; charset=utf-8", ConsoleScript()};
  static const ConsoleFile kCharts{"text/javascript; charset=utf-8", ConsoleChartsScript()};
  static const ConsoleFile kActions{"text/javascript; charset=utf-8", ConsoleActionsScript()};
  if (path == "/" || path == "/console") return &kPage;
  if (path == "/console/console.css") return &kStyle;
  if (path == "/console/console.js") return &kScript;
  if (path == "/console/charts.js") return &kCharts;
  if (path == "/console/actions.js") return &kActions;
  return nullptr;
}

}  // namespace cloudsim
