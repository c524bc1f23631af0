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
  // The script is not even served to a page of another origin (Sec-Fetch-Site: same-site).
  const framedScript = page.frames().find((f) => f.url() === 'about:srcdoc');
  await framedScript.waitForLoadState('load');
  await page.waitForTimeout(1000);
  assert.equal(await framedScript.evaluate(() => document.getElementById('scard-status').textContent), '');
  assert.deepEqual(sockets, []);
  await page.close();
});

// A page of another origin may include the bridge script, as any page may include any script:
// it must learn nothing from it, neither the origin the agent trusts nor that it is installed
// with one, and it cannot read the bridge page that carries the origin.
test('a page of another origin that includes the bridge script learns nothing', { timeout: 60000 }, async () => {
  const page = await browser.newPage();
  await page.goto(`${FOREIGN}/`);
  const found = await page.evaluate(() => new Promise((resolve) => {
    const script = document.createElement('script');
    script.src = 'http://127.0.0.1:8095/bridge.js';
    script.onload = script.onerror = async () => {
      let bridgePage = null;
      try {
        bridgePage = await (await fetch('http://127.0.0.1:8095/bridge.html')).text();
      } catch {
        // refused by the browser: the page carries no Access-Control-Allow-Origin
      }
      resolve({ origin: window.__agent_origion ?? null, bridgePage });
    };
    document.head.append(script);
  }));
  assert.deepEqual(found, { origin: null, bridgePage: null });
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
