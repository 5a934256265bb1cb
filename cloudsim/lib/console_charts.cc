// The console's charts: small SVG pictures the page draws itself from the numbers the simulator
// recorded (lines over time, vertical and horizontal bars). Every label, legend entry and
// tooltip is a text node; values reach attributes only through setAttribute. Each mark carries
// its number (data-value, data-seq) so a reader or a test can check it against the records.
#include "lib/console.h"

namespace cloudsim {

const char* ConsoleChartsScript() {
  return R"js("use strict";
const Charts = (() => {
  const NS = "http://www.w3.org/2000/svg";
  const H = 190, M = {l: 54, r: 12, t: 12, b: 24};
  // Drawn at the size the chart has on the page, so its text stays at the page's text size.
  let W = 480;
  const width = host => Math.max(240, Math.round(host.clientWidth || 480));
  const palette = ["#2f6fec", "#f08c1a", "#16a34a", "#d93f5c", "#8b5cf6", "#0ea5a4", "#b45309",
                   "#64748b"];

  function node(name, attrs, parent) {
    const e = document.createElementNS(NS, name);
    for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, String(v));
    if (parent) parent.appendChild(e);
    return e;
  }
  function text(parent, x, y, value, attrs) {
    const t = node("text", Object.assign({x, y}, attrs || {}), parent);
    t.textContent = String(value);
    return t;
  }
  function tip(parent, value) {
    node("title", {}, parent).textContent = String(value);
  }
  function none(host, message) {
    const d = document.createElement("div");
    d.className = "none";
    d.textContent = message || "nothing recorded yet";
    host.replaceChildren(d);
  }
  function legend(host, series) {
    const d = document.createElement("div");
    d.className = "legend";
    for (const s of series) {
      const item = document.createElement("span");
      item.style.setProperty("--swatch", s.color);
      item.textContent = String(s.label);
      item.dataset.series = String(s.label);
      d.appendChild(item);
    }
    host.appendChild(d);
  }

  const number = v => Number(v).toLocaleString("en-US", {maximumFractionDigits: 1});
  function bytes(v) {
    const units = ["B", "kB", "MB", "GB", "TB"];
    let i = 0;
    v = Number(v);
    while (Math.abs(v) >= 1000 && i < units.length - 1) { v /= 1000; i += 1; }
    return (i && Math.abs(v) < 10 ? v.toFixed(1) : Math.round(v)) + " " + units[i];
  }
  const pad = n => String(n).padStart(2, "0");
  function clock(ms, seconds) {
    const d = new Date(ms);
    return pad(d.getUTCHours()) + ":" + pad(d.getUTCMinutes()) +
        (seconds === false ? "" : ":" + pad(d.getUTCSeconds()));
  }

  // Round steps for an axis from 0 to at least max (whole steps for counts).
  function ticks(max, integer) {
    if (!(max > 0)) max = 1;
    const raw = max / 4, mag = Math.pow(10, Math.floor(Math.log10(raw)));
    const norm = raw / mag;
    let step = (norm <= 1 ? 1 : norm <= 2 ? 2 : norm <= 2.5 ? 2.5 : norm <= 5 ? 5 : 10) * mag;
    if (integer) step = Math.max(1, Math.round(step));
    const out = [];
    for (let v = 0; v <= max + step * 0.999; v += step) out.push(v);
    if (out.length < 2) out.push(step);
    return out;
  }
  const timeSteps = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 21600, 43200,
                     86400].map(s => s * 1000);
  function timeTicks(from, to) {
    const step = timeSteps.find(s => (to - from) / s <= 4) || timeSteps[timeSteps.length - 1];
    const out = [];
    for (let t = Math.ceil(from / step) * step; t <= to; t += step) out.push(t);
    return {step, ticks: out};
  }

  function frame(host, yTicks, format) {
    const svg = node("svg", {viewBox: `0 0 ${W} ${H}`, width: W, height: H, role: "img"});
    const grid = node("g", {class: "grid"}, svg);
    const top = yTicks[yTicks.length - 1];
    const y = v => M.t + (H - M.t - M.b) * (1 - v / top);
    for (const v of yTicks) {
      node("line", {x1: M.l, x2: W - M.r, y1: y(v), y2: y(v)}, grid);
      text(svg, M.l - 6, y(v) + 3.5, format(v), {"text-anchor": "end"});
    }
    node("line", {class: "axis", x1: M.l, x2: W - M.r, y1: y(0), y2: y(0)}, svg);
    host.replaceChildren(svg);
    return {svg, y};
  }

  // Lines over time. opts.series: [{label, color, points: [{t, v, seq}], dash}]; opts.format
  // formats values, opts.max is the least top of the axis, opts.step draws steps held until
  // opts.until, opts.area shades under the first series.
  function line(host, opts) {
    W = width(host);
    const series = opts.series.map((s, i) => Object.assign({color: palette[i % palette.length]}, s,
        {points: s.points.filter(p => Number.isFinite(p.v) && Number.isFinite(p.t))}));
    const all = series.flatMap(s => s.points);
    if (!all.length) return none(host, opts.none);
    let from = Math.min(...all.map(p => p.t)), to = Math.max(...all.map(p => p.t), opts.until || 0);
    if (to - from < 1000) { from -= 30000; to += 30000; }
    const format = opts.format || number;
    const top = Math.max(opts.max || 0, ...all.map(p => p.v));
    const {svg, y} = frame(host, ticks(top, opts.integer), format);
    const x = t => M.l + (W - M.l - M.r) * (t - from) / (to - from);
    const tt = timeTicks(from, to);
    for (const t of tt.ticks) {
      text(svg, x(t), H - 6, clock(t, tt.step < 60000), {"text-anchor": "middle"});
    }
    series.forEach((s, i) => {
      const g = node("g", {class: "series", "data-series": s.label}, svg);
      if (!s.points.length) return;
      let d = "";
      s.points.forEach((p, k) => {
        if (k === 0) d += `M${x(p.t)},${y(p.v)}`;
        else if (opts.step) d += `H${x(p.t)}V${y(p.v)}`;
        else d += `L${x(p.t)},${y(p.v)}`;
      });
      const last = s.points[s.points.length - 1];
      if (opts.step && opts.until > last.t) d += `H${x(opts.until)}`;
      if (opts.area && i === 0) {
        const end = opts.step && opts.until > last.t ? x(opts.until) : x(last.t);
        node("path", {class: "area", fill: s.color,
                      d: d + `L${end},${y(0)}L${x(s.points[0].t)},${y(0)}Z`}, g);
      }
      node("path", {class: s.dash ? "dash" : "line", stroke: s.color, d}, g);
      if (s.dash) return;
      for (const p of s.points) {
        const c = node("circle", {cx: x(p.t), cy: y(p.v), r: s.points.length > 60 ? 1.6 : 2.6,
                                  fill: s.color, "data-value": p.v, "data-t": p.t}, g);
        if (p.seq !== undefined) c.setAttribute("data-seq", String(p.seq));
        tip(c, s.label + ": " + format(p.v) + " at " + clock(p.t));
      }
    });
    if (series.length > 1 || opts.legend) legend(host, series);
  }

  // Vertical bars, one group per label. opts.series: [{label, color, values}]; opts.stacked
  // piles the series up (the group's total is the sum), otherwise they stand side by side.
  function bars(host, opts) {
    W = width(host);
    const series = opts.series.map((s, i) => Object.assign({color: palette[i % palette.length]}, s));
    const n = opts.labels.length;
    if (!n || !series.length) return none(host, opts.none);
    const format = opts.format || number;
    const totals = opts.labels.map((_, k) => series.map(s => Number(s.values[k]) || 0));
    const top = Math.max(...totals.map(v => opts.stacked ? v.reduce((a, b) => a + b, 0) : Math.max(...v)));
    const {svg, y} = frame(host, ticks(top, true), format);
    const band = (W - M.l - M.r) / n, inner = band * 0.72;
    // Labels that would overlap are thinned out.
    const widest = Math.max(...opts.labels.map(l => String(l).length)) * 6.4 + 8;
    const every = Math.max(1, Math.ceil(widest / band));
    opts.labels.forEach((label, k) => {
      const values = totals[k], sum = values.reduce((a, b) => a + b, 0);
      const g = node("g", {class: "group", "data-label": label, "data-total": sum}, svg);
      const x0 = M.l + band * k + (band - inner) / 2;
      let base = 0;
      series.forEach((s, i) => {
        const v = values[i];
        const w = opts.stacked ? inner : inner / series.length;
        const x = opts.stacked ? x0 : x0 + w * i;
        const from = opts.stacked ? base : 0;
        const r = node("rect", {class: "bar", x, width: Math.max(w - 1, 1), y: y(from + v),
                                height: Math.max(y(from) - y(from + v), 0), fill: s.color,
                                "data-series": s.label, "data-value": v}, g);
        tip(r, label + " · " + s.label + ": " + format(v));
        if (opts.stacked) base += v;
      });
      if (k % every === 0) text(svg, x0 + inner / 2, H - 6, label, {"text-anchor": "middle"});
      if (sum > 0 && n <= 12) {
        text(svg, x0 + inner / 2, y(opts.stacked ? sum : Math.max(...values)) - 4, format(sum),
             {"text-anchor": "middle", class: "value"});
      }
    });
    if (top === 0 && opts.zero) {
      text(svg, (M.l + W - M.r) / 2, (M.t + H - M.b) / 2, opts.zero, {"text-anchor": "middle", class: "note"});
    }
    if (series.length > 1 || opts.legend) legend(host, series);
  }

  // Horizontal bars, one row per item: opts.items [{label, value}].
  function hbars(host, opts) {
    W = width(host);
    const items = opts.items;
    if (!items.length) return none(host, opts.none);
    const row = 26, h = Math.max(items.length * row + 8, 60);
    const longest = Math.max(...items.map(i => String(i.label).length));
    const left = Math.min(Math.max(longest * 6.6 + 12, 60), W * 0.45), right = 48;
    const max = Math.max(...items.map(i => i.value), 1);
    const svg = node("svg", {viewBox: `0 0 ${W} ${h}`, width: W, height: h, role: "img"});
    items.forEach((item, k) => {
      const g = node("g", {class: "group", "data-label": item.label, "data-total": item.value}, svg);
      const y = 4 + k * row;
      const w = (W - left - right) * item.value / max;
      text(g, left - 8, y + row / 2 + 3.5, item.label, {"text-anchor": "end"});
      const r = node("rect", {class: "bar", x: left, y: y + 4, width: Math.max(w, 1), height: row - 8,
                              fill: opts.color || palette[3], "data-value": item.value}, g);
      tip(r, item.label + ": " + number(item.value));
      text(g, left + w + 6, y + row / 2 + 3.5, number(item.value), {class: "value"});
    });
    host.replaceChildren(svg);
  }

  // Times counted into at most `most` equal intervals of a round length, for bars.
  function buckets(seriesTimes, most, until) {
    const all = seriesTimes.flat();
    if (!all.length) return {labels: [], counts: seriesTimes.map(() => [])};
    const from = Math.min(...all), to = Math.max(...all, until || 0);
    const step = timeSteps.find(s => (to - from) / s < most) || timeSteps[timeSteps.length - 1];
    const first = Math.floor(from / step) * step, n = Math.floor((to - first) / step) + 1;
    const labels = [];
    for (let k = 0; k < n; k++) labels.push(clock(first + k * step, step < 60000));
    const counts = seriesTimes.map(times => {
      const c = new Array(n).fill(0);
      for (const t of times) c[Math.floor((t - first) / step)] += 1;
      return c;
    });
    return {labels, counts, step};
  }

  return {line, bars, hbars, buckets, bytes, number, clock, palette};
})();
)js";
}

}  // namespace cloudsim
