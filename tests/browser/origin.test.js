// The bridge's origin rules and its connection indicator, in headless Chromium against the
// real agent trusting the diagnostics page's origin (http://127.0.0.1:8096).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';

import * as h from './harness.js';

const FOREIGN = 'http://127.0.0.1:8097';
const OPEN = '\u2611';    // ☑
const CLOSED = '\u2612';  // ☒

let browser;
let diagnostics;

before(async () => {
  h.requireTools();
  browser = await h.launchBrowser();
  diagnostics = await h.startDiagnostics();
  await h.serveWeb(8097);
}, h.HOOK);

after(async () => {
  await browser?.close();
  await h.stopAll();
}, h.HOOK);

const indicator = (bridge, mark) =>
  bridge.waitForFunction((m) => document.getElementById('scard-status')?.textContent === m, mark);

test('a page of another origin gets no answer through the bridge', { timeout: 60000 }, async () => {
  const refused = browser.waitForEvent('console',
    (m) => m.text() === `Expected origin: ${h.TRUSTED} actual origin: ${FOREIGN}`);
  const { page, bridge } = await h.openDiagnostics(browser, FOREIGN);
  // Told within a second that the agent does not answer it (as when none runs).
  await page.waitForSelector('#agent-state[data-state="unreachable"]', { timeout: 5000 });
  await refused;
  // The foreign page's messages are ignored, and a bridge that such a page opened never opens
  // its socket: it would carry the agent's own trusted origin.
  assert.notEqual(await bridge.locator('#scard-status').innerText(), OPEN);
  assert.equal(await page.locator('#context').innerText(), 'none');
  await bridge.close();
  await page.close();
});

// A foreign page that frames the bridge page, and one that runs the bridge script in a frame of
// its own: neither may open a WebSocket to the agent (each would carry the agent's trusted
// origin, and many of them would take the agent's connections).
test('a framed bridge opens no WebSocket', { timeout: 60000 }, async () => {
  const page = await browser.newPage();
  const sockets = [];
  page.on('websocket', (ws) => sockets.push(ws.url()));
  await page.goto(`${FOREIGN}/`);
  const blocked = await page.evaluate(() => new Promise((resolve) => {
    const frame = document.createElement('iframe');
    frame.src = 'http://127.0.0.1:8095/bridge.html';
    frame.onload = () => resolve(true);
    document.body.append(frame);
    const script = document.createElement('iframe');
    script.srcdoc = '<span id="scard-status"></span><script src="http://127.0.0.1:8095/bridge.js"></script>';
    document.body.append(script);
  }));
  assert.ok(blocked);
  const framedScript = page.frames().find((f) => f.url() === 'about:srcdoc');
  await framedScript.waitForFunction(() => document.getElementById('scard-status')?.textContent === '\u2612');
  await page.waitForTimeout(1000);
  assert.deepEqual(sockets, []);
  await page.close();
});

test('the trusted page gets answers; the bridge shows its socket open, then the agent gone',
     { timeout: 60000 }, async () => {
  const { page, bridge } = await h.openDiagnostics(browser, h.TRUSTED);
  await page.waitForSelector('#agent-state[data-state="answering"]');
  await indicator(bridge, OPEN);
  await page.waitForSelector('#readers tr[data-reader]');

  // Stopping the agent closes the bridge's socket; the page's next call goes unanswered; and
  // tools/diagnostics.sh ends, taking the page server on 8096 with it.
  process.kill(diagnostics.agentPid(), 'SIGTERM');
  await indicator(bridge, CLOSED);
  await page.waitForSelector('#agent-state[data-state="silent"]', { timeout: 15000 });
  assert.notEqual(await diagnostics.waitExit(10000), undefined, 'tools/diagnostics.sh still runs');
  assert.ok(await h.waitForPort(8096, false, 5000), 'the page server still runs');
});
