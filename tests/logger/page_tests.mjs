// ohmlog --serve end to end: the page in Debian's chromium (headless, driven by playwright-core)
// against metersim, and the HTTP answers over plain sockets. Run by CTest inside
// tests/rig/sandbox --network: node --test tests/logger/page_tests.mjs (OHM_NATIVE_BIN names the
// build; under ThreadSanitizer, a race ends a program with status 66 and fails the run).
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import net from "node:net";
import { hostname, tmpdir } from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const BIN = process.env.OHM_NATIVE_BIN;
const dir = mkdtempSync(path.join(tmpdir(), "ohm-page-"));
const started = [];
const RACE = 66; // TSAN_OPTIONS exitcode
const races = [];

// A program of the build, and the first line it prints (on `stream`) that matches `pattern`.
function start(name, args, stream, pattern) {
  const child = spawn(path.join(BIN, name), args, { stdio: ["ignore", "pipe", "pipe"] });
  started.push(child);
  child.stdout.resume();
  let seen = "";
  child.said = () => seen;
  return new Promise((resolve, reject) => {
    child[stream].on("data", (chunk) => {
      seen += chunk;
      const found = seen.match(pattern);
      if (found) {
        resolve({ child, found });
      }
    });
    if (stream !== "stderr") {
      child.stderr.on("data", (chunk) => (seen += chunk));
    }
    child.on("exit", (code) => {
      if (code === RACE) {
        races.push(seen);
      }
      reject(new Error(`${name} ended (${code}): ${seen}`));
    });
  });
}

const meter = (args) => start("metersim", args, "stdout", /^(\/dev\/pts\/\d+)$/m);
const ohmlog = (args) => start("ohmlog", args, "stderr", /served at (http:\/\/[\w.]+:(\d+)\/)\n/);

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// A CSV as ohmlog writes it: `count` rows `stepS` apart from `fromMs`, mode to base unit given.
const writeCsv = (name, count, fromMs, stepS, fields) => writeFileSync(path.join(dir, name),
  ["time,elapsed_s,mode,reading,unit,value,base_unit,status,frame", ...Array.from({ length: count }, (_, i) =>
    `${new Date(fromMs + i * stepS * 1000).toISOString()},${(i * stepS).toFixed(3)},${fields(i)},ok,x`)].join("\r\n") + "\r\n");

function ended(child) {
  return new Promise((resolve) => child.exitCode !== null || child.signalCode !== null ? resolve(child.exitCode)
    : child.on("exit", resolve));
}

// What a raw request gets back until the server closes the connection.
function exchange(port, request, address = "127.0.0.1") {
  return new Promise((resolve) => {
    const socket = net.connect(port, address, () => socket.write(request));
    let answer = "";
    socket.on("data", (chunk) => (answer += chunk));
    socket.on("close", () => resolve(answer));
    socket.on("error", () => resolve(answer));
    setTimeout(() => socket.destroy(), 3000);
  });
}

const statusOf = async (port, request, address) => (await exchange(port, request, address)).split("\r\n")[0];
const get = (target, host = "127.0.0.1") =>
  `GET ${target} HTTP/1.1\r\nHost: ${host}\r\nConnection: close\r\n\r\n`;
const bodyOf = (answer) => answer.split("\r\n\r\n")[1];
// A connection kept open once its request is answered.
const keptOpen = (port, target) => new Promise((resolve) => {
  const socket = net.connect(port, "127.0.0.1", () => socket.write(get(target).replace("close", "keep-alive")));
  socket.once("data", () => resolve(socket));
});

let browser;
let sim;
let run;
// A run whose file holds two days of six units before it, and clients of it that the last
// test looks at: one that reads its events, one that takes none of them, and one idle between
// its requests, there first: when it goes, whether one that asked nothing had gone, and the
// count of clients.
let days, reader, stalledReader, idleGone;

