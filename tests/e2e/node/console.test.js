// The web console in a real browser: Debian's chromium driven by puppeteer-core, against the
// real vallorin binary (VALLORIN_BINARY) with a packet forwarder on loopback played by this
// file. Frames are built and downlinks read with lora-packet, not with the server's code.
// Screenshots of the dashboard and of a device page go to VALLORIN_SCREENSHOTS when set.
"use strict";
const { test, before, after } = require("node:test");
const assert = require("node:assert");
const dgram = require("node:dgram");
const fs = require("node:fs");
const net = require("node:net");
const os = require("node:os");
const path = require("node:path");
const { spawn } = require("node:child_process");
const lora = require("lora-packet");
const puppeteer = require("puppeteer-core");

const GATEWAY = "0102030405060708";
const DEVICE = "00-80-00-00-00-00-0a-01";
const HOSTILE = "00-80-00-00-00-00-0a-02";
const HOSTILE_NAME = "<img src=x onerror=alert(1)>";
const SESSION = { addr: "26011234", app: "000102030405060708090a0b0c0d0e0f", nwk: "2b7e151628aed2a6abf7158809cf4f3c" };

let dir, server, browser, page, forwarder, ports, base;
let dialogs = 0;
let fcnt = 0;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
async function until(what, check, timeoutMs = 5000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error("timed out waiting for " + what);
    await sleep(50);
  }
}

function freePort(kind) {
  return new Promise((resolve) => {
    const probe = kind === "tcp" ? net.createServer() : dgram.createSocket("udp4");
    const bound = () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    };
    if (kind === "tcp") probe.listen(0, "127.0.0.1", bound);
    else probe.bind(0, "127.0.0.1", bound);
  });
}

// ---- The packet forwarder
const received = [];
function forwarderDatagram(identifier, body) {
  const head = Buffer.from([2, 0x12, 0x34, identifier, ...Buffer.from(GATEWAY, "hex")]);
  return Buffer.concat([head, Buffer.from(body || "")]);
}
function send(port, datagram) {
  return new Promise((resolve) => forwarder.send(datagram, port, "127.0.0.1", resolve));
}
function pushUplink(payloadHex) {
  fcnt += 1;
  const frame = lora.fromFields({
    MType: "Unconfirmed Data Up", DevAddr: Buffer.from(SESSION.addr, "hex"), FCnt: fcnt, FPort: 2,
    payload: Buffer.from(payloadHex, "hex"),
  }, Buffer.from(SESSION.app, "hex"), Buffer.from(SESSION.nwk, "hex")).getPHYPayload();
  const rxpk = {
    tmst: (Date.now() * 1000) % 4294967296, chan: 2, rfch: 1, freq: 868.1, stat: 1, modu: "LORA",
    datr: "SF9BW125", codr: "4/5", lsnr: fcnt % 2 ? -7.5 : 3.5, rssi: -60 - 3 * fcnt, size: frame.length,
    data: frame.toString("base64"),
  };
  return send(ports.upstreamPort, forwarderDatagram(0, JSON.stringify({ rxpk: [rxpk] })));
}
async function nextTxpk(timeoutMs) {
  return until("a PULL_RESP", () => {
    const index = received.findIndex((d) => d[3] === 3);
    if (index < 0) return null;
    const [datagram] = received.splice(index, 1);
    send(ports.downstreamPort, Buffer.from([2, datagram[1], datagram[2], 5, ...Buffer.from(GATEWAY, "hex")]));
    return JSON.parse(datagram.subarray(4).toString()).txpk;
  }, timeoutMs);
}

