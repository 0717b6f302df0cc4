// The vallorin web console: one page, a view per hash route, every text from the server put into
// the page as text (textContent), never as markup: names, tags and payloads come from devices
// and operators and may hold anything.
"use strict";

const state = { csrf: "", password: false, events: [], feedOpen: false, timer: null };
const MAX_EVENTS = 200;

// ---- DOM helpers: elements are built, never parsed from strings.
function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs || {})) {
    if (key === "class") node.className = value;
    else if (key.startsWith("on")) node.addEventListener(key.slice(2), value);
    else node.setAttribute(key, value);
  }
  for (const child of children) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}
const svgNs = "http://www.w3.org/2000/svg";
function svg(tag, attrs) {
  const node = document.createElementNS(svgNs, tag);
  for (const [key, value] of Object.entries(attrs || {})) node.setAttribute(key, value);
  return node;
}

function table(columns, rows, id) {
  const head = el("tr", {}, ...columns.map((c) => el("th", {}, c.title)));
  const body = rows.map((row) => el("tr", {}, ...columns.map((c) => {
    const value = c.value(row);
    return el("td", { class: c.cls || "" }, value === null || value === undefined ? "" : value);
  })));
  const attrs = id ? { id } : {};
  return el("table", attrs, el("thead", {}, head), el("tbody", {}, ...body));
}

function keyValues(object, keys) {
  return el("div", { class: "grid" }, ...keys.filter((k) => k in object).map((k) =>
    el("div", {}, el("span", {}, k), el("span", { class: "mono" }, String(object[k])))));
}

function toast(text, error) {
  const box = document.getElementById("toast");
  box.textContent = text;
  box.className = error ? "error" : "";
  clearTimeout(box.timer);
  box.timer = setTimeout(() => { box.className = "hidden"; }, 4000);
}

// ---- The API: every change carries the same-origin token.
async function api(method, path, body) {
  const options = { method, headers: {}, credentials: "same-origin" };
  if (method !== "GET") options.headers["X-CSRF-Token"] = state.csrf;
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  const response = await fetch("/api/" + path, options);
  let json = null;
  try { json = await response.json(); } catch (e) { json = null; }
  if (response.status === 401) { showLogin(); throw new Error("Login required"); }
  if (!response.ok) throw new Error((json && (json.message || JSON.stringify(json.data))) || response.statusText);
  return json;
}

async function change(method, path, body, done) {
  try {
    await api(method, path, body);
    toast(done);
    route();
  } catch (e) {
    toast(e.message, true);
  }
}

// ---- Formatting
const euiPath = (eui) => encodeURIComponent(eui);
function b64ToHex(text) {
  try {
    return Array.from(atob(text || ""), (c) => c.charCodeAt(0).toString(16).padStart(2, "0")).join("");
  } catch (e) { return ""; }
}
function hexToB64(hex) {
  const clean = hex.replace(/\s+/g, "");
  if (clean.length % 2 !== 0 || /[^0-9a-fA-F]/.test(clean)) return null;
  let bytes = "";
  for (let i = 0; i < clean.length; i += 2) bytes += String.fromCharCode(parseInt(clean.substr(i, 2), 16));
  return btoa(bytes);
}
const fixed = (v, n) => (typeof v === "number" ? v.toFixed(n) : "");
function per(stats) {
  const expected = stats.pktsUp + stats.dropped;
  return expected ? (100 * stats.dropped / expected).toFixed(1) : "0.0";
}
function link(href, text) { return el("a", { href }, text); }

// ---- Charts, drawn as SVG
function barChart(values, label) {
  const w = 600, h = 180, pad = 24;
  const chart = svg("svg", { class: "chart", viewBox: `0 0 ${w} ${h}`, preserveAspectRatio: "none", id: "uplink-chart" });
  const max = Math.max(1, ...values);
  const step = (w - 2 * pad) / values.length;
  values.forEach((v, i) => {
    const bh = (h - 2 * pad) * v / max;
    const bar = svg("rect", { class: "bar", x: pad + i * step + 1, y: h - pad - bh, width: Math.max(1, step - 2), height: bh });
    const tip = svg("title", {});
    tip.textContent = `${values.length - 1 - i} min ago: ${v}`;
    bar.append(tip);
    chart.append(bar);
  });
  chart.append(svg("line", { class: "axis", x1: pad, y1: h - pad, x2: w - pad, y2: h - pad }));
  const top = svg("text", { x: 2, y: pad }); top.textContent = String(max); chart.append(top);
  const left = svg("text", { x: pad, y: h - 6 }); left.textContent = "-60 min"; chart.append(left);
  const right = svg("text", { x: w - pad - 30, y: h - 6 }); right.textContent = label; chart.append(right);
  return chart;
}

