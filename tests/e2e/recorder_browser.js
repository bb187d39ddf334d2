// Drives the rtsp-recorder page in headless Chromium (puppeteer-core) and
// checks what a person would see. Every wait is for an event on the page,
// bounded by a generous deadline.
//   node recorder_browser.js CONFIG.json
// CONFIG: {url, user, password, chromium, screenshot, snapshotDir,
//          cameras: [{name, width, height, audio}], kill: {name, pid, restart: [argv], pidFile},
//          counter: {name, log}}: camera `name` shows numbered pictures whose sending
//          times its server logs (test-server.py --counter).
"use strict";
const fs = require("fs");
const { spawn } = require("child_process");
const puppeteer = require("puppeteer-core");

const cfg = JSON.parse(fs.readFileSync(process.argv[2], "utf8"));
const DEADLINE_MS = 60000;
const t0 = Date.now();
const say = (text) => console.log(`[${((Date.now() - t0) / 1000).toFixed(1)} s] ${text}`);

function fail(message) {
  console.error("FAIL: " + message);
  process.exit(1);
}

// Polls `probe` in the page until it returns a truthy value.
async function until(page, what, probe, ...args) {
  const end = Date.now() + DEADLINE_MS;
  for (;;) {
    const value = await page.evaluate(probe, ...args).catch(() => null);
    if (value) return value;
    if (Date.now() > end) fail(what + ": not within " + DEADLINE_MS / 1000 + " s");
    await new Promise((r) => setTimeout(r, 200));
  }
}

const tileVideo = (name) => `.tile[data-camera="${name}"] video.live`;

// The live video of `name` plays: its time advances by a second, its
// picture has the stream's size, and it has sound when the camera has.
async function plays(page, camera) {
  const start = await until(page, camera.name + " has live video", (sel) => {
    const v = document.querySelector(sel);
    return v && v.readyState >= 2 && v.videoWidth > 0 ? { t: v.currentTime } : null;
  }, tileVideo(camera.name));
  await until(page, camera.name + " live time advances", (sel, t0) => {
    const v = document.querySelector(sel);
    return v.currentTime > t0 + 1;
  }, tileVideo(camera.name), start.t);
  const size = await page.evaluate((sel) => {
    const v = document.querySelector(sel);
    return { width: v.videoWidth, height: v.videoHeight };
  }, tileVideo(camera.name));
  if (size.width !== camera.width) fail(`${camera.name}: videoWidth ${size.width}, want ${camera.width}`);
  if (size.height !== camera.height) fail(`${camera.name}: videoHeight ${size.height}, want ${camera.height}`);
  if (camera.audio) {
    await until(page, camera.name + " live audio is decoded",
                (sel) => document.querySelector(sel).webkitAudioDecodedByteCount > 0, tileVideo(camera.name));
  }
}

// The delay from the server sending a picture to the page showing it: the
// page reads the number off each picture it shows (the blocks of
// test-server.py --counter) and notes when it first saw it. Median over
// the numbers seen, in seconds.
async function liveDelay(page, counter) {
  await page.evaluate((sel) => {
    const v = document.querySelector(sel), c = document.createElement("canvas");
    const g = c.getContext("2d", { willReadFrequently: true });
    window.shownAt = {};
    const look = () => {
      if (v.videoWidth && v.videoHeight) {
        if (c.width !== v.videoWidth || c.height !== v.videoHeight) [c.width, c.height] = [v.videoWidth, v.videoHeight];
        g.drawImage(v, 0, 0);
        const block = Math.floor(c.width / 16), row = g.getImageData(0, Math.floor(c.height / 8), c.width, 1).data;
        let n = 0;
        for (let i = 0; i < 16; i++) n = n * 2 + (row[(i * block + (block >> 1)) * 4] > 128 ? 1 : 0);
        if (!(n in window.shownAt)) window.shownAt[n] = Date.now();
      }
      v.requestVideoFrameCallback(look);
    };
    v.requestVideoFrameCallback(look);
  }, tileVideo(counter.name));
  await until(page, counter.name + ": 90 numbered pictures shown", () => Object.keys(window.shownAt).length >= 90);
  const shown = await page.evaluate(() => window.shownAt);
  const sent = new Map(fs.readFileSync(counter.log, "utf8").trim().split("\n").map((l) => l.split(" ").map(Number)));
  const delays = Object.entries(shown).filter(([n]) => sent.has(Number(n)))
    .map(([n, at]) => (at - sent.get(Number(n))) / 1000).sort((a, b) => a - b);
  if (delays.length < 60) fail(`${counter.name}: only ${delays.length} pictures read back`);
  return delays[Math.floor(delays.length / 2)];
}