before(async () => {
  const units = ["DC,-0.842,V,-0.842,V", "OH,1.234,KOhm,1234,Ohm", "CA,47.00,nF,0.000000047,F",
    "FR,1.000,kHz,1000,Hz", "TE,0023,C,23,degC", "DC,0167,mA,0.167,A"];
  writeCsv("days.csv", 6000, Date.now() - 2.2 * 86400e3, 31, (i) => units[i % 6]);
  days = await ohmlog(["-i", "0.5", "-o", path.join(dir, "days.csv"), "--append", "--plot", path.join(dir, "days.svg"),
    "--serve", "127.0.0.1:0", (await meter([])).found[1]]);
  const port = Number(days.found[2]);
  const idle = await keptOpen(port, "/latest.json");
  let silentGone = false;
  idleGone = new Promise((resolve) => idle.on("close", async () =>
    resolve([silentGone, JSON.parse(bodyOf(await exchange(port, get("/latest.json")))).clients])));
  browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  sim = await meter(["--link", path.join(dir, "meter"), "--reading", "DC -0.842   V",
    "--reading", "DC  0.445   V", "--reading", "OH   O.L MOhm", "--reading", "OH  1.234KOhm"]);
  // An earlier run in the file, appended to, with a plot: the page charts and counts its rows
  // with this run's.
  const earlier = Date.now() - 30000;
  writeFileSync(path.join(dir, "run.csv"), "time,elapsed_s,mode,reading,unit,value,base_unit,status,frame\r\n" +
    [0, 1, 2].map((i) => `${new Date(earlier + i * 1000).toISOString()},${i}.000,DC,1.502,V,1.502,V,ok,DC  1.502   V\r\n`).join(""));
  run = await ohmlog(["-i", "0.3", "-o", path.join(dir, "run.csv"), "--append", "--plot", path.join(dir, "run.svg"),
    "--serve", "127.0.0.1:0", path.join(dir, "meter")]);
  stalledReader = net.connect(port, "127.0.0.1", () => stalledReader.write(get("/events"))).pause();
  reader = net.connect(port, "127.0.0.1", () => reader.write(get("/events")));
  reader.heard = "";
  reader.on("data", (chunk) => (reader.heard += chunk)).on("close", () => (reader.gone = true));
  net.connect(port, "127.0.0.1").on("close", () => (silentGone = true));
});

after(async () => {
  await browser?.close();
  started.forEach((child) => child.kill());
  await Promise.all(started.map(ended));
  rmSync(dir, { recursive: true, force: true });
  assert.deepEqual(races, [], "no program saw a data race");
});

const PHONE = 375, DESKTOP = 1280;

// The page at a phone's width (in a time zone if named); `sources` keeps each EventSource it makes.
async function openPage(url = run.found[1], width = PHONE, timezoneId = undefined) {
  const page = await browser.newPage({ viewport: { width, height: 800 }, timezoneId });
  const errors = [];
  page.on("console", (message) => message.type() === "error" && errors.push(message.text()));
  page.on("pageerror", (error) => errors.push(error.message));
  await page.addInitScript(() => {
    const Original = window.EventSource;
    window.sources = [];
    window.EventSource = class extends Original {
      constructor(...args) {
        super(...args);
        window.sources.push(this);
      }
    };
  });
  await page.goto(url);
  return { page, errors };
}

const textIs = (page, id, text) =>
  page.waitForFunction(([i, t]) => document.getElementById(i).textContent === t, [id, text]);
const textMatches = (page, id, pattern) => page.waitForFunction(([i, p]) =>
  new RegExp(p).test(document.getElementById(i).textContent), [id, pattern.source]);
const textOf = (page, id) => page.$eval(`#${id}`, (element) => element.textContent);

// Whether the page scrolls sideways at each width, and every chart label that does not fit its
// chart; the value labels as written.
async function layoutAt(page, widths) {
  const seen = [];
  for (const width of widths) {
    await page.setViewportSize({ width, height: 800 });
    await page.evaluate(() => new Promise((drawn) => requestAnimationFrame(() => requestAnimationFrame(drawn))));
    seen.push(await page.evaluate((w) => ({
      width: w,
      sideways: document.documentElement.scrollWidth > window.innerWidth,
      cut: [...document.querySelectorAll("#charts svg")].flatMap((svg) =>
        [...svg.querySelectorAll("text")].filter((text, at, all) => {
          const box = text.getBBox();
          const next = all[at + 1]?.getBBox();
          const overlaps = text.classList.contains("tick") && next && all[at + 1].classList.contains("tick") &&
            box.x + box.width > next.x;
          return box.x < 0 || box.x + box.width > svg.viewBox.baseVal.width || overlaps;
        }).map((text) => text.textContent)),
      values: [...document.querySelectorAll("#charts svg text.value")].map((text) => text.textContent),
    }), width));
  }
  return seen;
}
const points = (page, unit) =>
  page.$eval(`figure[data-unit="${unit}"]`, (figure) => Number(figure.dataset.points));