function lineChart(series) {
  const w = 600, h = 180, pad = 28;
  const chart = svg("svg", { class: "chart", viewBox: `0 0 ${w} ${h}`, preserveAspectRatio: "none", id: "signal-chart" });
  const count = Math.max(...series.map((s) => s.values.length), 0);
  chart.append(svg("line", { class: "axis", x1: pad, y1: h - pad, x2: w - pad, y2: h - pad }));
  if (count === 0) return chart;
  series.forEach((s, k) => {
    const min = Math.min(...s.values), max = Math.max(...s.values);
    const span = max - min || 1;
    const x = (i) => pad + (count === 1 ? 0 : i * (w - 2 * pad) / (count - 1));
    const y = (v) => h - pad - (h - 2 * pad) * (v - min) / span;
    const points = s.values.map((v, i) => `${x(i)},${y(v)}`).join(" ");
    chart.append(svg("polyline", { class: s.cls, points }));
    const hi = svg("text", { x: k ? w - pad + 2 : 2, y: pad }); hi.textContent = String(max); chart.append(hi);
    const lo = svg("text", { x: k ? w - pad + 2 : 2, y: h - pad }); lo.textContent = String(min); chart.append(lo);
  });
  return chart;
}

// ---- Views
async function dashboard(view) {
  const [gateways, stats, minutes] = await Promise.all([
    api("GET", "gateways"), api("GET", "stats"), api("GET", "uplinks/minutes")]);
  const gatewayColumns = [
    { title: "Gateway EUI", value: (g) => g.gweui, cls: "mono" },
    { title: "Address", value: (g) => `${g.ip_addr}:${g.ip_port}`, cls: "mono" },
    { title: "Last seen", value: (g) => g.last_seen },
    { title: "Rx OK", value: (g) => g.rx_ok },
    { title: "Rx forwarded", value: (g) => g.rx_forwarded },
    { title: "Uplinks", value: (g) => g.uplinks },
    { title: "Downlinks", value: (g) => g.downlinks },
    { title: "Tx", value: (g) => g.tx_count },
    { title: "ACK rate", value: (g) => fixed(g.ack_rate, 2) },
    { title: "Duty-cycle budget (ms per band)", value: (g) => (g.duty_cycle || []).join(" / "), cls: "mono" },
  ];
  view.append(
    el("h1", {}, "Dashboard"),
    el("section", { class: "card" }, el("h2", {}, "Gateways"),
      gateways.length ? table(gatewayColumns, gateways, "gateways-table")
        : el("p", { class: "muted", id: "gateways-table" }, "No gateway has pulled yet.")),
    el("section", { class: "card" }, el("h2", {}, "Uplinks per minute, last hour"),
      barChart(minutes, "now")),
    el("section", { class: "card" }, el("h2", {}, "Network statistics"),
      keyValues(stats, Object.keys(stats)),
      el("p", {}, el("button", { class: "light", type: "button", onclick: () => {
        if (confirm("Zero every network, gateway and device counter?")) change("POST", "stats/reset", undefined, "Statistics reset");
      } }, "Reset statistics"))));
}