// ---- The operator's command port
function command(line) {
  return new Promise((resolve, reject) => {
    const socket = dgram.createSocket("udp4");
    const pieces = [];
    let timer;
    const finish = () => { socket.close(); resolve(Buffer.concat(pieces).toString()); };
    socket.on("message", (m) => { pieces.push(m); clearTimeout(timer); timer = setTimeout(finish, 300); });
    socket.on("error", reject);
    socket.send(line, ports.commandPort, "127.0.0.1");
    timer = setTimeout(finish, 3000);
  });
}
// The devices page's form, until the device is in its table.
async function addDevice(eui, name) {
  await show("devices", "#add-device");
  await page.type("#add-deveui", eui);
  await page.type("#add-name", name);
  await page.click("#add-submit");
  await until("the device in the table",
    () => page.$eval("#devices-table", (t, e) => t.textContent.includes(e), eui));
}
async function commandDevices() {
  return JSON.parse(await command("device list json")).map((d) => d.deveui);
}

async function show(route, selector) {
  await page.goto(`${base}/#/${route}`);
  await page.reload();  // a hash change alone would not reload the view
  await page.waitForFunction(() => document.getElementById("view").dataset.loaded !== undefined, { timeout: 5000 });
  if (selector) await page.waitForSelector(selector, { timeout: 5000 });
}

async function screenshot(name) {
  const folder = process.env.VALLORIN_SCREENSHOTS;
  if (!folder) return;
  fs.mkdirSync(folder, { recursive: true });
  await page.$eval("#toast", (box) => { box.className = "hidden"; });  // not over the table
  await page.screenshot({ path: path.join(folder, name), fullPage: true });
}

before(async () => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), "vallorin-web-"));
  ports = {};
  for (const key of ["upstreamPort", "downstreamPort", "appPortUp", "appPortDown", "orbaPort", "commandPort"]) {
    ports[key] = await freePort("udp");
  }
  const webPort = await freePort("tcp");
  base = `http://127.0.0.1:${webPort}`;
  fs.mkdirSync(path.join(dir, "flash"));
  fs.writeFileSync(path.join(dir, "device_id"), "TEST-SERIAL\n");
  const config = {
    db: `${dir}/flash/vallorin.db`,
    paths: { runDir: `${dir}/run`, deviceIdFile: `${dir}/device_id`, templateDir: `${dir}/templates/`,
      templateFallbackDir: `${dir}/opt/`, restartCommand: "true", whitelistFile: `${dir}/whitelist.jsonlines`, commandDir: dir },
    log: { level: 50, console: false, path: `${dir}/vallorin.log` },
    lora: { frequencyBand: "EU868", beaconInterval: 0, netID: "000013" },
    addressRange: { start: "00000001", end: "01FFFFFE" },
    network: { public: 1, eui: "00-11-22-33-44-55-66-77", key: "000102030405060708090a0b0c0d0e0f" },
    mqtt: { enabled: false },
    udp: ports,
    web: { port: webPort },
  };
  fs.writeFileSync(path.join(dir, "vallorin.conf"), JSON.stringify(config, null, 2));
  server = spawn(process.env.VALLORIN_BINARY, ["-c", path.join(dir, "vallorin.conf")], { cwd: dir, stdio: "ignore" });
  const log = path.join(dir, "vallorin.log");
  await until("the web console", () => fs.existsSync(log) && fs.readFileSync(log, "utf8").includes("Web console on"), 15000);

  forwarder = dgram.createSocket("udp4");
  forwarder.on("message", (m) => received.push(m));
  await new Promise((resolve) => forwarder.bind(0, "127.0.0.1", resolve));

  browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run"],
  });
  page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 900 });
  page.on("dialog", async (dialog) => {
    // Only our own confirm() boxes may open; an alert means injected script ran.
    if (dialog.type() === "alert") dialogs += 1;
    await dialog.dismiss();
  });
});

after(async () => {
  if (browser) await browser.close();
  if (forwarder) forwarder.close();
  if (server && server.exitCode === null) {
    const exited = new Promise((resolve) => server.on("exit", resolve));
    server.kill("SIGTERM");
    await Promise.race([exited, sleep(10000)]);
    if (server.exitCode === null) server.kill("SIGKILL");
  }
  fs.rmSync(dir, { recursive: true, force: true });
});