async function stateIs(page, name, state) {
  await until(page, `${name} shows ${state}`, (n, s) => {
    const e = document.querySelector(`.tile[data-camera="${n}"] .state`);
    return e && e.textContent === s;
  }, name, state);
}

(async () => {
  const browser = await puppeteer.launch({
    executablePath: cfg.chromium,
    headless: true,
    args: ["--no-sandbox", "--autoplay-policy=no-user-gesture-required", "--disable-gpu",
           "--disable-dev-shm-usage", "--mute-audio"],
  });
  const timer = setTimeout(() => fail("the whole run took over 8 minutes"), 480000);
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1100, height: 560 });
    await page.authenticate({ username: cfg.user, password: cfg.password });
    page.on("pageerror", (e) => console.error("page error: " + e.message));
    await page.goto(cfg.url, { waitUntil: "domcontentloaded" });

    for (const camera of cfg.cameras) await plays(page, camera);
    for (const camera of cfg.cameras) await stateIs(page, camera.name, "recording");
    await page.screenshot({ path: cfg.screenshot });
    say("both cameras play live; screenshot " + cfg.screenshot);
    const delay = await liveDelay(page, cfg.counter);
    say(`${cfg.counter.name}: live delay (server sends to page shows) median ${delay.toFixed(3)} s`);
    if (delay > 1.5) fail(`${cfg.counter.name}: live delay median ${delay.toFixed(3)} s, over 1.5 s`);

    // One camera's server goes: the page says it reconnects and why, the
    // other keeps recording; /metrics and /api/cameras say the same.
    const other = cfg.cameras.find((c) => c.name !== cfg.kill.name);
    process.kill(cfg.kill.pid, "SIGTERM");
    await stateIs(page, cfg.kill.name, "reconnecting");
    const reason = await page.$eval(`.tile[data-camera="${cfg.kill.name}"] .reason`, (e) => e.textContent);
    if (!reason) fail(cfg.kill.name + ": no reason shown while reconnecting");
    const state = await page.$eval(`.tile[data-camera="${other.name}"] .state`, (e) => e.textContent);
    if (state !== "recording") fail(`${other.name} shows ${state} while ${cfg.kill.name} is down`);
    // The page can show the state before the last frame's time settles: the
    // snapshot waits until the camera that is down is clearly the older.
    await until(page, cfg.kill.name + "'s last frame is the older", async (down, up) => {
      const cameras = await (await fetch("/api/cameras")).json();
      const at = (n) => cameras.find((c) => c.name === n).lastFrame;
      return at(down) + 1 < at(up);
    }, cfg.kill.name, other.name);
    const snap = await page.evaluate(async () => {
      const api = await (await fetch("/api/cameras")).text();
      const metrics = await (await fetch("/metrics")).text();
      return { api, metrics };
    });
    fs.writeFileSync(cfg.snapshotDir + "/cameras.json", snap.api);
    fs.writeFileSync(cfg.snapshotDir + "/metrics.txt", snap.metrics);
    say(cfg.kill.name + " reconnecting: " + reason);

    // The shell script ends the new server by its PID; node need not wait for it.
    const server = spawn(cfg.kill.restart[0], cfg.kill.restart.slice(1), { stdio: "ignore" });
    server.unref();
    fs.writeFileSync(cfg.kill.pidFile, String(server.pid));
    await stateIs(page, cfg.kill.name, "recording");
    await plays(page, cfg.cameras.find((c) => c.name === cfg.kill.name));
    say(cfg.kill.name + " is back and plays");

    // A finished recording of the other camera plays from its list.
    await page.click(`.tile[data-camera="${other.name}"] details summary`);
    const link = `.tile[data-camera="${other.name}"] a.recording`;
    await until(page, "a finished recording is listed", (sel) =>
      [...document.querySelectorAll(sel)].some((a) => !a.textContent.includes("recording")), link);
    await page.evaluate((sel) => {
      [...document.querySelectorAll(sel)].find((a) => !a.textContent.includes("recording")).click();
    }, link);
    await until(page, "the recording plays", () => {
      const v = document.getElementById("player");
      return v.currentTime > 1 && v.videoWidth > 0;
    });
    const width = await page.$eval("#player", (v) => v.videoWidth);
    if (width !== other.width) fail(`the recording's videoWidth is ${width}, want ${other.width}`);
    say("a recording of " + other.name + " plays");
  } catch (e) {
    fail(e.stack || String(e));
  } finally {
    clearTimeout(timer);
    await browser.close();
  }
  process.exit(0);
})();
