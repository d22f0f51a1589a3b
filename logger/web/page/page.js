// The live view of an ohmlog run: a snapshot of every meter's chart buckets and statistics,
// then one event per row (ohmlog's /events), a heartbeat every few seconds and an end event
// with the run's summary, after which the page looks for a new run every few seconds and
// shows the next one that answers. The latest reading of one meter, the first or the one
// chosen, is shown as the meter shows it; with several meters each has a card of its own; the
// title names the meters (or the MQTT node) with their latest readings, so that tabs of
// several benches tell them apart. Only changes of the connection and alarms are announced to
// a screen reader. The charts are drawn as SVG, one per meter and unit (and one for the
// power), on one time axis in this browser's local time, each bucket from its smallest to its
// largest value, broken and marked where an overload or a missing reading fell.
"use strict";

(() => {
  const STATUS_WORDS = {
    ok: "ok",
    overload: "overload",
    "no-reply": "no reply",
    garbled: "garbled reply",
    "port-lost": "port lost",
  };
  // The fields of a bucket as the server sends it.
  const INDEX = 0, OK = 2, FIRST_S = 3, LAST_S = 4, FIRST = 5, LAST = 6, MIN = 7, MAX = 8;
  const OVERLOAD = 9, MISSING = 10, RESUMED = 11;
  const HEIGHT = 220, LEFT = 90, RIGHT = 12, TOP = 10, BOTTOM = 24, NARROWEST = 280;
  // The room a time label takes, and the value ticks a panel aims at (as the plot).
  const TIME_LABEL = 110, VALUE_TICKS = 5;
  // Silence this many heartbeats long means the server, or the path to it, has stalled.
  const LATE_BEATS = 2.5;
  // After the end of a run, how often a new one is looked for.
  const LOOK_EVERY_MS = 5000;
  // Steps a clock face has, in seconds: seconds, minutes, hours, days, weeks.
  const CLOCK_STEPS = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800,
    21600, 43200, 86400, 172800, 604800, 1209600, 2419200];
  const PREFIXES = [[1e9, "G"], [1e6, "M"], [1e3, "k"], [1, ""], [1e-3, "m"], [1e-6, "u"],
    [1e-9, "n"], [1e-12, "p"]];
  // The units written with an SI prefix, and the prefixes from pico to giga, as in the plot.
  const PREFIXED = ["V", "A", "Ohm", "F", "Hz", "W", "Wh", "Ah"];
  const SYMBOLS = ["p", "n", "u", "m", "", "k", "M", "G"];

  const state = {
    seq: -1, originMs: 0, lastS: 0, meters: [], power: null, stats: null, alarms: [], chosen: null,
    connection: "connecting", heardAt: 0, rowAt: 0, heartbeatS: 2, runMs: null, node: null,
  };
  let drawing = false;

  const byId = (id) => document.getElementById(id);

  function setText(element, text) {
    if (element.textContent !== text) {
      element.textContent = text;
    }
  }

  function setHtml(element, html) {
    if (element.innerHTML !== html) {
      element.innerHTML = html;
    }
  }

  function escapeHtml(text) {
    return String(text).replace(/[&<>"]/g, (c) => ({ "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;" })[c]);
  }

  function unitName(unit) {
    return unit === "" ? "gain" : unit;
  }

  function plural(count, word) {
    return `${count} ${count === 1 ? word : word + "s"}`;
  }

  // The readings of the whole log, earlier rows of an appended file included, as the table
  // counts them.
  function total(units, field) {
    return units.reduce((sum, unit) => sum + unit[field], 0);
  }

  // "6.02 W", "247.3 uAh": four significant digits and an SI prefix.
  function siText(value, unit) {
    if (!Number.isFinite(value) || value === 0) {
      return `0 ${unit}`;
    }
    const found = PREFIXES.find(([scale]) => Math.abs(value) >= scale * 0.9995) || PREFIXES[PREFIXES.length - 1];
    return `${Number((value / found[0]).toPrecision(4))} ${found[1]}${unit}`;
  }

  function chartOf(source) {
    return {
      bucketS: source.bucket_s,
      panels: source.panels.map((panel) => ({
        unit: panel.unit,
        buckets: new Map(panel.buckets.map((bucket) => [bucket[INDEX], bucket])),
      })),
    };
  }

  function panelFor(chart, unit) {
    let panel = chart.panels.find((candidate) => candidate.unit === unit);
    if (!panel) {
      panel = { unit, buckets: new Map() };
      chart.panels.push(panel);
    }
    return panel;
  }

  // A snapshot of another run than the one shown (the one before ended, or ohmlog was started
  // again) is said to be a new run.
  function takeSnapshot(snapshot) {
    if (state.runMs !== null && snapshot.run_ms !== state.runMs) {
      const started = new Date(snapshot.run_ms).toLocaleTimeString();
      setConnection("live", "live");
      setText(byId("run"), `a new run, started at ${started}`);
      setText(byId("announce"), `a new run, started at ${started}`);
    }
    state.runMs = snapshot.run_ms;
    state.node = snapshot.node;
    state.seq = snapshot.seq;
    state.originMs = snapshot.origin_ms;
    state.lastS = snapshot.last_s;
    state.meters = snapshot.meters.map((meter) => ({
      name: meter.name, port: meter.port, latest: meter.latest, stats: meter.stats,
      chargeAh: meter.charge_ah, chart: chartOf(meter),
    }));
    state.power = snapshot.power && { ...snapshot.power, chart: chartOf(snapshot.power) };
    state.stats = snapshot.stats;
    state.alarms = snapshot.alarms || [];
    state.rowAt = performance.now();
    redraw();
  }

  // The run's last figures.
  function takeEnd(end) {
    state.stats = end.stats;
    state.alarms = end.alarms || [];
    for (const summary of end.meters) {
      const meter = state.meters.find((candidate) => candidate.name === summary.name);
      if (meter) {
        Object.assign(meter, { stats: summary.stats, latest: summary.latest || meter.latest, chargeAh: summary.charge_ah });
      }
    }
    if (end.power && state.power) {
      Object.assign(state.power, end.power, { chart: state.power.chart });
    }
    // As the summary says it: this run's readings, not an appended file's earlier ones.
    const readings = plural(end.stats.readings, "reading");
    setConnection("ended", `the run has ended: ${readings} in ${end.stats.seconds.toFixed(1)} s`);
    redraw();
  }

  function takeAlarm(event) {
    state.alarms = event.alarms;
    redraw();
  }

  // A banner while an alarm is raised: its rule and the meters it is raised on.
  function showAlarms() {
    const active = state.alarms.filter((alarm) => alarm.active);
    byId("alarms").hidden = active.length === 0;
    setHtml(byId("alarms"), active.map((alarm) =>
      `<p>alarm ${escapeHtml(alarm.rule)} raised on ${escapeHtml(alarm.raised_on.join(", "))}</p>`).join(""));
  }

  // A row already in the snapshot is skipped; after a change of bucket width a snapshot
  // follows at once.
  function takeRow(event) {
    if (event.seq <= state.seq) {
      return;
    }
    state.seq = event.seq;
    state.lastS = event.last_s;
    state.stats = event.stats;
    state.rowAt = performance.now();
    const meter = state.meters.find((candidate) => candidate.name === event.meter);
    if (meter) {
      meter.latest = event.row;
      meter.stats = event.meter_stats;
      meter.chargeAh = event.charge_ah;
      if (event.bucket_s === meter.chart.bucketS) {
        panelFor(meter.chart, event.panel).buckets.set(event.bucket[INDEX], event.bucket);
      }
    }
    if (event.power && state.power) {
      const chart = state.power.chart;
      Object.assign(state.power, event.power, { chart });
      if (event.power.bucket_s === chart.bucketS) {
        panelFor(chart, "W").buckets.set(event.power.bucket[INDEX], event.power.bucket);
      }
    }
    redraw();
  }

  function shownMeter() {
    return state.meters.find((meter) => meter.name === state.chosen) || state.meters[0];
  }

  // With several meters, the one in the big display is picked from a list.
  function showChoice() {
    const select = byId("chosen");
    const names = state.meters.map((meter) => meter.name);
    byId("choice").hidden = names.length < 2;
    if ([...select.options].map((option) => option.value).join("\n") !== names.join("\n")) {
      select.replaceChildren(...names.map((name) => new Option(name, name)));
    }
    const meter = shownMeter();
    if (meter && select.value !== meter.name) {
      select.value = meter.name;
    }
  }

  function showReading() {
    showChoice();
    const meter = shownMeter();
    const row = meter && meter.latest;
    if (!row) {
      return;
    }
    const shown = row.status === "ok" || row.status === "overload";
    setText(byId("meter"), state.meters.length > 1 ? meter.port : "");
    setText(byId("mode"), shown ? row.mode : "");
    setText(byId("number"), shown ? row.reading : "----");
    setText(byId("unit"), shown ? row.unit : "");
    const status = byId("status");
    setText(status, STATUS_WORDS[row.status] || row.status);
    status.className = "status " + row.status;
    setText(byId("si"), row.status === "ok" ? "= " + row.value + " " + row.base_unit : "");
  }

  function chargeOf(meter) {
    return meter && meter.chargeAh !== undefined ? siText(meter.chargeAh, "Ah") : "";
  }

  function showCounts() {
    const stats = state.stats;
    if (!stats) {
      return;
    }
    setText(byId("count"), plural(total(stats.units, "readings"), "reading"));
    setText(byId("rate"), stats.rate.toFixed(2));
    setText(byId("missing"), String(total(stats.units, "missing")));
    setText(byId("losses"), stats.losses > 0 ? `, port lost ${plural(stats.losses, "time")}` : "");
    const several = state.meters.length > 1;
    const labels = [...byId("units").tHead.rows[0].cells].map((cell) => cell.textContent);
    const rows = stats.units.map((unit) => {
      const meter = state.meters.find((candidate) => candidate.name === unit.meter) || state.meters[0];
      const name = several ? `${unit.meter}: ${unitName(unit.unit)}` : unitName(unit.unit);
      const cells = [name, unit.readings, unit.overload, unit.missing, unit.min_text || "",
        unit.max_text || "", unit.mean_text || "", unit.unit === "A" ? chargeOf(meter) : ""];
      return "<tr>" + cells.map((cell, at) =>
        `<td data-label="${labels[at]}">${escapeHtml(cell)}</td>`).join("") + "</tr>";
    });
    setHtml(byId("units").tBodies[0], rows.join(""));
  }

  function showPower() {
    const power = state.power;
    byId("power").hidden = !power;
    if (power) {
      setText(byId("watts"), power.latest ? siText(power.latest.watts, "W") : "\u2013");
      setText(byId("pair"), `(${power.volts} \u00d7 ${power.amperes})`);
      setText(byId("energy"), siText(power.energy_wh, "Wh"));
    }
  }

  // With several meters, a card each: its reading as it shows it, its status, its statistics.
  function showMeters() {
    const several = state.meters.length > 1;
    const cards = several ? state.meters.map((meter) => {
      const row = meter.latest;
      const shown = row && (row.status === "ok" || row.status === "overload");
      const lines = (meter.stats ? meter.stats.units : []).filter((unit) => unit.ok > 0).map((unit) =>
        `<p>${escapeHtml(unitName(unit.unit))}: min ${escapeHtml(unit.min_text)}, max ${escapeHtml(unit.max_text)}, mean ${escapeHtml(unit.mean_text)}</p>`);
      const charge = chargeOf(meter);
      return `<article class="card" data-meter="${escapeHtml(meter.name)}">` +
        `<h2>${escapeHtml(meter.name)} <span class="quiet">${escapeHtml(meter.port)}</span></h2>` +
        `<div class="display"><span class="mode">${shown ? escapeHtml(row.mode) : ""}</span>` +
        `<span class="number">${shown ? escapeHtml(row.reading) : "----"}</span>` +
        `<span class="unit">${shown ? escapeHtml(row.unit) : ""}</span></div>` +
        `<p><span class="status ${row ? escapeHtml(row.status) : ""}">${row ? escapeHtml(STATUS_WORDS[row.status] || row.status) : "waiting"}</span></p>` +
        lines.join("") + (charge ? `<p>charge ${escapeHtml(charge)}</p>` : "") + "</article>";
    }) : [];
    setHtml(byId("meters"), cards.join(""));
  }

  // The value axis as the plot writes it: ticks a round step apart, each with the SI prefix of
  // the panel's largest value and the decimals the step needs ("-800 mV", "1.20 MOhm").
  function prefixOf(magnitude, unit) {
    const thousands = PREFIXED.includes(unit) && magnitude > 0 && Number.isFinite(magnitude)
      ? Math.max(-4, Math.min(3, Math.floor(Math.log10(magnitude) / 3))) : 0;
    return { scale: 1000 ** thousands, symbol: SYMBOLS[thousands + 4] };
  }

  function niceStep(span, target) {
    if (!(span > 0) || !Number.isFinite(span)) {
      return 1;
    }
    const raw = span / target;
    const magnitude = 10 ** Math.floor(Math.log10(raw));
    const ratio = raw / magnitude;
    return (ratio < 1.5 ? 1 : ratio < 3 ? 2 : ratio < 7 ? 5 : 10) * magnitude;
  }

  function valueTicks(low, high, unit) {
    const { scale, symbol } = prefixOf(Math.max(Math.abs(low), Math.abs(high)), unit);
    const step = niceStep(high - low, VALUE_TICKS);
    const decimals = Math.max(0, Math.ceil(-Math.log10(step / scale) - 1e-9));
    const ticks = [];
    for (let k = Math.ceil(low / step - 1e-9); k * step <= high + step * 1e-9; ++k) {
      // A tick at zero must not read "-0".
      const scaled = Math.abs(k * step / scale) < step / scale / 2 ? 0 : k * step / scale;
      ticks.push({ value: k * step, text: `${scaled.toFixed(decimals)} ${symbol}${unit}`.trim() });
    }
    return ticks;
  }

  // Round moments of this browser's clock within the run, at most `most` of them, labelled as
  // the plot labels its ticks: the time, and where the date changes the date (alone at
  // midnight); on an axis whose times would repeat, every tick after the first day has its
  // date. Past a day, labels carry dates: fewer of them fit.
  function clockTicks(span, most) {
    const fitting = span > 86400 ? Math.max(1, Math.floor(most * 3 / 4)) : most;
    const step = CLOCK_STEPS.find((candidate) => span / candidate <= fitting) || CLOCK_STEPS[CLOCK_STEPS.length - 1];
    const offsetS = new Date(state.originMs).getTimezoneOffset() * 60;
    const localStart = state.originMs / 1000 - offsetS;
    const ticks = [];
    for (let local = Math.ceil(localStart / step - 1e-9) * step; local - localStart <= span + 1e-9; local += step) {
      ticks.push({ at: local - localStart, date: new Date((local + offsetS) * 1000) });
    }
    const day = (date) => date.toLocaleDateString([], { month: "short", day: "numeric" });
    if (step >= 86400) {
      return ticks.map(({ at, date }) => ({ at, date, text: day(date) }));
    }
    const time = (date) => date.toLocaleTimeString([], step < 60
      ? { hour: "2-digit", minute: "2-digit", second: "2-digit" } : { hour: "2-digit", minute: "2-digit" });
    const times = ticks.map(({ date }) => time(date));
    const days = new Set(times).size < times.length;
    return ticks.map(({ at, date }, k) => {
      const dated = k > 0 && (date.toDateString() !== ticks[k - 1].date.toDateString() ||
        (days && date.toDateString() !== ticks[0].date.toDateString()));
      const midnight = date.getHours() === 0 && date.getMinutes() === 0 && date.getSeconds() === 0;
      return { at, date, text: !dated ? times[k] : midnight ? day(date) : `${day(date)} ${times[k]}` };
    });
  }

  // The panel's line through its buckets, broken where an overload, a gap or a reading of
  // another unit fell.
  function panelSvg(panel, caption, width) {
    const buckets = [...panel.buckets.values()].sort((a, b) => a[INDEX] - b[INDEX]);
    const withValues = buckets.filter((bucket) => bucket[OK] > 0);
    let low = Math.min(...withValues.map((bucket) => bucket[MIN]));
    let high = Math.max(...withValues.map((bucket) => bucket[MAX]));
    if (!withValues.length) {
      low = 0;
      high = 1;
    }
    const margin = high > low ? (high - low) * 0.05 : Math.abs(low) * 0.1 || 1;
    low -= margin;
    high += margin;
    const span = Math.max(state.lastS, 0.001);
    const x = (seconds) => (LEFT + (seconds / span) * (width - LEFT - RIGHT)).toFixed(1);
    const y = (value) => (TOP + ((high - value) / (high - low)) * (HEIGHT - TOP - BOTTOM)).toFixed(1);
    const parts = [];
    let points = [];
    const flush = () => {
      if (points.length === 1) {
        const [cx, cy] = points[0].split(",");
        parts.push(`<circle cx="${cx}" cy="${cy}" r="2.5" fill="var(--line)"/>`);
      } else if (points.length > 1) {
        parts.push(`<polyline fill="none" stroke="var(--line)" stroke-width="1.5" points="${points.join(" ")}"/>`);
      }
      points = [];
    };
    for (const bucket of buckets) {
      const breaks = bucket[OVERLOAD] || bucket[MISSING];
      if (breaks || bucket[RESUMED]) {
        flush();
      }
      if (bucket[OK] > 0) {
        const middle = (bucket[FIRST_S] + bucket[LAST_S]) / 2;
        const falls = bucket[FIRST] >= bucket[LAST];
        points.push(`${x(bucket[FIRST_S])},${y(bucket[FIRST])}`);
        if (bucket[MIN] !== bucket[MAX]) {
          points.push(`${x(middle)},${y(falls ? bucket[MAX] : bucket[MIN])}`);
          points.push(`${x(middle)},${y(falls ? bucket[MIN] : bucket[MAX])}`);
        }
        if (bucket[LAST_S] > bucket[FIRST_S]) {
          points.push(`${x(bucket[LAST_S])},${y(bucket[LAST])}`);
        }
      }
      if (breaks) {
        flush();
        const at = x(bucket[FIRST_S]);
        if (bucket[OVERLOAD]) {
          parts.push(`<line class="overload" x1="${at}" x2="${at}" y1="${TOP}" y2="${TOP + 8}" stroke="var(--overload)" stroke-width="2"/>`);
        }
        if (bucket[MISSING]) {
          const bottom = HEIGHT - BOTTOM;
          parts.push(`<line class="missing" x1="${at}" x2="${at}" y1="${bottom - 8}" y2="${bottom}" stroke="var(--missing)" stroke-width="2"/>`);
        }
      }
    }
    flush();
    // A tick too near the right edge for its time keeps its line only; a label carries its
    // moment, as <time> would.
    const timeLabel = (at, { text, date }) => Number(at) + textWidth(text) / 2 > width ? ""
      : `<text class="tick" x="${at}" y="${HEIGHT - 6}" text-anchor="middle" data-time="${date.toISOString()}">${escapeHtml(text)}</text>`;
    const axes = [
      ...(withValues.length ? valueTicks(low, high, panel.unit) : []).map((tick) => `<line x1="${LEFT}" x2="${width - RIGHT}" y1="${y(tick.value)}" y2="${y(tick.value)}" stroke="#eef0f2"/>` +
        `<text class="value" x="${LEFT - 6}" y="${Number(y(tick.value)) + 4}" text-anchor="end">${escapeHtml(tick.text)}</text>`),
      `<line x1="${LEFT}" x2="${LEFT}" y1="${TOP}" y2="${HEIGHT - BOTTOM}" stroke="#c9ced4"/>`,
      ...clockTicks(span, Math.max(1, Math.floor((width - LEFT - RIGHT) / TIME_LABEL))).map((tick) =>
        `<line x1="${x(tick.at)}" x2="${x(tick.at)}" y1="${TOP}" y2="${HEIGHT - BOTTOM}" stroke="#e4e7eb"/>` +
        timeLabel(x(tick.at), tick)),
    ];
    return `<svg viewBox="0 0 ${width} ${HEIGHT}" width="${width}" height="${HEIGHT}" role="img" aria-label="${escapeHtml(caption)} over time">${axes.join("")}${parts.join("")}</svg>`;
  }

  // How wide a time label is drawn, with the font of the charts' labels.
  const measure = document.createElement("canvas").getContext("2d");
  function textWidth(text) {
    measure.font = `13px ${getComputedStyle(document.body).fontFamily}`;
    return measure.measureText(text).width;
  }

  // Every meter's panels, then the power's, each in a figure of its own.
  function chartPanels() {
    const several = state.meters.length > 1;
    const panels = [];
    for (const meter of state.meters) {
      for (const panel of meter.chart.panels) {
        const unit = unitName(panel.unit);
        panels.push({ meter: meter.name, panel, caption: several ? `${meter.name}: ${unit}` : unit });
      }
    }
    if (state.power) {
      for (const panel of state.power.chart.panels) {
        panels.push({ meter: "power", panel, caption: "power (W)" });
      }
    }
    return panels;
  }

  // Drawn at the width they take, so that their labels keep their size on a phone.
  function showCharts() {
    const charts = byId("charts");
    const panels = chartPanels();
    const width = Math.max(NARROWEST, Math.floor(charts.clientWidth));
    panels.forEach(({ meter, panel, caption }, index) => {
      let figure = charts.children[index];
      if (!figure || figure.dataset.unit !== panel.unit || figure.dataset.meter !== meter) {
        figure = document.createElement("figure");
        figure.className = "panel";
        figure.dataset.unit = panel.unit;
        figure.dataset.meter = meter;
        charts.insertBefore(figure, charts.children[index] || null);
      }
      const drawn = [...panel.buckets.values()].filter((bucket) => bucket[OK] > 0).length;
      figure.dataset.points = String(drawn);
      figure.innerHTML = `<figcaption>${escapeHtml(caption)}</figcaption>${panelSvg(panel, caption, width)}`;
    });
    while (charts.children.length > panels.length) {
      charts.lastChild.remove();
    }
  }

  // A reading in a few characters, as the big display shows it.
  function readingText(row) {
    if (!row) {
      return "\u2013";
    }
    return row.status === "ok" || row.status === "overload" ? `${row.reading} ${row.unit}`
      : STATUS_WORDS[row.status] || row.status;
  }

  // "bench-7: U 12.00 V, I 0.500 A \u2013 ohmlog": the node, each meter by the last part of its
  // name (ttyUSB0 for /dev/ttyUSB0) with its latest reading.
  function showTitle() {
    const readings = state.meters.map((meter) => `${meter.name.split("/").pop()} ${readingText(meter.latest)}`);
    const ended = state.connection === "ended" ? " (ended)" : "";
    const title = `${state.node ? state.node + ": " : ""}${readings.join(", ")}${ended} \u2013 ohmlog`;
    if (readings.length && document.title !== title) {
      document.title = title;
    }
  }

  // Several rows within one frame are drawn once.
  function redraw() {
    if (drawing) {
      return;
    }
    drawing = true;
    requestAnimationFrame(() => {
      drawing = false;
      showAlarms();
      showReading();
      showCounts();
      showPower();
      showMeters();
      showCharts();
      showTitle();
    });
  }

  // The connection's state in words; a change of state, not the seconds counting, is announced.
  function setConnection(kind, text, announced = text) {
    const connection = byId("connection");
    connection.className = kind;
    setText(connection, text);
    if (kind !== state.connection) {
      state.connection = kind;
      setText(byId("announce"), announced);
    }
  }

  function heard() {
    state.heardAt = performance.now();
    if (state.connection !== "live" && state.connection !== "ended") {
      setConnection("live", "live");
    }
  }

  // Every second: the age of the last reading, or how long nothing has come.
  function tick() {
    const now = performance.now();
    const quietS = (now - state.heardAt) / 1000;
    if ((state.connection === "live" || state.connection === "late") && quietS > state.heartbeatS * LATE_BEATS) {
      setConnection("late", `no data for ${Math.floor(quietS)} s`, "no data from ohmlog");
    }
    setText(byId("age"), state.connection === "live" && state.rowAt > 0
      ? `last reading ${Math.floor((now - state.rowAt) / 1000)} s ago`
      : state.connection === "ended" ? "waiting for a new run" : "");
  }

  // EventSource tries again by itself after a broken connection, but not after a refusal.
  // After the end of a run each try is one request, LOOK_EVERY_MS apart, until a run answers.
  function connect() {
    const source = new EventSource("events");
    const on = (name, take) => source.addEventListener(name, (message) => {
      heard();
      take(JSON.parse(message.data));
    });
    on("snapshot", takeSnapshot);
    on("row", takeRow);
    on("alarm", takeAlarm);
    on("heartbeat", (beat) => (state.heartbeatS = beat.every_s));
    on("end", (end) => {
      source.close();
      takeEnd(end);
      setTimeout(connect, LOOK_EVERY_MS);
    });
    source.onerror = () => {
      if (state.connection === "ended") {
        source.close();
        setTimeout(connect, LOOK_EVERY_MS);
        return;
      }
      setConnection("lost", "connection to ohmlog lost, trying again\u2026");
      if (source.readyState === EventSource.CLOSED) {
        setTimeout(connect, 2000);
      }
    };
  }

  byId("chosen").addEventListener("change", (change) => {
    state.chosen = change.target.value;
    redraw();
  });
  window.addEventListener("resize", redraw);
  setInterval(tick, 1000);
  connect();
})();