test("the page follows the meter, and a page opened later shows the run from its start", async () => {
  const { page, errors } = await openPage();
  await textIs(page, "number", "-0.842");
  await textIs(page, "number", "0.445");
  await textIs(page, "status", "overload");
  await textIs(page, "unit", "KOhm");
  await textIs(page, "si", "= 1234 Ohm");
  // The title: the meter, by the last part of its name, and its reading as the display shows it.
  await page.waitForFunction(() => document.title ===
    `meter ${document.getElementById("number").textContent} ${document.getElementById("unit").textContent} \u2013 ohmlog`);
  if (process.env.OHM_SCREENSHOT) { // the picture of the page in docs/
    await page.setViewportSize({ width: 900, height: 1000 });
    await textIs(page, "number", "0.445");
    await page.screenshot({ path: process.env.OHM_SCREENSHOT, fullPage: true });
  }
  const before = await points(page, "V");
  await page.waitForFunction((n) => Number(document.querySelector('figure[data-unit="V"]').dataset.points) > n, before);
  const later = await openPage(run.found[1], DESKTOP);
  await textIs(later.page, "connection", "live");
  await textMatches(later.page, "age", /^last reading \d+ s ago$/);
  assert.ok(await points(later.page, "V") > before, "the earlier points are there");
  assert.ok(await later.page.$$eval("#charts figure", (figures) => figures.length) === 2);

  // The charts' labels fit them, their values written as the plot writes them, on a phone and
  // on a desktop; the count is the table's, the earlier run's rows included.
  for (const seen of [...await layoutAt(page, [PHONE]), ...await layoutAt(later.page, [DESKTOP])]) {
    assert.deepEqual(seen.cut, [], `${seen.width} px`);
    assert.ok(seen.values.length >= 4 && seen.values.every((text) => /^-?\d+(\.\d+)? [munk]?(V|Ohm)$/.test(text)) &&
      seen.values.some((text) => / V$/.test(text)) && seen.values.some((text) => / kOhm$/.test(text)), `${seen.values}`);
  }
  const counted = await page.evaluate(() => [document.getElementById("count").textContent,
    [...document.querySelectorAll("#units tbody tr")].reduce((sum, row) => sum + Number(row.cells[1].textContent), 0)]);
  assert.equal(counted[0], `${counted[1]} readings`);
  assert.match(await textOf(page, "units"), /1\.502 V/, "the earlier rows are in");

  process.kill(sim.child.pid, "SIGUSR2"); // the line pulled out
  await textIs(page, "status", "port lost");
  process.kill(sim.child.pid, "SIGUSR2");
  await textIs(page, "status", "ok");
  await textIs(page, "losses", ", port lost 1 time");
  assert.deepEqual([...errors, ...later.errors], []);
  await later.page.close();
  const rows = await exchange(Number(run.found[2]), get("/log.csv"));
  assert.match(rows, /^HTTP\/1.1 200 OK\r\n[^]*\r\n\r\ntime,elapsed_s,mode,reading,unit,value,base_unit,status,frame\r\n/);

  // ohmlog gone without a word, and back when it serves on the same port again.
  run.child.kill("SIGKILL");
  await page.waitForSelector("#connection.lost");
  run = await ohmlog(["-i", "0.3", "--serve", `127.0.0.1:${run.found[2]}`, path.join(dir, "meter")]);
  await textIs(page, "connection", "live");
  await page.close();
});

let stalled; // the two meters' run, stopped and then ended, seen by its page

// Long names as Linux gives them (/dev/serial/by-id/...), for a port and for a meter.
const LONG_NAME = "usb-Prolific_Technology_Inc._USB-Serial_Controller_D-if00-port0";
const LONG_METER = "usb-FTDI_FT232R_USB_UART_A9M2KQ7B-if00-port0";

