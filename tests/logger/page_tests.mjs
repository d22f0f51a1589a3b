// ohmlog --serve end to end: the page in Debian's chromium (headless, driven by playwright-core)
// against metersim, and the HTTP answers over plain sockets. Run by CTest inside
// tests/rig/sandbox: node --test tests/logger/page_tests.mjs (OHM_NATIVE_BIN names the build).
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { existsSync, mkdtempSync, rmSync } from "node:fs";
import net from "node:net";
import { tmpdir } from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const BIN = process.env.OHM_NATIVE_BIN;
const dir = mkdtempSync(path.join(tmpdir(), "ohm-page-"));
const started = [];

// A program of the build, and the first line it prints (on `stream`) that matches `pattern`.
function start(name, args, stream, pattern) {
  const child = spawn(path.join(BIN, name), args, { stdio: ["ignore", "pipe", "pipe"] });
  started.push(child);
  child.stdout.resume();
  let seen = "";
  return new Promise((resolve, reject) => {
    child[stream].on("data", (chunk) => {
      seen += chunk;
      const found = seen.match(pattern);
      if (found) {
        resolve({ child, found });
      }
    });
    child.on("exit", (code) => reject(new Error(`${name} ended (${code}): ${seen}`)));
  });
}

const meter = (args) => start("metersim", args, "stdout", /^(\/dev\/pts\/\d+)$/m);
const ohmlog = (args) => start("ohmlog", args, "stderr", /served at (http:\/\/[\d.]+:(\d+)\/)/);

function ended(child) {
  return new Promise((resolve) => child.exitCode !== null ? resolve(child.exitCode) : child.on("exit", resolve));
}

// What a raw request gets back until the server closes the connection.
function exchange(port, request) {
  return new Promise((resolve) => {
    const socket = net.connect(port, "127.0.0.1", () => socket.write(request));
    let answer = "";
    socket.on("data", (chunk) => (answer += chunk));
    socket.on("close", () => resolve(answer));
    socket.on("error", () => resolve(answer));
    setTimeout(() => socket.destroy(), 3000);
  });
}

const statusOf = async (port, request) => (await exchange(port, request)).split("\r\n")[0];
const get = (target) => `GET ${target} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n`;

let browser;
let sim;
let run;

before(async () => {
  browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  sim = await meter(["--link", path.join(dir, "meter"), "--reading", "DC -0.842   V",
    "--reading", "DC  0.445   V", "--reading", "OH   O.L MOhm", "--reading", "OH  1.234KOhm"]);
  run = await ohmlog(["-i", "0.3", "-o", path.join(dir, "run.csv"), "--serve", "127.0.0.1:0",
    path.join(dir, "meter")]);
});

after(async () => {
  await browser?.close();
  started.forEach((child) => child.kill());
  rmSync(dir, { recursive: true, force: true });
});

async function openPage() {
  const page = await browser.newPage({ viewport: { width: 390, height: 800 } });
  const errors = [];
  page.on("console", (message) => message.type() === "error" && errors.push(message.text()));
  page.on("pageerror", (error) => errors.push(error.message));
  await page.goto(run.found[1]);
  return { page, errors };
}

const textIs = (page, id, text) =>
  page.waitForFunction(([i, t]) => document.getElementById(i).textContent === t, [id, text]);
const points = (page, unit) =>
  page.$eval(`figure[data-unit="${unit}"]`, (figure) => Number(figure.dataset.points));