async function devices(view) {
  const [list, stats] = await Promise.all([api("GET", "devices"), api("GET", "devices/stats")]);
  const byEui = new Map(stats.map((s) => [s.deveui, s]));
  const rows = list.map((d) => Object.assign({}, d, { stats: byEui.get(d.deveui) }));
  const columns = [
    { title: "Device EUI", value: (d) => link(`#/device/${euiPath(d.deveui)}`, d.deveui), cls: "mono" },
    { title: "Name", value: (d) => d.name },
    { title: "Address", value: (d) => (d.stats ? d.stats.dev_addr : ""), cls: "mono" },
    { title: "Class", value: (d) => (d.stats ? d.stats.class : d.class) },
    { title: "Last seen", value: (d) => d.last_seen },
    { title: "Up", value: (d) => (d.stats ? d.stats.pktsUp : "") },
    { title: "Down", value: (d) => (d.stats ? d.stats.pktsDown : "") },
    { title: "RSSI avg", value: (d) => (d.stats && d.stats.pktsUp ? d.stats.rssiAvg : "") },
    { title: "SNR avg", value: (d) => (d.stats && d.stats.pktsUp ? fixed(d.stats.snrAvg, 1) : "") },
    { title: "PER %", value: (d) => (d.stats ? per(d.stats) : "") },
  ];
  const holder = el("div", {});
  const search = el("input", { id: "device-search", type: "search", placeholder: "Search EUI, name, address, tags" });
  const draw = () => {
    const needle = search.value.trim().toLowerCase();
    const shown = rows.filter((d) => !needle || [d.deveui, d.deveui.replace(/-/g, ""), d.name, d.tags,
      d.stats && d.stats.dev_addr].some((t) => t && String(t).toLowerCase().includes(needle)));
    holder.replaceChildren(table(columns, shown, "devices-table"));
  };
  search.addEventListener("input", draw);
  draw();

  const eui = el("input", { id: "add-deveui", required: "", placeholder: "00-80-00-00-00-00-00-01", size: 24 });
  const name = el("input", { id: "add-name", placeholder: "name" });
  const cls = el("select", { id: "add-class" }, el("option", {}, "A"), el("option", {}, "B"), el("option", {}, "C"));
  const form = el("form", { class: "inline", id: "add-device", onsubmit: (e) => {
    e.preventDefault();
    change("POST", "devices", { deveui: eui.value.trim(), name: name.value, class: cls.value }, "Device added");
  } },
  el("label", {}, "Device EUI", eui), el("label", {}, "Name", name), el("label", {}, "Class", cls),
  el("button", { type: "submit", id: "add-submit" }, "Add device"));

  view.append(el("h1", {}, "Devices"),
    el("section", { class: "card" }, search, holder),
    el("section", { class: "card" }, el("h2", {}, "Add a device"), form));
}