test("two meters: a card each, their power, charts on one axis of clock time, one meter in the big display", async () => {
  const volts = await meter(["--link", path.join(dir, LONG_NAME), "--reading", "DC  12.00   V"]);
  const amperes = await meter(["--reading", "DC  0.500   A"]);
  // Added to an earlier run's file: its rows are charted and counted, not in the run's summary.
  const at = new Date(Date.now() - 30000).toISOString();
  writeFileSync(path.join(dir, "two.csv"), "time,elapsed_s,mode,reading,unit,value,base_unit,status,frame,meter\r\n" +
    `${at},0.000,DC,12.00,V,12,V,ok,DC  12.00   V,U\r\n${at},0.000,DC,0.500,A,0.5,A,ok,DC  0.500   A,${LONG_METER}\r\n`);
  const two = await ohmlog(["-i", "0.3", "-o", path.join(dir, "two.csv"), "--append", "--plot", path.join(dir, "two.svg"),
    "--power", `U,${LONG_METER}`, "--alarm", "P>5W", "--serve", "127.0.0.1:0",
    "--mqtt", "mqtt://127.0.0.1:1", "--mqtt-node", "bench-7",
    `U=${path.join(dir, LONG_NAME)}`, `${LONG_METER}=${amperes.found[1]}`]);
  const { page, errors } = await openPage(two.found[1], DESKTOP);
  await page.waitForFunction(() => document.querySelectorAll("#meters .card").length === 2);
  await textIs(page, "watts", "6 W");
  await textIs(page, "alarms", "alarm P>5W raised on power");
  const title = `bench-7: U 12.00 V, ${LONG_METER} 0.500 A \u2013 ohmlog`;
  await page.waitForFunction((t) => document.title === t, title);
  await page.waitForFunction(() => /^\d+(\.\d+)? [mu]?Wh$/.test(document.getElementById("energy").textContent) &&
    document.getElementById("energy").textContent !== "0 Wh");
  const figures = await page.$$eval("#charts figure", (all) => all.map((f) => `${f.dataset.meter}:${f.dataset.unit}`));
  assert.deepEqual(figures, ["U:V", `${LONG_METER}:A`, "power:W"]);
  const cards = await page.$$eval("#meters .card", (all) => all.map((card) => card.textContent));
  assert.match(cards[0], /^U .*12\.00.*V.*ok/);
  assert.match(cards[1], /charge \d/);
  await page.waitForFunction(() => [...document.querySelectorAll("svg text.tick")]
    .some((tick) => /^\d\d:\d\d:\d\d/.test(tick.textContent)));
  const latest = JSON.parse(bodyOf(await exchange(Number(two.found[2]), get("/latest.json"))));
  assert.deepEqual(latest.meters.map((m) => m.name), ["U", LONG_METER]);
  assert.equal(latest.latest.meter === "U" || latest.latest.meter === LONG_METER, true);
  assert.equal(latest.power.volts, "U");
  assert.ok(latest.power.energy_wh > 0 && latest.meters[1].charge_ah > 0);
  assert.deepEqual(latest.alarms.map((alarm) => [alarm.rule, alarm.active]), [["P>5W", true]]);

  // The big display keeps to the first meter, and nothing a screen reader announces changes
  // while rows come; the other meter when chosen.
  const watched = await page.evaluate(() => new Promise((done) => {
    let announced = 0;
    const units = new Set([document.getElementById("unit").textContent]);
    const observer = new MutationObserver((records) => {
      for (const record of records) {
        const node = record.target.nodeType === Node.ELEMENT_NODE ? record.target : record.target.parentElement;
        announced += node.closest("[aria-live], [role=status], [role=alert], [role=log]") ? 1 : 0;
      }
      units.add(document.getElementById("unit").textContent);
    });
    observer.observe(document.body, { subtree: true, childList: true, characterData: true, attributes: true });
    setTimeout(() => done({ announced, units: [...units] }), 1000);
  }));
  assert.deepEqual(watched, { announced: 0, units: ["V"] });

  // ohmlog stalled (a suspended laptop, a dead path): the page says so within a few seconds,
  // which the tests after this one take; meanwhile the page is looked at as it is.
  process.kill(two.child.pid, "SIGSTOP");
  stalled = (async () => {
    await textMatches(page, "connection", /^no data for \d+ s$/);
    assert.equal(await textOf(page, "announce"), "no data from ohmlog");
    process.kill(two.child.pid, "SIGCONT");
    await textIs(page, "connection", "live");
    // The end of the run: its summary, and no try to connect again.
    two.child.kill("SIGINT");
    assert.equal(await ended(two.child), 0);
    await textMatches(page, "connection", /^the run has ended: /);
    assert.equal(await textOf(page, "connection"), `the run has ended: ${two.child.said().match(/ohmlog: (\d+ readings in \d+\.\d s)/)[1]}`);
    assert.match(await page.title(), /^bench-7: U .+, usb-FTDI\S+ .+ \(ended\) \u2013 ohmlog$/);
    assert.deepEqual(errors.splice(0), []);
    // Then a new run is looked for, one request every few seconds, not a flood of them; the
    // next run on the port is shown, said to be a new one.
    const port = Number(two.found[2]);
    let tries = 0;
    const counting = net.createServer((socket) => { ++tries; socket.destroy(); });
    await new Promise((resolve) => counting.listen(port, "127.0.0.1", resolve));
    await new Promise((resolve) => counting.once("connection", resolve));
    await sleep(7000);
    await new Promise((resolve) => counting.close(resolve));
    assert.ok(tries <= 2, `${tries} tries in 7 s after the first`);
    assert.equal(await textOf(page, "age"), "waiting for a new run");
    const next = await ohmlog(["-i", "0.3", "--serve", `127.0.0.1:${port}`, path.join(dir, LONG_NAME)]);
    await textMatches(page, "run", /^a new run, started at /);
    await textIs(page, "connection", "live");
    await page.waitForFunction((t) => document.title === t, `${LONG_NAME} 12.00 V \u2013 ohmlog`);
    assert.match(await textOf(page, "announce"), /^a new run, started at /);
    next.child.kill("SIGINT");
    assert.equal(await ended(next.child), 0);
    assert.deepEqual(errors.filter((error) => !/^Failed to load resource: net::ERR_/.test(error)), [], "the tries' failures alone");
    await page.close();
  })();
  stalled.catch(() => {}); // told in the last test
  await page.selectOption("#chosen", LONG_METER);
  await textIs(page, "unit", "A");

  // No sideways scrolling on phones, the long names wrapped.
  for (const seen of await layoutAt(page, [320, 360, PHONE, DESKTOP])) {
    assert.deepEqual([seen.sideways, seen.cut], [false, []], `${seen.width} px`);
  }
});

