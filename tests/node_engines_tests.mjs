// The packages that tests/package-lock.json pins must run on the nodejs that Debian 12 ships:
// the README's test command on a fresh Debian uses it, while CI machines may carry a newer
// Node.js from elsewhere that would hide a package needing more.
import { test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { readFileSync } from "node:fs";
import semver from "semver";

// Debian 12's nodejs when apt's lists do not name it (not fetched, or another release):
// 18.20.4 in bookworm and bookworm-security since Debian 12.7.
const RECORDED = ["18.20.4"];

// The versions of nodejs that Debian 12's suites (bookworm, bookworm-security, ...) hold. apt's
// candidate may be a newer Node.js from another archive (NodeSource's, say), so only the lines
// of a bookworm suite count.
function debianVersions() {
  let table = "";
  try {
    table = execFileSync("apt-cache", ["madison", "nodejs"], { encoding: "utf8" });
  } catch {
    return RECORDED;
  }
  const found = table.split("\n").map((line) => line.split("|").map((field) => field.trim()))
    .filter((fields) => / bookworm(-[a-z]+)?\//.test(fields[2] ?? ""))
    .map((fields) => semver.coerce(fields[1].replace(/^\d+:/, "")).version);
  return found.length ? [...new Set(found)] : RECORDED;
}

test("every locked package admits the nodejs of Debian 12", () => {
  const lock = JSON.parse(readFileSync(new URL("package-lock.json", import.meta.url), "utf8"));
  const versions = debianVersions();
  const refused = [];
  for (const [where, entry] of Object.entries(lock.packages)) {
    const wanted = entry.engines?.node;
    for (const version of wanted ? versions : []) {
      if (!semver.satisfies(version, wanted)) {
        refused.push(`${where} ${entry.version} needs node ${wanted}; Debian 12 has ${version}`);
      }
    }
  }
  assert.deepEqual(refused, []);
  assert.ok(Object.keys(lock.packages).some((where) => where.endsWith("/playwright-core")));
});