async function devicePage(view, eui) {
  const q = "?deveui=" + euiPath(eui);
  const [device, sessions, stats, queue, uplinks] = await Promise.all([
    api("GET", "devices" + q), api("GET", "sessions" + q), api("GET", "devices/stats" + q),
    api("GET", "queue" + q), api("GET", "packets/up" + q)]);
  if (!device.length) {
    view.append(el("h1", {}, "Device not found"), el("p", {}, eui));
    return;
  }
  const d = device[0], session = sessions[0], stat = stats[0];
  view.append(el("h1", {}, "Device ", el("span", { class: "mono", id: "device-eui" }, d.deveui), " ",
    el("span", { id: "device-name" }, d.name)));

  view.append(el("section", { class: "card" }, el("h2", {}, "Device"),
    keyValues(d, ["name", "tags", "class", "serial_number", "product_id", "hardware_version",
      "firmware_version", "lorawan_version", "created_at", "last_seen"])));

  if (session) {
    view.append(el("section", { class: "card", id: "session" }, el("h2", {}, "Session"),
      keyValues(session, ["dev_addr", "appeui", "joineui", "net_id", "up_counter", "nwk_down_counter",
        "tx_datarate", "tx_power", "rx1_delay", "rx2_datarate_index", "rx2_frequency", "status_battery",
        "status_snr", "created_at"]),
      stat ? keyValues(stat, ["pktsUp", "pktsDown", "pkts1st", "pkts2nd", "dropped", "rssiMin", "rssiMax",
        "rssiAvg", "snrMin", "snrMax", "snrAvg"]) : null,
      el("p", {},
        el("button", { type: "button", class: "light", id: "session-reset", onclick: () =>
          change("POST", `sessions/${euiPath(d.deveui)}/reset`, undefined, "Session counters reset") }, "Reset session"), " ",
        el("button", { type: "button", class: "danger", id: "session-delete", onclick: () => {
          if (confirm("Delete this device's session?")) change("DELETE", `sessions/${euiPath(d.deveui)}`, undefined, "Session deleted");
        } }, "Delete session"))));
  } else {
    const field = (id, label, hint) => el("label", {}, label, el("input", { id, placeholder: hint }));
    view.append(el("section", { class: "card" }, el("h2", {}, "Session"),
      el("p", { class: "muted" }, "No session: the device has not joined. Activate it by personalisation:"),
      el("form", { class: "inline", id: "session-form", onsubmit: (e) => {
        e.preventDefault();
        const value = (id) => document.getElementById(id).value.trim();
        change("POST", "sessions", { deveui: d.deveui, dev_addr: value("s-addr"), app_senc_key: value("s-app"),
          fnwk_sint_key: value("s-nwk") }, "Session added");
      } }, field("s-addr", "DevAddr", "26011234"), field("s-app", "AppSKey", "32 hex digits"),
      field("s-nwk", "NwkSKey", "32 hex digits"), el("button", { type: "submit" }, "Add session"))));
  }

  const rssi = uplinks.slice().reverse();
  view.append(el("section", { class: "card" }, el("h2", {}, "Signal of recent uplinks"),
    el("div", { class: "legend" }, el("span", { class: "rssi" }, "RSSI (dBm)"), el("span", { class: "snr" }, "SNR (dB)")),
    lineChart([{ cls: "rssi", values: rssi.map((u) => u.rssi) }, { cls: "snr", values: rssi.map((u) => u.snr) }])));

  const port = el("input", { id: "down-port", type: "number", min: 0, max: 223, value: 1, size: 4 });
  const data = el("input", { id: "down-data", placeholder: "hex payload, e.g. 0102ff", size: 30 });
  const confirmed = el("input", { id: "down-confirmed", type: "checkbox" });
  const queueColumns = [
    { title: "ID", value: (r) => r.id }, { title: "Port", value: (r) => r.port },
    { title: "Size", value: (r) => r.data_size }, { title: "Payload (hex)", value: (r) => b64ToHex(r.data), cls: "mono wrap" },
    { title: "Retries", value: (r) => `${r.retry_count}/${r.retry_max}` }, { title: "Queued", value: (r) => r.created_at },
    { title: "", value: (r) => el("button", { type: "button", class: "danger", onclick: () =>
      change("DELETE", `queue/${euiPath(d.deveui)}/${r.id}`, undefined, "Downlink removed") }, "Remove") },
  ];
  view.append(el("section", { class: "card" }, el("h2", {}, "Downlink queue"),
    queue.length ? table(queueColumns, queue, "queue-table") : el("p", { class: "muted", id: "queue-table" }, "Nothing queued."),
    el("form", { class: "inline", id: "downlink-form", onsubmit: (e) => {
      e.preventDefault();
      const b64 = hexToB64(data.value);
      if (b64 === null) { toast("The payload must be hex digits", true); return; }
      change("POST", "queue", { deveui: d.deveui, port: Number(port.value), data: b64, ack: confirmed.checked }, "Downlink queued");
    } }, el("label", {}, "Port", port), el("label", {}, "Payload", data),
    el("label", {}, "Confirmed", confirmed), el("button", { type: "submit", id: "down-submit" }, "Queue downlink"))));

  const cls = el("select", { id: "class-select" }, ...["A", "B", "C"].map((c) => {
    const option = el("option", {}, c);
    if ((stat ? stat.class : d.class) === c) option.selected = true;
    return option;
  }));
  view.append(el("section", { class: "card" }, el("h2", {}, "Manage"),
    el("form", { class: "inline", onsubmit: (e) => {
      e.preventDefault();
      change("POST", `devices/${euiPath(d.deveui)}`, { class: cls.value }, "Class changed");
    } }, el("label", {}, "Class", cls), el("button", { type: "submit", id: "class-submit" }, "Change class"), " ",
    el("button", { type: "button", class: "danger", id: "device-delete", onclick: async () => {
      if (!confirm("Delete this device, its session and its packets?")) return;
      try { await api("DELETE", `devices/${euiPath(d.deveui)}`); location.hash = "#/devices"; toast("Device deleted"); } catch (err) { toast(err.message, true); }
    } }, "Delete device"))));

  const upColumns = [
    { title: "Received", value: (u) => u.rx_time }, { title: "FCnt", value: (u) => u.counter },
    { title: "Port", value: (u) => u.port }, { title: "Frequency", value: (u) => u.frequency },
    { title: "Data rate", value: (u) => u.datarate }, { title: "RSSI", value: (u) => u.rssi },
    { title: "SNR", value: (u) => u.snr }, { title: "Gateway", value: (u) => u.gweui, cls: "mono" },
    { title: "MAC commands", value: (u) => u.commands, cls: "mono" },
    { title: "Payload (hex)", value: (u) => b64ToHex(u.data), cls: "mono wrap" },
  ];
  view.append(el("section", { class: "card" }, el("h2", {}, "Recent uplinks"),
    table(upColumns, uplinks.slice(0, 50), "uplinks-table")));
}

function feedRow(event) {
  let p = {};
  try { p = JSON.parse(event.payload); } catch (e) { p = {}; }
  if (typeof p !== "object" || p === null) p = {};
  const time = new Date(event.at).toLocaleTimeString();
  const details = event.event === "up"
    ? `fcnt ${p.fcnt}  port ${p.port}  ${p.freq} MHz ${p.datr}  RSSI ${p.rssi}  SNR ${p.lsnr}  data ${b64ToHex(p.data)}`
    : event.payload;
  return el("tr", { class: "feed-row", "data-event": event.event },
    el("td", {}, time), el("td", {}, event.event),
    el("td", { class: "mono" }, link(`#/device/${euiPath(event.eui)}`, event.eui)),
    el("td", { class: "mono wrap" }, details));
}

