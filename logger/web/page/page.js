// The live view of an ohmlog run: a snapshot of every meter's chart buckets and statistics,
// then one event per row (ohmlog's /events). The latest reading of any meter is shown as the
// meter shows it; with several meters each has a card of its own. The charts are drawn as SVG,
// one per meter and unit (and one for the power), on one time axis in this browser's local
// time, each bucket from its smallest to its largest value, broken and marked where an
// overload or a missing reading fell.
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
  const WIDTH = 640, HEIGHT = 220, LEFT = 70, RIGHT = 10, TOP = 10, BOTTOM = 24;
  // Steps a clock face has, in seconds: seconds, minutes, hours, days, weeks.
  const CLOCK_STEPS = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800,
    21600, 43200, 86400, 172800, 604800, 1209600, 2419200];
  const PREFIXES = [[1e9, "G"], [1e6, "M"], [1e3, "k"], [1, ""], [1e-3, "m"], [1e-6, "u"],
    [1e-9, "n"], [1e-12, "p"]];

  const state = { seq: -1, originMs: 0, lastS: 0, meters: [], power: null, stats: null, latest: null, alarms: [] };
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

  function takeSnapshot(snapshot) {
    state.seq = snapshot.seq;
    state.originMs = snapshot.origin_ms;
    state.lastS = snapshot.last_s;
    state.meters = snapshot.meters.map((meter) => ({
      name: meter.name, port: meter.port, latest: meter.latest, stats: meter.stats,
      chargeAh: meter.charge_ah, chart: chartOf(meter),
    }));
    state.power = snapshot.power && { ...snapshot.power, chart: chartOf(snapshot.power) };
    state.stats = snapshot.stats;
    state.latest = snapshot.latest;
    state.alarms = snapshot.alarms || [];
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
    state.latest = event.row;
    state.stats = event.stats;
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

  function showReading() {
    const row = state.latest;
    if (!row) {
      return;
    }
    const shown = row.status === "ok" || row.status === "overload";
    setText(byId("meter"), state.meters.length > 1 ? row.meter : "");
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
    setText(byId("count"), String(stats.readings));
    setText(byId("rate"), stats.rate.toFixed(2));
    setText(byId("missing"), String(stats.missing));
    setText(byId("losses"), stats.losses > 0 ? ", port lost " + stats.losses + " times" : "");
    const several = state.meters.length > 1;
    const rows = stats.units.map((unit) => {
      const meter = state.meters.find((candidate) => candidate.name === unit.meter) || state.meters[0];
      const name = several ? `${unit.meter}: ${unitName(unit.unit)}` : unitName(unit.unit);
      const cells = [name, unit.readings, unit.overload, unit.missing, unit.min_text || "",
        unit.max_text || "", unit.mean_text || "", unit.unit === "A" ? chargeOf(meter) : ""];
      return "<tr>" + cells.map((cell) => "<td>" + escapeHtml(cell) + "</td>").join("") + "</tr>";
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

  function label(value) {
    return Math.abs(value) >= 1e5 || (value !== 0 && Math.abs(value) < 1e-3)
      ? value.toExponential(3) : String(Number(value.toPrecision(4)));
  }

  // Round moments of this browser's clock within the run, and how to write them.
  function clockTicks(span) {
    const step = CLOCK_STEPS.find((candidate) => span / candidate <= 6) || CLOCK_STEPS[CLOCK_STEPS.length - 1];
    const offsetS = new Date(state.originMs).getTimezoneOffset() * 60;
    const localStart = state.originMs / 1000 - offsetS;
    const ticks = [];
    for (let local = Math.ceil(localStart / step - 1e-9) * step; local - localStart <= span + 1e-9; local += step) {
      const date = new Date((local + offsetS) * 1000);
      const text = step < 60 ? date.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit", second: "2-digit" })
        : step < 86400 ? date.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" })
        : date.toLocaleDateString([], { month: "short", day: "numeric" });
      ticks.push({ at: local - localStart, text });
    }
    return ticks;
  }

  // The panel's line through its buckets, broken where an overload, a gap or a reading of
  // another unit fell.
  function panelSvg(panel, caption) {
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
    const x = (seconds) => (LEFT + (seconds / span) * (WIDTH - LEFT - RIGHT)).toFixed(1);
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
    const axes = [
      `<text x="${LEFT - 6}" y="${TOP + 10}" text-anchor="end">${label(high - margin)}</text>`,
      `<text x="${LEFT - 6}" y="${HEIGHT - BOTTOM}" text-anchor="end">${label(low + margin)}</text>`,
      `<line x1="${LEFT}" x2="${LEFT}" y1="${TOP}" y2="${HEIGHT - BOTTOM}" stroke="#c9ced4"/>`,
      ...clockTicks(span).map((tick) => `<line x1="${x(tick.at)}" x2="${x(tick.at)}" y1="${TOP}" y2="${HEIGHT - BOTTOM}" stroke="#e4e7eb"/>` +
        `<text class="tick" x="${x(tick.at)}" y="${HEIGHT - 6}" text-anchor="middle">${escapeHtml(tick.text)}</text>`),
    ];
    return `<svg viewBox="0 0 ${WIDTH} ${HEIGHT}" role="img" aria-label="${escapeHtml(caption)} over time">${axes.join("")}${parts.join("")}</svg>`;
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

  function showCharts() {
    const charts = byId("charts");
    const panels = chartPanels();
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
      figure.innerHTML = `<figcaption>${escapeHtml(caption)}</figcaption>${panelSvg(panel, caption)}`;
    });
    while (charts.children.length > panels.length) {
      charts.lastChild.remove();
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
    });
  }

  function setConnection(live) {
    const connection = byId("connection");
    connection.className = live ? "live" : "lost";
    connection.textContent = live ? "live" : "connection to ohmlog lost, trying again\u2026";
  }

  // EventSource tries again by itself after a broken connection, but not after a refusal.
  function connect() {
    const source = new EventSource("events");
    source.addEventListener("snapshot", (message) => {
      setConnection(true);
      takeSnapshot(JSON.parse(message.data));
    });
    source.addEventListener("row", (message) => takeRow(JSON.parse(message.data)));
    source.addEventListener("alarm", (message) => takeAlarm(JSON.parse(message.data)));
    source.onerror = () => {
      setConnection(false);
      if (source.readyState === EventSource.CLOSED) {
        setTimeout(connect, 2000);
      }
    };
  }

  connect();
})();