test("the page follows the meter, and a page opened later shows the run from its start", async () => {
  const { page, errors } = await openPage();
  await textIs(page, "number", "-0.842");
  await textIs(page, "number", "0.445");
  await textIs(page, "status", "overload");
  await textIs(page, "unit", "KOhm");
  await textIs(page, "si", "= 1234 Ohm");
  if (process.env.OHM_SCREENSHOT) { // the picture of the page in docs/
    await page.setViewportSize({ width: 900, height: 1000 });
    await textIs(page, "number", "0.445");
    await page.screenshot({ path: process.env.OHM_SCREENSHOT, fullPage: true });
  }
  const before = await points(page, "V");
  await page.waitForFunction((n) => Number(document.querySelector('figure[data-unit="V"]').dataset.points) > n, before);
  const later = await openPage();
  await textIs(later.page, "connection", "live");
  assert.ok(await points(later.page, "V") > before, "the earlier points are there");
  assert.ok(await later.page.$$eval("#charts figure", (figures) => figures.length) === 2);

  process.kill(sim.child.pid, "SIGUSR2"); // the line pulled out
  await textIs(page, "status", "port lost");
  process.kill(sim.child.pid, "SIGUSR2");
  await textIs(page, "status", "ok");
  assert.deepEqual([...errors, ...later.errors], []);
  await later.page.close();
  const rows = await exchange(Number(run.found[2]), get("/log.csv"));
  assert.match(rows, /^HTTP\/1.1 200 OK\r\n[^]*\r\n\r\ntime,elapsed_s,mode,reading,unit,value,base_unit,status,frame\r\n/);

  // The connection to ohmlog lost, and back when ohmlog serves on the same port again.
  run.child.kill("SIGINT");
  assert.equal(await ended(run.child), 0);
  await page.waitForSelector("#connection.lost");
  run = await ohmlog(["-i", "0.3", "--serve", `127.0.0.1:${run.found[2]}`, path.join(dir, "meter")]);
  await textIs(page, "connection", "live");
  await page.close();
});

test("requests that are refused, and a port already in use", async () => {
  const port = Number(run.found[2]);
  assert.equal(await statusOf(port, get("/nope")), "HTTP/1.1 404 Not Found");
  assert.equal(await statusOf(port, get("/..%2f..%2fetc%2fpasswd")), "HTTP/1.1 404 Not Found");
  assert.equal(await statusOf(port, get("/log.csv")), "HTTP/1.1 404 Not Found", "rows on stdout");
  assert.equal(await statusOf(port, "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"), "HTTP/1.1 405 Method Not Allowed");
  assert.equal(await statusOf(port, "GARBAGE\r\n\r\n"), "HTTP/1.1 400 Bad Request");
  assert.equal(await statusOf(port, `GET / HTTP/1.1\r\nX: ${"y".repeat(9000)}\r\n\r\n`), "HTTP/1.1 431 Request Header Fields Too Large");
  const head = await exchange(port, "HEAD / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  assert.match(head, /^HTTP\/1.1 200 OK\r\n[^]*Content-Length: \d+\r\n[^]*\r\n\r\n$/);
  const latest = JSON.parse((await exchange(port, get("/latest.json"))).split("\r\n\r\n")[1]);
  assert.ok(latest.latest.time && latest.stats.readings > 0 && latest.stats.units.length > 0);

  const csv = path.join(dir, "refused.csv");
  const refused = spawn(path.join(BIN, "ohmlog"), ["-o", csv, "--serve", `127.0.0.1:${port}`, path.join(dir, "meter")]);
  let said = "";
  refused.stderr.on("data", (chunk) => (said += chunk));
  assert.equal(await ended(refused), 1);
  assert.match(said, new RegExp(`^ohmlog: cannot serve on 127.0.0.1:${port}: .+\n$`));
  assert.equal(existsSync(csv), false);
});

test("at most 64 clients, and a client that stops reading is dropped", async () => {
  const events = get("/events");
  const readers = [];
  for (let i = 0; i < 64; ++i) {
    const reader = net.connect(Number(run.found[2]), "127.0.0.1", () => reader.write(events));
    reader.on("data", () => {});
    readers.push(reader);
  }
  await new Promise((resolve) => setTimeout(resolve, 500));
  assert.equal(await statusOf(Number(run.found[2]), events), "HTTP/1.1 503 Service Unavailable");
  readers.forEach((reader) => reader.destroy());

  // Rows as fast as a meter without pacing gives them fill any buffer soon.
  const fast = await meter(["--char-ms", "0", "--delay", "0"]);
  const flood = await ohmlog(["--serve", "127.0.0.1:0", fast.found[1]]);
  const port = Number(flood.found[2]);
  const stalled = net.connect(port, "127.0.0.1", () => {
    stalled.write(events);
    stalled.pause();
  });
  let clients = 0;
  for (let tries = 0; clients !== 1 && tries < 100; ++tries) {
    await new Promise((resolve) => setTimeout(resolve, 200));
    clients = JSON.parse((await exchange(port, get("/latest.json"))).split("\r\n\r\n")[1]).clients;
  }
  assert.equal(clients, 1, "only the asking client is left");
  stalled.destroy();
});