function live(view) {
  const only = el("input", { type: "checkbox", id: "only-uplinks", checked: "" });
  const body = el("tbody", { id: "live-rows" });
  const draw = () => body.replaceChildren(...state.events
    .filter((e) => !only.checked || e.event === "up").slice(0, 100).map(feedRow));
  only.addEventListener("change", draw);
  state.redrawFeed = draw;
  draw();
  view.append(el("h1", {}, "Live uplinks"),
    el("section", { class: "card" }, el("label", {}, only, " uplinks only"),
      el("table", { id: "live-table" }, el("thead", {}, el("tr", {}, el("th", {}, "Time"), el("th", {}, "Event"),
        el("th", {}, "Device EUI"), el("th", {}, "Details"))), body)));
}

async function joins(view) {
  const list = await api("GET", "packets/joins");
  view.append(el("h1", {}, "Join log"), el("section", { class: "card" }, table([
    { title: "Time", value: (j) => j.trx_time }, { title: "Direction", value: (j) => j.direction },
    { title: "Device EUI", value: (j) => j.deveui, cls: "mono" }, { title: "Join EUI", value: (j) => j.joineui, cls: "mono" },
    { title: "DevNonce", value: (j) => j.nonce, cls: "mono" }, { title: "Frequency", value: (j) => j.frequency },
    { title: "Data rate", value: (j) => j.datarate }, { title: "RSSI", value: (j) => j.rssi },
    { title: "Gateway", value: (j) => j.gweui, cls: "mono" }], list, "joins-table")));
}

// ---- Login and the live stream
function showLogin() {
  const view = document.getElementById("view");
  const password = el("input", { type: "password", id: "password", autocomplete: "current-password" });
  view.replaceChildren(el("section", { class: "card login" }, el("h1", {}, "Log in"),
    el("form", { class: "inline", onsubmit: async (e) => {
      e.preventDefault();
      try {
        const reply = await api("POST", "login", { password: password.value });
        state.csrf = reply.csrf;
        document.getElementById("logout").classList.remove("hidden");
        openFeed();
        route();
      } catch (err) { toast(err.message, true); }
    } }, el("label", {}, "Password", password), el("button", { type: "submit" }, "Log in"))));
  password.focus();
}

function openFeed() {
  if (state.source) state.source.close();
  const status = document.getElementById("feed-status");
  const source = new EventSource("/api/events");
  state.source = source;
  source.onopen = () => { status.textContent = "live"; status.className = "status on"; };
  source.onerror = () => { status.textContent = "offline"; status.className = "status off"; };
  source.onmessage = (message) => {
    let event;
    try { event = JSON.parse(message.data); } catch (e) { return; }
    event.at = Date.now();
    state.events.unshift(event);
    if (state.events.length > MAX_EVENTS) state.events.length = MAX_EVENTS;
    if (currentView() === "live" && state.redrawFeed) state.redrawFeed();
  };
}

function currentView() {
  return (location.hash.replace(/^#\/?/, "").split("/")[0]) || "dashboard";
}

async function route() {
  const view = document.getElementById("view");
  const [name, ...rest] = location.hash.replace(/^#\/?/, "").split("/");
  const which = name || "dashboard";
  for (const a of document.querySelectorAll("nav a")) a.classList.toggle("active", a.dataset.view === which);
  const fresh = el("div", {});
  try {
    if (which === "devices") await devices(fresh);
    else if (which === "device") await devicePage(fresh, decodeURIComponent(rest.join("/")));
    else if (which === "live") live(fresh);
    else if (which === "joins") await joins(fresh);
    else await dashboard(fresh);
  } catch (e) {
    if (e.message === "Login required") return;
    fresh.append(el("p", { class: "muted" }, "Could not load: " + e.message));
  }
  view.replaceChildren(fresh);
  view.dataset.loaded = which;
}

async function start() {
  document.getElementById("logout").addEventListener("click", async () => {
    try { await api("POST", "logout"); } catch (e) { /* the session is gone either way */ }
    location.reload();
  });
  const session = await (await fetch("/api/session", { credentials: "same-origin" })).json();
  state.password = session.password;
  state.csrf = session.csrf;
  window.addEventListener("hashchange", route);
  if (session.password && !session.authenticated) { showLogin(); return; }
  if (session.password) document.getElementById("logout").classList.remove("hidden");
  openFeed();
  route();
  // The dashboard's counters follow the network without a reload.
  state.timer = setInterval(() => { if (currentView() === "dashboard" && !document.hidden) route(); }, 10000);
}

document.addEventListener("DOMContentLoaded", start);
