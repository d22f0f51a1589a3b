// ohmlog's publishers end to end: /metrics checked by promtool and scraped by a real Prometheus
// server, and MQTT through a real mosquitto broker watched by mosquitto_sub, with the broker
// away at the start, killed and started again. Every server here listens on 127.0.0.1. Run by
// CTest inside tests/rig/sandbox --network: node --test tests/logger/publish_tests.mjs
// (OHM_NATIVE_BIN names the build; under ThreadSanitizer a race ends a program with status 66).
import { after, test } from "node:test";
import assert from "node:assert/strict";
import { spawn, spawnSync } from "node:child_process";
import { mkdtempSync, rmSync, writeFileSync } from "node:fs";
import http from "node:http";
import net from "node:net";
import { tmpdir } from "node:os";
import path from "node:path";

const BIN = process.env.OHM_NATIVE_BIN;
const dir = mkdtempSync(path.join(tmpdir(), "ohm-publish-"));
const started = [];
const races = [];

after(() => {
  started.forEach((child) => child.exitCode === null && child.kill("SIGKILL"));
  rmSync(dir, { recursive: true, force: true });
  assert.deepEqual(races, [], "no program saw a data race");
});

// A program, its output gathered as it comes.
function run(program, args, env = {}) {
  const child = spawn(program, args, { env: { ...process.env, ...env }, stdio: ["ignore", "pipe", "pipe"] });
  started.push(child);
  child.out = "";
  child.err = "";
  child.stdout.on("data", (chunk) => (child.out += chunk));
  child.stderr.on("data", (chunk) => (child.err += chunk));
  child.ended = new Promise((resolve) => child.on("exit", (code) => {
    if (code === 66) {
      races.push(child.err);
    }
    resolve(code);
  }));
  return child;
}

async function until(what, check, ms = 20000) {
  for (const start = Date.now(); Date.now() - start < ms; await new Promise((r) => setTimeout(r, 50))) {
    const found = await check();
    if (found) {
      return found;
    }
  }
  throw new Error(`gave up waiting for ${what}: ${started.map((child) => child.spawnargs.join(" ") + ": " + child.out.slice(-300) + child.err.slice(-300)).join("\n")}`);
}

const freePort = () => new Promise((resolve) => {
  const probe = net.createServer().listen(0, "127.0.0.1", () => {
    const { port } = probe.address();
    probe.close(() => resolve(port));
  });
});

const fetch = (port, target) => new Promise((resolve) => {
  http.get({ host: "127.0.0.1", port, path: target }, (response) => {
    let body = "";
    response.on("data", (chunk) => (body += chunk));
    response.on("end", () => resolve(body));
  }).on("error", () => resolve(""));
});

async function meter(readings) {
  const sim = run(path.join(BIN, "metersim"), readings.flatMap((frame) => ["--reading", frame]));
  return until("metersim", () => sim.out.match(/^(\/dev\/pts\/\d+)$/m)?.[1]);
}

async function broker(port, extra = []) {
  const conf = path.join(dir, `broker-${port}.conf`);
  // Run as root, it would become the user mosquitto, who may not read the test's files.
  writeFileSync(conf, [`listener ${port} 127.0.0.1`, "persistence false", "user root", ...extra].join("\n") + "\n");
  const mosquitto = run("/usr/sbin/mosquitto", ["-c", conf]);
  await until("the broker", () => / running$/m.test(mosquitto.err));
  return mosquitto;
}

// Every message on the broker as "TOPIC PAYLOAD", from the moment it is listening.
async function watch(port, auth = []) {
  // Line by line, not as the C library buffers a pipe.
  const sub = run("/usr/bin/stdbuf", ["-oL", "/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", String(port), "-t", "#", "-v", ...auth]);
  await new Promise((r) => setTimeout(r, 300));
  return sub;
}

const messages = (sub, topic) => sub.out.split("\n").filter((line) => line.startsWith(topic + " "))
  .map((line) => line.slice(topic.length + 1));

