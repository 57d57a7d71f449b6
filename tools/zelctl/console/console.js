// The bench console: the station's units, live readings over Server-Sent Events, and the calls of the JSON
// API under /api/v1/. Plain JavaScript, no framework; everything it loads comes from this server.
"use strict";

(function () {
  const API = "/api/v1";
  const TOKEN = new URLSearchParams(window.location.search).get("token");
  const MAX_DB = 30;
  const MAX_CODE = 4095;  // the VOA code is 12 bits
  const FRAME_ROWS = 200;

  const state = {
    units: new Map(),   // name -> {info, el, rows: Map(channel -> row elements), channels: [...]}
    toolUnit: null,     // the unit the sweep, calibration and frame panels act on
    sweep: null,        // {unit, channel, total, points: []} of the sweep in flight or the last one
    calib: null,        // {unit, doc} of the calibration read last
    restore: null,      // {unit, text, name} of the backup waiting for the user's confirmation
    framesAfter: 0,     // the last frame number shown; the server numbers frames from 1
    feedTime: 0,
  };
  window.zelConsole = state;  // for a look from the browser's developer tools (and the browser test)

  // ---------------------------------------------------------------------------------------------------------
  // The API: every call carries the token; an answer that is not 2xx becomes an Error with the server's
  // message and the library's reason.

  class ApiError extends Error {
    constructor(status, error, reason) {
      super(reason ? error + ": " + reason : error);
      this.status = status;
    }
  }

  async function api(method, path, body, accept) {
    const headers = {};
    if (TOKEN) headers["Authorization"] = "Bearer " + TOKEN;
    const init = { method: method, headers: headers, cache: "no-store" };
    if (body !== undefined) {
      headers["Content-Type"] = "application/json";
      init.body = typeof body === "string" ? body : JSON.stringify(body);
    }
    let response;
    try {
      response = await fetch(API + path, init);
    } catch (e) {
      throw new ApiError(0, "the console's server does not answer", String(e.message || e));
    }
    const text = await response.text();
    if (!response.ok) {
      let error = "HTTP " + response.status, reason = "";
      try {
        const j = JSON.parse(text);
        if (j.error) error = j.error;
        if (j.reason) reason = j.reason;
      } catch (e) {
        if (text) reason = text.slice(0, 200);
      }
      throw new ApiError(response.status, error, reason);
    }
    if (accept === "text") return text;
    return text ? JSON.parse(text) : null;
  }

  function unitPath(name) { return "/units/" + encodeURIComponent(name); }

  // An action started by a control: the control is busy while it runs and its error appears beside it.
  async function act(errorEl, controls, work) {
    errorEl.textContent = "";
    controls.forEach(c => { c.disabled = true; c.dataset.busy = "1"; });
    try {
      return await work();
    } catch (e) {
      errorEl.textContent = e.message;
      return undefined;
    } finally {
      controls.forEach(c => { c.disabled = false; delete c.dataset.busy; });
    }
  }

  // ---------------------------------------------------------------------------------------------------------
  // Numbers as a bench reads them.

  function fixed(v, digits) {
    if (typeof v !== "number" || !isFinite(v)) return "\u2014";
    const text = v.toFixed(digits);
    return Number(text) === 0 ? (0).toFixed(digits) : text;  // no "-0.00"
  }
  function dbm(uw) {
    return typeof uw === "number" && uw > 0 ? 10 * Math.log10(uw / 1000) : null;
  }
  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function clampDb(v) { return Math.min(MAX_DB, Math.max(0, v)); }

  // ---------------------------------------------------------------------------------------------------------
  // Units and their channel tables.

  function unitList(j) { return Array.isArray(j) ? j : (j && j.units) || []; }
  function channelList(j) { return Array.isArray(j) ? j : (j && j.channels) || []; }

  async function loadUnits() {
    const top = document.getElementById("top-error");
    try {
      const units = unitList(await api("GET", "/units"));
      top.textContent = "";
      const box = document.getElementById("units");
      if (state.units.size === 0) box.textContent = "";
      if (units.length === 0) box.appendChild(el("p", "muted", "The station has no units."));
      for (const u of units) showUnit(u);
      fillToolUnits();
      for (const u of units) if (u.connected) loadChannels(u.name);
    } catch (e) {
      top.textContent = e.message;
      setTimeout(loadUnits, 2000);
    }
  }

  function positions(unit, kind) {
    const ports = unit.switch_ports && unit.switch_ports[kind];
    return typeof ports === "number" && ports > 0 ? ports : 8;
  }

  function fillSelect(select, values, current, label) {
    const want = values.map(String).join(",");
    if (select.dataset.values !== want) {
      select.textContent = "";
      if (current === undefined || current === null) select.appendChild(el("option", "", "?"));
      for (const v of values) {
        const o = el("option", "", label ? label(v) : String(v));
        o.value = String(v);
        select.appendChild(o);
      }
      select.dataset.values = want;
    }
    // Not while the user's own choice is on its way to the unit: the answer says where it stands.
    if (current !== undefined && current !== null && document.activeElement !== select && !select.dataset.busy) {
      select.value = String(current);
    }
  }

  function showUnit(info) {
    let u = state.units.get(info.name);
    if (!u) {
      const node = document.getElementById("unit-template").content.firstElementChild.cloneNode(true);
      node.dataset.unit = info.name;
      u = { info: info, el: node, rows: new Map(), channels: [] };
      state.units.set(info.name, u);
      document.getElementById("units").appendChild(node);
      wireUnit(u);
    }
    u.info = Object.assign(u.info || {}, info);
    const i = u.info, n = u.el;
    n.querySelector(".unit-name").textContent = i.name;
    n.querySelector(".unit-address").textContent = i.address || "";
    n.classList.toggle("disconnected", !i.connected);
    n.querySelector(".state").textContent = i.connected ? "connected" : "disconnected";
    // Why the unit is away, as the library tells it; cleared when it answers again.
    n.querySelector(".unit-error").textContent = i.connected ? "" : (i.error || "");
    n.querySelector(".id-board").textContent = i.board_type === undefined || i.board_type === null ? "\u2014"
        : String(i.board_type) + (i.channels ? " (" + i.channels + " ch)" : "");
    n.querySelector(".id-serial").textContent = i.serial === undefined || i.serial === null ? "\u2014" : String(i.serial);
    n.querySelector(".id-firmware").textContent = typeof i.firmware === "number" ? i.firmware.toFixed(1) : (i.firmware || "\u2014");
    n.querySelector(".id-temp").textContent = typeof i.temperature_c === "number" ? i.temperature_c.toFixed(1) + " \u00b0C" : "\u2014";
    n.querySelector(".id-reopens").textContent = i.link_reopens === undefined || i.link_reopens === null ? "\u2014" : String(i.link_reopens);
    fillSelect(n.querySelector("select.wavelength"), i.wavelengths_nm || [], i.wavelength_nm, v => v + " nm");
    fillSelect(n.querySelector("select.mems"), range(positions(i, "mems")), i.mems);
    fillSelect(n.querySelector("select.lbmm"), range(positions(i, "lbmm")), i.lbmm);
    for (const c of n.querySelectorAll("select, input, button")) c.disabled = !i.connected || !!c.dataset.busy;
  }

  function range(n) { return Array.from({ length: n }, (_, k) => k); }

  function wireUnit(u) {
    const n = u.el, name = () => u.info.name;
    const selector = (cls, path, key) => {
      const select = n.querySelector("select." + cls);
      const error = n.querySelector("." + cls + "-error");
      select.addEventListener("change", async () => {
        const value = Number(select.value);
        const body = {};
        body[key] = value;
        const ok = await act(error, [select], () => api("PUT", unitPath(name()) + path, body));
        if (ok !== undefined) {
          u.info[cls === "wavelength" ? "wavelength_nm" : cls] = value;
          if (cls === "wavelength") loadChannels(name());
        }
        showUnit(u.info);  // the position the unit has now: the new one, or the old one after a refusal
      });
    };
    selector("wavelength", "/wavelength", "nm");
    selector("mems", "/mems", "position");
    selector("lbmm", "/lbmm", "position");
  }

  async function loadChannels(name) {
    const u = state.units.get(name);
    if (!u) return;
    try {
      showReadings(u, channelList(await api("GET", unitPath(name) + "/channels")));
      u.el.querySelector(".unit-error").textContent = "";
    } catch (e) {
      u.el.querySelector(".unit-error").textContent = e.message;
    }
  }

  function channelRow(u, c) {
    let row = u.rows.get(c.channel);
    if (row) return row;
    const tr = document.getElementById("channel-template").content.firstElementChild.cloneNode(true);
    tr.dataset.channel = String(c.channel);
    tr.querySelector(".ch").textContent = String(c.channel);
    row = {
      tr: tr,
      uw: tr.querySelector(".power-uw"), dbm: tr.querySelector(".power-dbm"), count: tr.querySelector(".count"),
      read: tr.querySelector(".att-read"), code: tr.querySelector(".code"),
      slider: tr.querySelector(".att-slider"), input: tr.querySelector(".att-input"),
      apply: tr.querySelector(".att-apply"), attError: tr.querySelector(".att-error"),
      sw: tr.querySelector(".sw2x2"), swError: tr.querySelector(".sw-error"),
      editing: false, edits: 0, position: null,
    };
    u.rows.set(c.channel, row);
    wireChannel(u, c.channel, row);
    // Keep the table in channel order whatever order the rows arrive in.
    const body = u.el.querySelector("table.channels tbody");
    const after = Array.from(body.children).find(r => Number(r.dataset.channel) > c.channel);
    body.insertBefore(tr, after || null);
    fillSweepChannels();
    return row;
  }

  function wireChannel(u, channel, row) {
    const path = () => unitPath(u.info.name) + "/channels/" + channel;
    // The server checks the value as zelctl does; its message appears beside the field.
    const setDb = async db => {
      const edits = row.edits;
      const done = await act(row.attError, [row.apply], () => api("PUT", path() + "/attenuation", { db: db }));
      if (row.edits === edits) {  // nothing typed meanwhile: the field follows the unit again
        row.editing = false;
        row.input.classList.remove("pending");
      }
      if (done !== undefined) loadChannels(u.info.name);
    };
    // Typing marks the value pending (the live feed leaves it alone); Enter or Set sends it.
    row.input.addEventListener("input", () => {
      row.editing = true;
      row.edits++;
      row.input.classList.add("pending");
      const v = Number(row.input.value);
      if (row.input.value !== "" && isFinite(v)) row.slider.value = String(clampDb(v));
    });
    row.input.addEventListener("keydown", e => {
      if (e.key === "Enter") { e.preventDefault(); setDb(Number(row.input.value)); }
      if (e.key === "Escape") { row.editing = false; row.input.classList.remove("pending"); }
    });
    row.apply.addEventListener("click", () => setDb(row.input.value === "" ? NaN : Number(row.input.value)));
    // Dragging shows the value; letting go sends it.
    row.slider.addEventListener("input", () => {
      row.editing = true;
      row.edits++;
      row.input.value = Number(row.slider.value).toFixed(1);
    });
    row.slider.addEventListener("change", () => setDb(Number(row.slider.value)));
    row.sw.addEventListener("click", async () => {
      const to = row.position === 1 ? 0 : 1;
      const done = await act(row.swError, [row.sw], () => api("PUT", path() + "/switch", { position: to }));
      if (done !== undefined) {
        row.position = to;
        showSwitch(row);
        loadChannels(u.info.name);
      }
    });
  }

  function showSwitch(row) {
    const p = row.position;
    row.sw.textContent = p === 0 ? "bar" : p === 1 ? "cross" : p === null || p === undefined ? "?" : String(p);
    row.sw.classList.toggle("cross", p === 1);
    row.sw.dataset.position = p === null || p === undefined ? "" : String(p);
  }

  function showReadings(u, channels) {
    u.channels = channels;
    for (const c of channels) {
      const row = channelRow(u, c);
      const power = dbm(c.power_uw);
      row.uw.textContent = fixed(c.power_uw, 3);
      row.dbm.textContent = fixed(typeof c.power_dbm === "number" ? c.power_dbm : power, 2);
      row.count.textContent = c.count === undefined || c.count === null ? "\u2014" : String(c.count);
      const calibrated = typeof c.attenuation_db === "number";
      row.read.textContent = calibrated ? c.attenuation_db.toFixed(2) : "uncal.";
      row.read.title = calibrated ? "" : "the channel has no VOA calibration at this wavelength";
      row.tr.classList.toggle("uncalibrated", !calibrated);
      row.tr.classList.toggle("dark", !(c.power_uw > 0));
      row.tr.classList.toggle("over-range", c.over_range === true);
      row.uw.title = c.over_range === true ? "over range: the detector is saturated" : "";
      row.code.textContent = c.code === undefined || c.code === null ? "\u2014" : String(c.code);
      if (!row.editing && document.activeElement !== row.input && document.activeElement !== row.slider) {
        if (calibrated) {
          row.input.value = c.attenuation_db.toFixed(2);
          row.slider.value = String(clampDb(c.attenuation_db));
        }
      }
      if (c.switch_2x2 !== undefined) {
        row.position = c.switch_2x2;
        showSwitch(row);
      }
      row.tr.dataset.time = String(u.lastTime || "");
    }
  }

  // ---------------------------------------------------------------------------------------------------------
  // The live feed.

  function startFeed() {
    const url = API + "/events" + (TOKEN ? "?token=" + encodeURIComponent(TOKEN) : "");
    const source = new EventSource(url);
    const badge = document.getElementById("feed-state");
    source.onopen = () => {
      badge.textContent = "feed: live";
      badge.className = "feed feed-up";
    };
    source.onerror = () => {
      // EventSource reconnects by itself; the badge says it is down meanwhile.
      badge.textContent = "feed: reconnecting";
      badge.className = "feed feed-down";
    };
    source.addEventListener("readings", e => {
      const d = JSON.parse(e.data);
      const u = state.units.get(d.unit);
      if (!u) return;
      u.lastTime = d.time;
      if (!u.info.connected) {
        u.info.connected = true;
        showUnit(u.info);
      }
      // The round's unit-wide readings: temperature and the selectors' positions.
      let changed = false;
      for (const key of ["temperature_c", "mems", "lbmm", "wavelength_nm", "link_reopens"]) {
        if (d[key] !== undefined && d[key] !== u.info[key]) {
          u.info[key] = d[key];
          changed = true;
        }
      }
      if (changed) showUnit(u.info);
      showReadings(u, channelList(d));
      state.feedTime = Date.now();
      badge.textContent = "feed: live";
      badge.className = "feed feed-up";
      document.getElementById("feed-time").textContent = String(d.time || new Date().toISOString());
    });
    source.addEventListener("unit", e => {
      const info = JSON.parse(e.data);
      const known = state.units.has(info.name);
      showUnit(info);
      if (!known) fillToolUnits();
      if (info.connected) loadChannels(info.name);
    });
    source.addEventListener("sweep", e => sweepPoint(JSON.parse(e.data)));
  }

  // ---------------------------------------------------------------------------------------------------------
  // Panels: the unit they act on.

  function fillToolUnits() {
    const select = document.getElementById("tool-unit");
    const names = Array.from(state.units.keys());
    fillSelect(select, names, state.toolUnit || names[0]);
    if (!state.toolUnit && names.length) state.toolUnit = names[0];
    fillSweepChannels();
  }

  function fillSweepChannels() {
    const u = state.units.get(state.toolUnit);
    const channels = u ? Array.from(u.rows.keys()).sort((a, b) => a - b) : [];
    const select = document.getElementById("sweep-channel");
    fillSelect(select, channels, select.value !== "" && channels.includes(Number(select.value)) ? Number(select.value) : channels[0]);
  }

  function wireTabs() {
    for (const tab of document.querySelectorAll(".tab")) {
      tab.addEventListener("click", () => {
        for (const t of document.querySelectorAll(".tab")) t.classList.toggle("active", t === tab);
        for (const body of document.querySelectorAll(".tab-body")) body.hidden = body.id !== "tab-" + tab.dataset.tab;
        if (tab.dataset.tab === "frames") pollFrames();
      });
    }
    document.getElementById("tool-unit").addEventListener("change", e => {
      state.toolUnit = e.target.value;
      fillSweepChannels();
      clearFrames();
      pollFrames();
    });
  }

  // ---------------------------------------------------------------------------------------------------------
  // Sweep: the curve grows with the feed's sweep points; the POST's answer is the whole curve.

  let sweepChart = null, errorChart = null;

  function makeSweepCharts() {
    const common = {
      animation: false, responsive: true, maintainAspectRatio: false, parsing: false, normalized: true,
      interaction: { mode: "nearest", axis: "x", intersect: false },
    };
    // Both charts share the x axis: equal side axes keep their plot areas one above the other.
    const AXIS_PX = 64;
    const fit = axis => { axis.width = AXIS_PX; };
    const xAxis = () => ({ type: "linear", min: 0, max: MAX_DB, title: { display: true, text: "attenuation set (dB)" } });
    sweepChart = new Chart(document.getElementById("sweep-chart"), {
      type: "line",
      data: {
        datasets: [
          { label: "attenuation read (dB)", data: [], yAxisID: "y", borderColor: "#1f6fb2", backgroundColor: "#1f6fb2",
            pointRadius: 2, borderWidth: 1.5 },
          { label: "power (dBm)", data: [], yAxisID: "power", borderColor: "#c0392b", backgroundColor: "#c0392b",
            pointRadius: 2, borderWidth: 1.5 },
        ],
      },
      options: Object.assign({}, common, {
        scales: {
          x: xAxis(),
          y: { type: "linear", position: "left", afterFit: fit, title: { display: true, text: "attenuation read (dB)" } },
          power: { type: "linear", position: "right", grid: { drawOnChartArea: false }, afterFit: fit,
                   title: { display: true, text: "power (dBm)" } },
        },
      }),
    });
    errorChart = new Chart(document.getElementById("sweep-error-chart"), {
      type: "line",
      data: {
        datasets: [{ label: "read \u2212 set (dB)", data: [], borderColor: "#2e7d32", backgroundColor: "#2e7d32",
                     pointRadius: 2, borderWidth: 1.5 }],
      },
      options: Object.assign({}, common, {
        layout: { padding: { right: AXIS_PX } },
        scales: { x: xAxis(), y: { type: "linear", afterFit: fit, title: { display: true, text: "read \u2212 set (dB)" } } },
      }),
    });
  }

  function drawSweep() {
    const s = state.sweep;
    const points = s ? s.points.filter(p => p) : [];
    sweepChart.data.datasets[0].data = points.map(p => ({ x: p.set_db, y: p.read_db }));
    sweepChart.data.datasets[1].data = points.filter(p => typeof powerDbm(p) === "number")
                                             .map(p => ({ x: p.set_db, y: powerDbm(p) }));
    errorChart.data.datasets[0].data = points.map(p => ({ x: p.set_db, y: p.read_db - p.set_db }));
    sweepChart.update("none");
    errorChart.update("none");
    const count = document.getElementById("sweep-count");
    count.textContent = !s ? "no sweep yet"
        : points.length + (s.total ? " of " + s.total : "") + " points" + (s.running ? "\u2026" : "") +
          " (" + s.unit + ", channel " + s.channel + ")";
    count.dataset.points = String(points.length);
  }

  function powerDbm(p) {
    return typeof p.power_dbm === "number" ? p.power_dbm : dbm(p.power_uw);
  }

  function sweepPoint(d) {
    const s = state.sweep;
    if (!s || !s.running || d.unit !== s.unit || Number(d.channel) !== s.channel) return;
    const point = d.point || d;  // the point's fields beside unit and channel, or in "point"
    if (typeof point.set_db !== "number") return;
    if (typeof d.total === "number") s.total = d.total;
    const index = typeof d.index === "number" ? d.index : s.points.length;
    s.points[index] = point;
    drawSweep();
  }

  function sweepSteps(from, to, step) {
    return Math.floor((to - from) / step + 1e-9) + 1;
  }

  function wireSweep() {
    const form = document.getElementById("sweep-form");
    const error = document.getElementById("sweep-error");
    const run = document.getElementById("sweep-run");
    const csv = document.getElementById("sweep-csv"), svg = document.getElementById("sweep-svg");
    form.addEventListener("submit", async e => {
      e.preventDefault();
      const unit = state.toolUnit;
      const channel = Number(document.getElementById("sweep-channel").value);
      const from = Number(document.getElementById("sweep-from").value);
      const to = Number(document.getElementById("sweep-to").value);
      const step = Number(document.getElementById("sweep-step").value);
      const dwell = Number(document.getElementById("sweep-dwell").value || 0);
      // The curve's axis spans the sweep asked for, so that a short one is not squeezed into a corner.
      for (const chart of [sweepChart, errorChart]) {
        chart.options.scales.x.min = isFinite(from) ? from : 0;
        chart.options.scales.x.max = isFinite(to) && to > from ? to : MAX_DB;
      }
      state.sweep = { unit: unit, channel: channel, total: step > 0 && to >= from ? sweepSteps(from, to, step) : 0,
                      points: [], running: true };
      drawSweep();
      csv.disabled = svg.disabled = true;
      const answer = await act(error, [run], () =>
          api("POST", unitPath(unit) + "/sweep", { channel: channel, from: from, to: to, step: step, dwell_ms: dwell }));
      state.sweep.running = false;
      if (answer !== undefined) {
        state.sweep.points = answer.points || [];
        state.sweep.total = state.sweep.points.length;
        csv.disabled = svg.disabled = false;
        loadChannels(unit);
      }
      drawSweep();
    });
    const download = (format, mime) => async () => {
      const s = state.sweep;
      const button = format === "csv" ? csv : svg;
      const text = await act(error, [button], () =>
          api("GET", unitPath(s.unit) + "/sweep?format=" + format, undefined, "text"));
      if (text !== undefined) save(text, mime, "sweep-" + s.unit + "-ch" + s.channel + "." + format);
    };
    csv.addEventListener("click", download("csv", "text/csv"));
    svg.addEventListener("click", download("svg", "image/svg+xml"));
  }

  function save(text, mime, filename) {
    const url = URL.createObjectURL(new Blob([text], { type: mime }));
    const a = el("a");
    a.href = url;
    a.download = filename.replace(/[^A-Za-z0-9._-]/g, "_");
    document.body.appendChild(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(url), 1000);
  }

  // ---------------------------------------------------------------------------------------------------------
  // Calibration: the VOA curve of each channel from its coefficients, the TAP factors; backup, diff, restore.

  let calibChart = null;
  const PALETTE = ["#1f6fb2", "#c0392b", "#2e7d32", "#8e44ad", "#d35400", "#16a085", "#7f8c8d", "#b7950b"];

  // Attenuation (dB) at VOA code x. Board type 4 stores a quartic without constant term, every other board
  // a cubic: the same four coefficients.
  function voaAttenuation(c, x, boardType) {
    if (boardType === 4) return ((c[0] * x + c[1]) * x + c[2]) * x * x + c[3] * x;
    return ((c[0] * x + c[1]) * x + c[2]) * x + c[3];
  }

  function makeCalibChart() {
    calibChart = new Chart(document.getElementById("calib-chart"), {
      type: "line",
      data: { datasets: [] },
      options: {
        animation: false, responsive: true, maintainAspectRatio: false, parsing: false,
        elements: { point: { radius: 0 } },
        scales: {
          x: { type: "linear", min: 0, max: MAX_CODE, title: { display: true, text: "VOA code" } },
          y: { type: "linear", title: { display: true, text: "attenuation (dB)" } },
        },
      },
    });
  }

  function calibSlot() {
    const c = state.calib;
    if (!c || !c.doc.wavelengths) return null;
    const want = Number(document.getElementById("calib-slot").value);
    return c.doc.wavelengths.find(w => w.slot === want) || c.doc.wavelengths[0];
  }

  function drawCalibration() {
    const slot = calibSlot();
    const board = state.calib ? state.calib.doc.unit && state.calib.doc.unit.board_type : undefined;
    const sets = [];
    const tap = document.getElementById("calib-tap");
    tap.textContent = "";
    if (slot) {
      const table = el("table");
      const head = el("tr");
      ["Ch", "TAP factor", "VOA loss (dB)"].forEach(h => head.appendChild(el("th", "", h)));
      table.appendChild(head);
      for (const ch of slot.channels || []) {
        const coefficients = Array.isArray(ch.voa) ? ch.voa.map(Number) : null;
        if (coefficients && coefficients.length === 4 && coefficients.every(isFinite) && coefficients.some(v => v !== 0)) {
          const data = [];
          for (let x = 0; x <= MAX_CODE; x += 32) data.push({ x: x, y: voaAttenuation(coefficients, x, board) });
          const color = PALETTE[ch.channel % PALETTE.length];
          sets.push({ label: "ch " + ch.channel, data: data, borderColor: color, backgroundColor: color, borderWidth: 1.5 });
        }
        const tr = el("tr");
        tr.appendChild(el("td", "", String(ch.channel)));
        tr.appendChild(el("td", "num", typeof ch.tap === "number" ? ch.tap.toPrecision(6) : String(ch.tap)));
        tr.appendChild(el("td", "num", typeof ch.voa_loss === "number" ? ch.voa_loss.toFixed(3) : String(ch.voa_loss ?? "\u2014")));
        table.appendChild(tr);
      }
      tap.appendChild(el("h3", "", "Slot " + slot.slot + " (" + slot.wavelength_nm + " nm)"));
      tap.appendChild(table);
    }
    calibChart.data.datasets = sets;
    calibChart.update("none");
  }

  function wireCalibration() {
    const error = document.getElementById("calib-error");
    const load = document.getElementById("calib-load");
    const backup = document.getElementById("calib-backup");
    const file = document.getElementById("calib-file");
    const slot = document.getElementById("calib-slot");
    load.addEventListener("click", async () => {
      const unit = state.toolUnit;
      const text = await act(error, [load], () => api("GET", unitPath(unit) + "/calibration", undefined, "text"));
      if (text === undefined) return;
      state.calib = { unit: unit, doc: JSON.parse(text), text: text };
      const slots = state.calib.doc.wavelengths || [];
      slot.textContent = "";
      slot.removeAttribute("data-values");
      fillSelect(slot, slots.map(w => w.slot), slots.length ? slots[0].slot : undefined,
                 v => v + " (" + slots.find(w => w.slot === v).wavelength_nm + " nm)");
      backup.disabled = false;
      drawCalibration();
    });
    slot.addEventListener("change", drawCalibration);
    backup.addEventListener("click", () => {
      const c = state.calib;
      const serial = c.doc.unit && c.doc.unit.serial !== undefined ? c.doc.unit.serial : c.unit;
      save(c.text, "application/json", "calibration-" + serial + ".json");
    });
    file.addEventListener("change", async () => {
      const f = file.files[0];
      if (!f) return;
      const unit = state.toolUnit;
      const text = await f.text();
      file.value = "";
      const force = document.getElementById("calib-force").checked ? "?force=true" : "";
      const diff = await act(error, [file], () => api("POST", unitPath(unit) + "/calibration/diff" + force, text));
      if (diff === undefined) return;
      state.restore = { unit: unit, text: text, name: f.name, force: force };
      showDiff(diff);
    });
    document.getElementById("calib-cancel").addEventListener("click", () => {
      state.restore = null;
      document.getElementById("calib-diff").hidden = true;
    });
    document.getElementById("calib-restore").addEventListener("click", async () => {
      const r = state.restore;
      const button = document.getElementById("calib-restore");
      const progress = document.getElementById("calib-restore-state");
      progress.textContent = "restoring " + r.unit + "\u2026";
      const done = await act(document.getElementById("calib-restore-error"), [button],
                             () => api("POST", unitPath(r.unit) + "/calibration/restore" + r.force, r.text));
      progress.textContent = "";
      if (done === undefined) return;
      state.restore = null;
      showResult(document.getElementById("calib-diff-body"), done);
      progress.textContent = "restored";
      button.disabled = true;
      load.click();
    });
  }

  // A JSON answer for a person: arrays of flat objects as tables, other values as key: value lines.
  function showResult(box, value) {
    box.textContent = "";
    const render = (v, into) => {
      if (Array.isArray(v) && v.length && v.every(x => x && typeof x === "object" && !Array.isArray(x))) {
        const keys = Array.from(new Set(v.flatMap(Object.keys)));
        const table = el("table");
        const head = el("tr");
        keys.forEach(k => head.appendChild(el("th", "", k)));
        table.appendChild(head);
        for (const row of v) {
          const tr = el("tr");
          keys.forEach(k => tr.appendChild(el("td", "mono", row[k] === undefined ? "" :
              typeof row[k] === "object" ? JSON.stringify(row[k]) : String(row[k]))));
          table.appendChild(tr);
        }
        into.appendChild(table);
      } else if (Array.isArray(v) && v.length === 0) {
        into.appendChild(el("p", "muted", "none"));
      } else if (v && typeof v === "object") {
        for (const [k, x] of Object.entries(v)) {
          if (x && typeof x === "object") {
            into.appendChild(el("h4", "", k));
            render(x, into);
          } else {
            into.appendChild(el("div", "", k + ": " + String(x)));
          }
        }
      } else {
        into.appendChild(el("div", "mono", String(v)));
      }
    };
    render(value, box);
  }

  function showDiff(diff) {
    document.getElementById("calib-diff").hidden = false;
    document.getElementById("calib-diff-name").textContent = state.restore.name + " on " + state.restore.unit;
    document.getElementById("calib-restore-state").textContent = "";
    document.getElementById("calib-restore-error").textContent = "";
    document.getElementById("calib-restore").disabled = false;
    showResult(document.getElementById("calib-diff-body"), diff);
  }

  // ---------------------------------------------------------------------------------------------------------
  // Frame log: the last frames of the unit, decoded, polled while the tab is open.

  let framesTimer = null;

  function clearFrames() {
    state.framesAfter = 0;
    document.querySelector("#frames tbody").textContent = "";
    document.getElementById("frames-count").textContent = "";
  }

  async function pollFrames() {
    clearTimeout(framesTimer);
    if (document.getElementById("tab-frames").hidden || !state.toolUnit) return;
    const error = document.getElementById("frames-error");
    const unit = state.toolUnit;
    try {
      const j = await api("GET", unitPath(unit) + "/frames?after=" + state.framesAfter);
      error.textContent = "";
      if (unit === state.toolUnit) addFrames(j.frames || []);
    } catch (e) {
      error.textContent = e.message;
    }
    framesTimer = setTimeout(pollFrames, 1000);
  }

  function addFrames(frames) {
    const body = document.querySelector("#frames tbody");
    for (const f of frames) {
      if (typeof f.seq === "number" && f.seq <= state.framesAfter) continue;
      const tr = el("tr", f.direction === "sent" ? "sent" : "received");
      tr.appendChild(el("td", "num", String(f.seq)));
      tr.appendChild(el("td", "mono", String(f.time || "")));
      tr.appendChild(el("td", "dir", f.direction === "sent" ? "\u2192 sent" : "\u2190 recv"));
      tr.appendChild(el("td", "", f.text || ""));
      // A frame is mostly padding: the first bytes, the whole frame on hovering.
      const hex = String(f.hex || "");
      const cell = el("td", "hex", hex.length > 48 ? hex.slice(0, 48).trimEnd() + " \u2026" : hex);
      cell.title = hex;
      tr.appendChild(cell);
      body.appendChild(tr);
      if (typeof f.seq === "number") state.framesAfter = Math.max(state.framesAfter, f.seq);
    }
    while (body.children.length > FRAME_ROWS) body.firstElementChild.remove();
    document.getElementById("frames-count").textContent = body.children.length + " frames";
    if (frames.length && document.getElementById("frames-follow").checked) {
      const box = document.querySelector(".frames-box");
      box.scrollTop = box.scrollHeight;
    }
  }

  // ---------------------------------------------------------------------------------------------------------

  function start() {
    wireTabs();
    makeSweepCharts();
    makeCalibChart();
    wireSweep();
    wireCalibration();
    document.getElementById("frames-clear").addEventListener("click", clearFrames);
    loadUnits().then(startFeed);
    // A unit whose readings stop is shown stale; the unit event of the server says when it is away.
    setInterval(() => {
      const stale = state.feedTime && Date.now() - state.feedTime > 3000;
      if (stale) {
        const badge = document.getElementById("feed-state");
        badge.textContent = "feed: no readings";
        badge.className = "feed feed-down";
      }
    }, 1000);
  }

  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", start);
  else start();
})();