test("the dashboard lists the gateway once it has pulled", async () => {
  await send(ports.downstreamPort, forwarderDatagram(2));
  await until("PULL_ACK", () => received.some((d) => d[3] === 4));
  await until("the gateway on the dashboard", async () => {
    await show("dashboard", "#gateways-table");
    return page.$eval("#gateways-table", (t) => t.textContent.includes("01-02-03-04-05-06-07-08"));
  });
});

test("a device added with the page's form is in the command interface's device list", async () => {
  await addDevice(DEVICE, "meter 7");
  assert.ok((await commandDevices()).includes(DEVICE));
});

test("a hostile device name is shown as text and runs nothing", async () => {
  await addDevice(HOSTILE, HOSTILE_NAME);
  const cells = await page.$$eval("#devices-table td", (tds) => tds.map((td) => td.textContent));
  assert.ok(cells.includes(HOSTILE_NAME));
  await show(`device/${HOSTILE}`, "#device-name");
  assert.strictEqual(await page.$eval("#device-name", (n) => n.textContent), HOSTILE_NAME);
  assert.strictEqual(await page.$$eval("#view img", (imgs) => imgs.length), 0);
  await sleep(300);
  assert.strictEqual(dialogs, 0);
});

test("an uplink from the forwarder shows in the live feed within a second", async () => {
  // The device gets its session from the device page's form (activation by personalisation).
  await show(`device/${DEVICE}`, "#session-form");
  await page.type("#s-addr", SESSION.addr);
  await page.type("#s-app", SESSION.app);
  await page.type("#s-nwk", SESSION.nwk);
  await page.click("#session-form button");
  await page.waitForSelector("#session", { timeout: 5000 });

  await show("live", "#live-table");
  await page.waitForFunction(() => document.getElementById("feed-status").textContent === "live", { timeout: 5000 });
  await pushUplink("0badcafe");
  await page.waitForFunction((eui) => [...document.querySelectorAll(".feed-row[data-event=up]")]
    .some((row) => row.textContent.includes(eui) && row.textContent.includes("0badcafe")), { timeout: 1000 }, DEVICE);
  await pushUplink("0badcaff");
  await page.waitForFunction(() => document.querySelectorAll(".feed-row[data-event=up]").length === 2, { timeout: 1000 });
});

test("a downlink queued on the device page reaches the forwarder and decrypts", async () => {
  await show(`device/${DEVICE}`, "#downlink-form");
  await page.$eval("#down-port", (input) => { input.value = ""; });
  await page.type("#down-port", "5");
  await page.type("#down-data", "cafe01");
  await page.click("#down-submit");
  await page.waitForSelector("#queue-table tbody tr", { timeout: 5000 });
  await screenshot("console-device.png");

  received.length = 0;
  await pushUplink("01");  // class A: the downlink answers the next uplink
  const txpk = await nextTxpk(5000);
  const packet = lora.fromWire(Buffer.from(txpk.data, "base64"));
  const app = Buffer.from(SESSION.app, "hex"), nwk = Buffer.from(SESSION.nwk, "hex");
  assert.strictEqual(packet.getMType(), "Unconfirmed Data Down");
  assert.strictEqual(packet.DevAddr.toString("hex"), SESSION.addr);
  assert.strictEqual(packet.getFPort(), 5);
  assert.ok(lora.verifyMIC(packet, nwk, app));
  assert.strictEqual(lora.decrypt(packet, app, nwk).toString("hex"), "cafe01");

  await show("dashboard", "#uplink-chart");
  await screenshot("console-dashboard.png");
});

test("a change from another origin is refused even with the page's token", async () => {
  // Without a token, or with a wrong one, is the API's unit test; the Origin header comes through
  // the real server only here.
  const token = await page.evaluate(async () => (await (await fetch("/api/session")).json()).csrf);
  const crossOrigin = await fetch(`${base}/api/devices`, {
    method: "POST", headers: { "X-CSRF-Token": token, Origin: "http://evil.example" }, body: JSON.stringify({ deveui: "0080000000000baf" }),
  });
  assert.strictEqual(crossOrigin.status, 403);
  assert.ok(!(await commandDevices()).includes("00-80-00-00-00-00-0b-af"));
});