test("/metrics passes promtool, and a Prometheus server scrapes the reading", async () => {
  const device = await meter(["DC  1.500   V"]);
  const amperes = await meter(["DC  0.500   A"]);
  const log = run(path.join(BIN, "ohmlog"), ["-i", "0.3", "--alarm", "U:V>2", "--power", "U,I", "--serve",
    "127.0.0.1:0", `U=${device}`, `I=${amperes}`]);
  const port = Number(await until("the URL", () => log.err.match(/served at http:\/\/127\.0\.0\.1:(\d+)\//)?.[1]));
  const metrics = await until("a reading and some energy", async () => {
    const text = await fetch(port, "/metrics");
    return /^ohm_energy_joules\{meter="U,I"\} [1-9]/m.test(text) && text.includes("ohm_volts{") && text;
  });
  assert.match(metrics, /^ohm_volts\{meter="U",mode="DC"\} 1\.5$/m);
  assert.match(metrics, /^ohm_alarm_active\{rule="U:V>2"\} 0$/m);
  assert.match(metrics, /^ohm_readings_total\{meter="U",status="ok"\} \d+$/m);
  assert.match(metrics, /^ohm_charge_coulombs\{meter="I"\} 0\.\d+$/m);
  assert.match(metrics, /^ohm_port_up\{meter="U"\} 1$/m);
  const stamp = Number(metrics.match(/^ohm_last_reading_timestamp_seconds\{meter="U"\} ([\d.]+)$/m)[1]);
  assert.ok(Math.abs(stamp - Date.now() / 1000) < 60, `${stamp} is now`);
  const lint = spawnSync("/usr/bin/promtool", ["check", "metrics"], { input: metrics, encoding: "utf8" });
  assert.equal(lint.status, 0, lint.stdout + lint.stderr);

  const web = await freePort();
  const config = path.join(dir, "prometheus.yml");
  writeFileSync(config, `global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: ohmlog\n` +
    `    static_configs:\n      - targets: ["127.0.0.1:${port}"]\n`);
  run("/usr/bin/prometheus", [`--config.file=${config}`, `--web.listen-address=127.0.0.1:${web}`,
    `--storage.tsdb.path=${path.join(dir, "tsdb")}`]);
  const value = await until("Prometheus to answer", async () => {
    const answer = await fetch(web, "/api/v1/query?query=" + encodeURIComponent('ohm_volts{meter="U"}'));
    try {
      return JSON.parse(answer).data.result[0]?.value[1];
    } catch {
      return undefined;
    }
  }, 30000);
  assert.equal(value, "1.5");
  log.kill("SIGINT");
  assert.equal(await log.ended, 0);
});

test("MQTT: a broker away at the start, then readings, availability, alarms and discovery, a broker killed and back", async () => {
  const device = await meter(["DC  2.500   V", "DC  2.400   V", "OH  0.998KOhm"]);
  const port = await freePort();
  const log = run(path.join(BIN, "ohmlog"), ["-i", "0.25", "--alarm", "V<2.45", "--mqtt",
    `mqtt://127.0.0.1:${port}`, "--mqtt-node", "bench-7", `U=${device}`]);
  await until("rows while the broker is away", () => log.out.split("\n").length > 4);
  let mosquitto = await broker(port, ["allow_anonymous true"]);
  let sub = await watch(port);
  // The retained announcement comes first, for whichever unit the dial showed last.
  const announced = (unit) => messages(sub, "homeassistant/sensor/bench-7_U/config").map((text) => JSON.parse(text))
    .find((config) => config.unit_of_measurement === unit);
  const [volts, ohms] = await until("both units announced", () => announced("V") && announced("\u03a9") &&
    [announced("V"), announced("\u03a9")], 30000);
  assert.deepEqual(volts.availability, [{ topic: "ohm/bench-7/availability" }, { topic: "ohm/bench-7/U/availability" }]);
  assert.equal(volts.availability_mode, "all");
  assert.equal(volts.state_topic, "ohm/bench-7/U/reading");
  assert.equal(volts.unique_id, "ohmlog_bench-7_U");
  assert.equal(volts.device.identifiers[0], "ohmlog_bench-7");
  assert.equal(volts.state_class, "measurement");
  assert.deepEqual([volts.unit_of_measurement, volts.device_class], ["V", "voltage"]);
  assert.deepEqual([ohms.unit_of_measurement, ohms.device_class], ["\u03a9", undefined], "the dial turned");
  assert.match(volts.value_template, /value_json\.value/);
  const reading = JSON.parse(messages(sub, "ohm/bench-7/U/reading")[0]);
  assert.equal(reading.meter, "U");
  assert.ok(["2.5", "2.4", "998"].includes(reading.value));
  await until("an alarm", () => messages(sub, "ohm/bench-7/alarm").length > 0);
  assert.equal(JSON.parse(messages(sub, "ohm/bench-7/alarm")[0]).rule, "V<2.45");
  assert.ok(messages(sub, "ohm/bench-7/availability").includes("online"));

  mosquitto.kill("SIGKILL");
  await mosquitto.ended;
  const rows = log.out.split("\n").length;
  await until("rows while the broker is gone", () => log.out.split("\n").length > rows + 3);
  mosquitto = await broker(port, ["allow_anonymous true"]);
  sub = await watch(port);
  await until("the logger back online", () => messages(sub, "ohm/bench-7/availability").includes("online") &&
    messages(sub, "ohm/bench-7/U/reading").length > 0, 40000);
  log.kill("SIGINT");
  assert.equal(await log.ended, 0);
  await until("offline", () => messages(sub, "ohm/bench-7/availability").includes("offline"));
  const [sent, dropped] = log.err.match(/  mqtt: (\d+) messages published, (\d+) dropped/).slice(1).map(Number);
  assert.ok(sent > 5 && dropped > 0, log.err);
});

test("MQTT with a password from the environment; a wrong one leaves logging as it is", async () => {
  const device = await meter(["DC  1.000   A"]);
  const port = await freePort();
  const passwords = path.join(dir, "passwords");
  assert.equal(spawnSync("/usr/bin/mosquitto_passwd", ["-c", "-b", passwords, "lab", "secret"]).status, 0);
  await broker(port, ["allow_anonymous false", `password_file ${passwords}`]);
  const sub = await watch(port, ["-u", "lab", "-P", "secret"]);
  const url = `mqtt://lab@127.0.0.1:${port}`;
  const good = run(path.join(BIN, "ohmlog"), ["-n", "4", "--mqtt", url, "--mqtt-node", "n", `I=${device}`],
    { OHM_MQTT_PASSWORD: "secret" });
  assert.equal(await good.ended, 0);
  await until("the readings", () => messages(sub, "ohm/n/I/reading").length === 4);
  const wrong = run(path.join(BIN, "ohmlog"), ["-n", "4", "--mqtt", url, "--mqtt-node", "m", `I=${device}`],
    { OHM_MQTT_PASSWORD: "guess" });
  assert.equal(await wrong.ended, 0);
  assert.equal(wrong.out.trim().split("\n").length, 5);
  assert.match(wrong.err, /  mqtt: 0 messages published/);
  assert.equal(messages(sub, "ohm/m/I/reading").length, 0);
});