test("requests that are refused, and a port already in use", async () => {
  const port = Number(run.found[2]);
  assert.equal(await statusOf(port, get("/nope")), "HTTP/1.1 404 Not Found");
  assert.equal(await statusOf(port, get("/..%2f..%2fetc%2fpasswd")), "HTTP/1.1 404 Not Found");
  assert.equal(await statusOf(port, get("/log.csv")), "HTTP/1.1 404 Not Found", "rows on stdout");
  assert.equal(await statusOf(port, "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 5\r\n\r\nhello"), "HTTP/1.1 405 Method Not Allowed");
  // A page elsewhere that points a name of its own at this machine gets nothing (DNS rebinding).
  for (const target of ["/latest.json", "/events", "/log.csv", "/"]) {
    const answer = await exchange(port, get(target, "rebound.example:" + port));
    assert.match(answer, /^HTTP\/1.1 403 Forbidden\r\n[^]*\r\n\r\nForbidden\n$/);
  }
  for (const host of ["localhost:1", "LOCALHOST", "127.3.2.1", "[::1]:8080", `127.0.0.1:${port}`, hostname()]) {
    assert.equal(await statusOf(port, get("/latest.json?at=once", host)), "HTTP/1.1 200 OK", host);
  }
  assert.equal(await statusOf(port, "GARBAGE\r\n\r\n"), "HTTP/1.1 400 Bad Request");
  assert.equal(await statusOf(port, `GET / HTTP/1.1\r\nX: ${"y".repeat(9000)}\r\n\r\n`), "HTTP/1.1 431 Request Header Fields Too Large");
  const head = await exchange(port, "HEAD / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  assert.match(head, new RegExp(`^HTTP/1.1 200 OK\r\n[^]*Content-Length: ${Buffer.byteLength(bodyOf(await exchange(port, get("/"))))}\r\n[^]*\r\n\r\n$`));
  const latest = JSON.parse((await exchange(port, get("/latest.json"))).split("\r\n\r\n")[1]);
  assert.ok(latest.latest.time && latest.stats.readings > 0 && latest.stats.units.length > 0);

  const csv = path.join(dir, "refused.csv");
  const refusal = async (args) => {
    const refused = spawn(path.join(BIN, "ohmlog"), [...args, path.join(dir, "meter")]);
    let said = "";
    refused.stderr.on("data", (chunk) => (said += chunk));
    assert.equal(await ended(refused), 1);
    return said;
  };
  assert.match(await refusal(["-o", csv, "--serve", `127.0.0.1:${port}`]),
    new RegExp(`^ohmlog: cannot serve on 127.0.0.1:${port}: .+\n$`));
  assert.equal(existsSync(csv), false);
  writeFileSync(csv, "kept\r\n");
  assert.equal(await refusal(["-o", csv, "--serve", "127.0.0.1:0"]),
    `ohmlog: ${csv} exists; --append adds to it, --force replaces it\n`, "nothing said of a run not served");
  assert.match(await refusal(["--serve", "meter.invalid:8080"]), /^ohmlog: cannot serve on meter.invalid: .+\n$/);
});

// The test's network (tests/rig/sandbox --network) gets an address besides its loopback, as a
// machine on a network has.
test("a server on every address shows where it is reached and who can see it; by default only this machine", async () => {
  execFileSync("ip", ["address", "add", "192.0.2.7/32", "dev", "lo"]);
  const reached = (port, host) => new Promise((resolve) => {
    const socket = net.connect(port, host, () => {
      resolve(true);
      socket.destroy();
    });
    socket.on("error", () => resolve(false));
  });
  const serving = async (serve, said) => {
    const own = await meter([]);
    const log = await start("ohmlog", ["-n", "3", "--serve", serve, own.found[1]], "stderr", said);
    return { ...log, port: Number(log.found[1]) };
  };
  const [open, local, named] = await Promise.all([
    serving("0.0.0.0:0", /served at http:\/\/192\.0\.2\.7:(\d+)\/\nohmlog: anyone who can reach this machine on port \1 can see the readings \(read-only\)\n/),
    serving("0", /served at http:\/\/127\.0\.0\.1:(\d+)\/\n/),
    serving("localhost:0", /served at http:\/\/localhost:(\d+)\/\n/)]);
  assert.equal(await statusOf(open.port, get("/latest.json", "bench-7.lab:80")), "HTTP/1.1 200 OK");
  assert.deepEqual([await reached(local.port, "127.0.0.1"), await reached(local.port, "192.0.2.7")], [true, false]);
  assert.equal(await statusOf(named.port, get("/latest.json", "localhost")), "HTTP/1.1 200 OK");
  assert.equal(await statusOf(named.port, get("/latest.json", "rebound.example")), "HTTP/1.1 403 Forbidden");
  for (const { child } of [open, local, named]) {
    assert.equal(await ended(child), 0);
  }
  assert.doesNotMatch(local.child.said() + named.child.said(), /anyone/);
  assert.match(local.child.said(), /\nohmlog: only this machine can reach it: 127\.0\.0\.1 is a loopback address/);
  assert.doesNotMatch(open.child.said(), /only this machine/);

  // The machine's own name, as Debian maps it to 127.0.1.1: the URL printed works; another name
  // is still refused.
  const host = hostname();
  writeFileSync(path.join(dir, "hosts"), `127.0.0.1 localhost\n127.0.1.1 ${host}\n`);
  execFileSync("mount", ["--bind", path.join(dir, "hosts"), "/etc/hosts"]);
  const own = await start("ohmlog", ["-i", "0.3", "--serve", `${host}:0`, (await meter([])).found[1]], "stderr",
    new RegExp(`served at http://${host.replaceAll(".", "\\.")}:(\\d+)/\nohmlog: only this machine can reach it: ` +
      `${host.replaceAll(".", "\\.")} \\(127\\.0\\.1\\.1\\) is`));
  for (const [asking, status] of [[`${host}:${own.found[1]}`, "200 OK"], ["rebound.example", "403 Forbidden"]]) {
    assert.equal(await statusOf(Number(own.found[1]), get("/", asking), "127.0.1.1"), `HTTP/1.1 ${status}`);
  }
  own.child.kill("SIGINT");
});

// The page's clock over days, as the plot's: the date where the day changes (alone at
// midnight), every later tick dated where the times would repeat, and only then; no two ticks
// alike. Over midnight, 20 hours seen where midnight was 6 hours ago, no time repeats.
test("the time axis of a run of two days, and of one over midnight, tells the days apart, on a phone and on a desktop", async () => {
  writeCsv("night.csv", 241, Date.now() - 20 * 3600e3, 300, () => "DC,1.502,V,1.502,V");
  const night = await ohmlog(["-o", path.join(dir, "night.csv"), "--append", "--serve", "127.0.0.1:0", (await meter([])).found[1]]);
  const offset = (6 - new Date().getUTCHours() + 35) % 24 - 11;
  for (const [served, zone] of [[days], [night, `Etc/GMT${offset > 0 ? "-" : "+"}${Math.abs(offset)}`]]) {
    for (const width of [PHONE, DESKTOP]) {
      const { page, errors } = await openPage(served.found[1], width, zone);
      await page.waitForSelector("#charts svg text.tick");
      const wrong = await page.evaluate(() => [...document.querySelectorAll("#charts svg")].flatMap((svg) => {
        const ticks = [...svg.querySelectorAll("text.tick")].map((text) => [text.textContent, new Date(text.dataset.time)]);
        const day = (date) => date.toLocaleDateString([], { month: "short", day: "numeric" });
        const repeats = new Set(ticks.map(([, date]) => date.toTimeString().slice(0, 5))).size < ticks.length;
        return ticks.filter(([text, date], k) => {
          const newDay = k > 0 && day(date) !== day(ticks[k - 1][1]), dated = text.startsWith(day(date));
          return ticks.findIndex(([other]) => other === text) !== k || newDay && !dated || k > 0 && date.toTimeString() < "00:00:01" &&
            text !== day(date) || dated && /\d:\d\d/.test(text) && !newDay && !(repeats && day(date) !== day(ticks[0][1]));
        }).map(([text, date]) => `${text} at ${date.toISOString()}`);
      }));
      assert.deepEqual(wrong, [], `${width} px ${zone}`);
      assert.ok(served === days || (await page.$$eval("text.tick", (all) => all.map((text) => text.textContent))).some(
        (text) => /^\w+ \d+$/.test(text)), "midnight within the run");
      const [seen] = await layoutAt(page, [width]);
      assert.deepEqual([seen.sideways, seen.cut], [false, []], `${width} px`);
      assert.deepEqual(errors, []);
      await page.close();
    }
  }
  night.child.kill("SIGINT");
});

// The plot's heading measured as Chromium draws it: the title, the count and the span, the
// legend's marks and words, none over another and all within the plot, whatever the span.
test("the plot's heading never runs into its legend, and says the span in days, hours and minutes", async () => {
  const page = await browser.newPage();
  for (const [count, step, said] of [[100000, 2592000 / 99999, "100000 readings over 30 d 0 h 0 min"], [2, 4.7, "2 readings over 4.7 s"], [1, 1, "1 reading over 0.0 s"]]) {
    writeCsv("span.csv", count, Date.UTC(2026, 11, 1), step, () => "DC,1.502,V,1.502,V");
    execFileSync(path.join(BIN, "ohmlog"), ["--from", path.join(dir, "span.csv"), "--plot", path.join(dir, "span.svg"), "--force"],
      { stdio: "ignore" });
    await page.goto(`file://${path.join(dir, "span.svg")}`);
    const marks = await page.$$eval(":root > text, :root > line", (all) =>
      all.map((mark) => ({ text: mark.textContent, ...mark.getBoundingClientRect().toJSON() })));
    const overlaps = marks.flatMap((a, k) => marks.slice(k + 1).filter((b) => a.right > b.left && b.right > a.left &&
      a.bottom > b.top && b.bottom > a.top).map((b) => `"${a.text}" on "${b.text}"`));
    assert.deepEqual([overlaps, marks.every((mark) => mark.left >= 0 && mark.right <= 900)], [[], true], said);
    assert.ok(marks.some((mark) => mark.text === said), `${said}: ${marks.map((mark) => mark.text)}`);
  }
  await page.close();
});

// The server starts with the whole run: with clients from the first moment, an appended file of
// 60,000 rows is in the chart before any of them is answered.
test("an appended run is served only once its earlier rows are in", async () => {
  const csv = path.join(dir, "long.csv");
  const rows = ["time,elapsed_s,mode,reading,unit,value,base_unit,status,frame"];
  for (let i = 0; i < 60000; ++i) {
    const time = new Date(Date.UTC(2026, 11, 1) + i * 250).toISOString();
    rows.push(`${time},${(i * 0.25).toFixed(3)},DC,1.502,V,1.502,V,ok,DC  1.502   V`);
  }
  writeFileSync(csv, rows.join("\r\n") + "\r\n");
  const own = await meter([]);
  const port = await new Promise((resolve) => {
    const probe = net.createServer().listen(0, "127.0.0.1", () => {
      const { port: free } = probe.address();
      probe.close(() => resolve(free));
    });
  });
  const log = start("ohmlog", ["-n", "3", "-i", "0.3", "-o", csv, "--append", "--plot",
    path.join(dir, "long.svg"), "--serve", `127.0.0.1:${port}`, own.found[1]], "stderr", /served at/);
  const seen = [];
  const asking = [];
  for (let i = 0; i < 20; ++i) {
    asking.push((async () => {
      for (let tries = 0; tries < 200; ++tries) {
        const answer = await exchange(port, get(i % 2 ? "/latest.json" : "/events"));
        const data = i % 2 ? bodyOf(answer) : answer.match(/\r\n\r\nretry: 1000\n\nevent: snapshot\ndata: (.*)\n/)?.[1];
        if (data) {
          seen.push(i % 2 ? JSON.parse(data).stats.units[0]?.readings : JSON.parse(data).seq);
          return;
        }
        await new Promise((resolve) => setTimeout(resolve, 5));
      }
    })());
  }
  const { child } = await log;
  await Promise.all(asking);
  assert.equal(await ended(child), 0);
  assert.equal(seen.length, 20);
  assert.ok(seen.every((count) => count >= 60000), `${seen}`);
  assert.ok(readFileSync(path.join(dir, "long.svg"), "utf8").includes(">60003 readings over"));
});

test("at most 64 clients, scripts have slots of their own, and a client that stops reading is dropped", async () => {
  const events = get("/events");
  const served = Number(run.found[2]);
  // Clients of the page that stop reading (phones asleep, tabs in the background) hold every
  // slot of the page; Prometheus and scripts are still answered, and a scraper's connection
  // held open meanwhile takes none of the page's slots.
  const scraper = await keptOpen(served, "/metrics");
  const stopped = [];
  for (let i = 0; i < 64; ++i) {
    const reader = net.connect(served, "127.0.0.1", () => {
      reader.write(events);
      reader.pause();
    });
    stopped.push(reader);
  }
  let latest;
  for (let tries = 0; latest?.clients !== 66 && tries < 250; ++tries) {
    await new Promise((resolve) => setTimeout(resolve, 20));
    const answer = await exchange(served, get("/latest.json"));
    latest = answer.startsWith("HTTP/1.1 200") ? JSON.parse(bodyOf(answer)) : undefined;
  }
  assert.equal(latest?.clients, 66, "the 64, the scraper and the script asking");
  // Nor do connections that ask nothing; past 256 of them the oldest go, the last is served.
  const quiet = [];
  for (let i = 0; i < 260; ++i) {
    quiet.push(await new Promise((resolve) => {
      const socket = net.connect(served, "127.0.0.1", () => resolve(socket)).on("error", () => {});
      socket.shut = new Promise((shut) => socket.on("close", () => shut("closed")));
    }));
  }
  assert.equal(JSON.parse(bodyOf(await exchange(served, get("/latest.json")))).clients, 66, "none of them");
  const answer = (socket) => Promise.race([socket.shut, new Promise((resolve) =>
    socket.on("data", (chunk) => resolve(String(chunk).split("\r\n")[0])).write(get("/latest.json")))]);
  assert.deepEqual([await answer(quiet[0]), await answer(quiet[259])], ["closed", "HTTP/1.1 200 OK"]);
  quiet.forEach((socket) => socket.destroy());
  assert.equal(await statusOf(served, events), "HTTP/1.1 503 Service Unavailable");
  assert.equal(await statusOf(served, get("/")), "HTTP/1.1 503 Service Unavailable");
  assert.equal(await statusOf(served, get("/metrics")), "HTTP/1.1 200 OK");
  // Four of their own, and no more.
  const scrapers = [scraper, ...await Promise.all([1, 2, 3].map(() => keptOpen(served, "/metrics")))];
  assert.equal(await statusOf(served, get("/metrics")), "HTTP/1.1 503 Service Unavailable");
  [...stopped, ...scrapers].forEach((socket) => socket.destroy());

  // Rows as fast as a meter without pacing gives them, each with the statistics of many units:
  // a client that reads a little twice a second falls a megabyte behind, one that reads stays.
  const units = ["DC -0.842   V", "OH  1.234KOhm", "CA  47.00  nF", "FR  1.000 kHz", "TE  0023    C",
    "DC  0167   mA", "    0123     "];
  const fast = await meter(["--char-ms", "0", "--delay", "0", ...units.flatMap((frame) => ["--reading", frame])]);
  const flood = await ohmlog(["--serve", "127.0.0.1:0", fast.found[1]]);
  const port = Number(flood.found[2]);
  const slow = net.connect(port, "127.0.0.1", () => slow.write(events));
  slow.on("data", () => { slow.pause(); setTimeout(() => slow.resume(), 500); });
  const quick = net.connect(port, "127.0.0.1", () => quick.write(events)).on("data", () => {});
  let clients = 0;
  for (let tries = 0; clients !== 2 && tries < 100; ++tries) {
    await new Promise((resolve) => setTimeout(resolve, 200));
    clients = JSON.parse((await exchange(port, get("/latest.json"))).split("\r\n\r\n")[1]).clients;
  }
  assert.equal(clients, 2, "the reader and the asking client are left");
  [slow, quick].forEach((socket) => socket.destroy());
});

test("a stalled ohmlog is told from a quiet meter, and the end of a run from a lost connection", async () => {
  assert.ok(stalled, "the two meters' run came that far");
  await stalled;
});

// The client of /events that took none of its snapshot (some 200 KB; the run's events would
// take minutes to fill its queue) and the connection that asked nothing are closed before the
// one idle between its requests, which was there before them; the client that reads is served
// still, a heartbeat every two seconds.
test("a client that takes nothing of its events, and one that asks nothing, are closed", { timeout: 120000 }, async () => {
  assert.deepEqual(await idleGone, [true, 2], "when the idle one went: the silent one gone, the reader and the asking client left");
  assert.ok(!reader.gone && reader.heard.match(/event: heartbeat/g).length >= 4, "the reader's heartbeats");
  [stalledReader, reader].forEach((socket) => socket.destroy());
});
