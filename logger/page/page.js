// The live view of an ohmlog run: a snapshot of the chart's buckets and statistics, then one
// event per row (ohmlog's /events). The chart is drawn as SVG, one panel per unit, each bucket
// from its smallest to its largest value, broken and marked where an overload or a missing
// reading fell.
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

  const state = { seq: -1, bucketS: 0, lastS: 0, panels: [], stats: null, latest: null };
  let drawing = false;

  const byId = (id) => document.getElementById(id);

  function setText(id, text) {
    const element = byId(id);
    if (element.textContent !== text) {
      element.textContent = text;
    }
  }

  function panelFor(unit) {
    let panel = state.panels.find((candidate) => candidate.unit === unit);
    if (!panel) {
      panel = { unit, buckets: new Map() };
      state.panels.push(panel);
    }
    return panel;
  }

  function takeSnapshot(snapshot) {
    state.seq = snapshot.seq;
    state.bucketS = snapshot.bucket_s;
    state.lastS = snapshot.last_s;
    state.panels = snapshot.panels.map((panel) => ({
      unit: panel.unit,
      buckets: new Map(panel.buckets.map((bucket) => [bucket[INDEX], bucket])),
    }));
    state.stats = snapshot.stats;
    state.latest = snapshot.latest;
    redraw();
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
    if (event.bucket_s === state.bucketS) {
      panelFor(event.panel).buckets.set(event.bucket[INDEX], event.bucket);
    }
    redraw();
  }

  function unitName(unit) {
    return unit === "" ? "gain" : unit;
  }

  function showReading() {
    const row = state.latest;
    if (!row) {
      return;
    }
    const shown = row.status === "ok" || row.status === "overload";
    setText("mode", shown ? row.mode : "");
    setText("number", shown ? row.reading : "----");
    setText("unit", shown ? row.unit : "");
    const status = byId("status");
    setText("status", STATUS_WORDS[row.status] || row.status);
    status.className = "status " + row.status;
    setText("si", row.status === "ok" ? "= " + row.value + " " + row.base_unit : "");
  }

  function showCounts() {
    const stats = state.stats;
    if (!stats) {
      return;
    }
    setText("count", String(stats.readings));
    setText("rate", stats.rate.toFixed(2));
    setText("missing", String(stats.missing));
    setText("losses", stats.losses > 0 ? ", port lost " + stats.losses + " times" : "");
    const rows = stats.units.map((unit) => {
      const cells = [unitName(unit.unit), unit.readings, unit.overload, unit.missing,
        unit.min_text || "", unit.max_text || "", unit.mean_text || ""];
      return "<tr>" + cells.map((cell) => "<td>" + escapeHtml(String(cell)) + "</td>").join("") +
        "</tr>";
    });
    const body = byId("units").tBodies[0];
    const html = rows.join("");
    if (body.innerHTML !== html) {
      body.innerHTML = html;
    }
  }

  function escapeHtml(text) {
    return text.replace(/[&<>"]/g, (c) => ({ "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;" })[c]);
  }

  function label(value) {
    return Math.abs(value) >= 1e5 || (value !== 0 && Math.abs(value) < 1e-3)
      ? value.toExponential(3) : String(Number(value.toPrecision(4)));
  }

  // The panel's line through its buckets, broken where an overload, a gap or a reading of
  // another unit fell.
  function panelSvg(panel) {
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
      `<text x="${LEFT}" y="${HEIGHT - 6}">0 s</text>`,
      `<text x="${WIDTH - RIGHT}" y="${HEIGHT - 6}" text-anchor="end">${label(state.lastS)} s</text>`,
      `<line x1="${LEFT}" x2="${LEFT}" y1="${TOP}" y2="${HEIGHT - BOTTOM}" stroke="#c9ced4"/>`,
    ];
    return `<svg viewBox="0 0 ${WIDTH} ${HEIGHT}" role="img" aria-label="${escapeHtml(unitName(panel.unit))} over time">${axes.join("")}${parts.join("")}</svg>`;
  }

  function showCharts() {
    const charts = byId("charts");
    state.panels.forEach((panel, index) => {
      let figure = charts.children[index];
      if (!figure || figure.dataset.unit !== panel.unit) {
        figure = document.createElement("figure");
        figure.className = "panel";
        figure.dataset.unit = panel.unit;
        charts.insertBefore(figure, charts.children[index] || null);
      }
      const drawn = [...panel.buckets.values()].filter((bucket) => bucket[OK] > 0).length;
      figure.dataset.points = String(drawn);
      figure.innerHTML = `<figcaption>${escapeHtml(unitName(panel.unit))}</figcaption>${panelSvg(panel)}`;
    });
    while (charts.children.length > state.panels.length) {
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
      showReading();
      showCounts();
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
    source.onerror = () => {
      setConnection(false);
      if (source.readyState === EventSource.CLOSED) {
        setTimeout(connect, 2000);
      }
    };
  }

  connect();
})();
