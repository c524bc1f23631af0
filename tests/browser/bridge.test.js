// The bridge's message rules in headless Chromium against the real agent trusting the
// diagnostics page's origin (http://127.0.0.1:8096): a stray message of another origin does not
// cut the trusted page off, and what the trusted page posts before the bridge's socket is open
// is relayed once it opens.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';

import * as h from './harness.js';

const FOREIGN = 'http://127.0.0.1:8097';
const OPEN = '\u2611';  // ☑

let browser;

// Runs in every bridge window before its own script. Right after the bridge starts listening
// for messages, and so before any message of its opener can be delivered, it receives one
// message of a foreign origin. With "?hold" in its address, the bridge's load handler (which
// creates the socket) and the socket's connection wait until the test lets them go, through
// window.__startBridge and window.__openSocket.
function bridgeShim(foreign) {
  if (location.origin !== 'http://127.0.0.1:8095' || location.pathname !== '/bridge.html') return;
  const listen = window.addEventListener.bind(window);
  const hold = location.search === '?hold';
  const loads = [];
  window.__startBridge = () => loads.splice(0).forEach((f) => f());
  window.addEventListener = (type, listener, ...rest) => {
    if (hold && type === 'load') return loads.push(listener);
    listen(type, listener, ...rest);
    if (type === 'message') {
      queueMicrotask(() => window.dispatchEvent(
        new MessageEvent('message', { data: new Uint8Array([3, 1]).buffer, origin: foreign })));
    }
  };
  if (!hold) return;
  const RealSocket = window.WebSocket;
  window.__socketCreated = false;
  window.WebSocket = class {
    constructor(url) {
      window.__socketCreated = true;
      window.__openSocket = () => {
        const real = this.real = new RealSocket(url);
        real.binaryType = this.binaryType;
        for (const name of ['onopen', 'onclose', 'onerror', 'onmessage'])
          real[name] = (event) => this[name]?.(event);
      };
    }
    send(data) { this.real.send(data); }
    close() { this.real?.close(); }
  };
}

before(async () => {
  h.requireTools();
  browser = await h.launchBrowser();
  await browser.addInitScript(bridgeShim, FOREIGN);
  await h.startDiagnostics();
}, h.HOOK);

after(async () => {
  await browser?.close();
  await h.stopAll();
}, h.HOOK);

test('a stray foreign message before the trusted page\'s first one does not stop its calls',
     { timeout: 60000 }, async () => {
  const stray = browser.waitForEvent('console',
    (m) => m.text() === `Expected origin: ${h.TRUSTED} actual origin: ${FOREIGN}`);
  const { page, bridge } = await h.openDiagnostics(browser, h.TRUSTED);
  await stray;
  await page.waitForSelector('#agent-state[data-state="answering"]');
  await page.waitForFunction(() => /^[0-9A-F]{2}( [0-9A-F]{2})+$/.test(
    document.getElementById('context').textContent));
  await page.waitForSelector('#readers tr[data-reader]');
  await bridge.waitForFunction((m) => document.getElementById('scard-status')?.textContent === m, OPEN);
  await bridge.close();
  await page.close();
});

// A page of the trusted origin that opens a held bridge itself (see bridgeShim) and counts the
// agent's answers to the handshake message 03 01 (each is 03 02); window.__post(n) posts n.
async function openHeldBridge() {
  const page = await browser.newPage();
  await page.goto(`${h.TRUSTED}/`);
  await page.evaluate(() => {
    window.__answers = 0;
    window.addEventListener('message', (event) => {
      const bytes = event.data instanceof ArrayBuffer ? new Uint8Array(event.data) : [];
      if (event.origin === 'http://127.0.0.1:8095' && bytes.length === 2 && bytes[0] === 3 &&
          bytes[1] === 2) window.__answers += 1;
    });
    window.__post = (n) => {
      for (let i = 0; i < n; ++i) window.__bridge.postMessage(new Uint8Array([3, 1]).buffer,
                                                               'http://127.0.0.1:8095');
    };
    const button = document.createElement('button');
    button.id = 'open-held-bridge';
    button.onclick = () => {
      window.__bridge = window.open('http://127.0.0.1:8095/bridge.html?hold', 'held-bridge',
                                    'popup,width=480,height=320');
    };
    document.body.append(button);
  });
  const [bridge] = await Promise.all([page.waitForEvent('popup'), page.click('#open-held-bridge')]);
  await bridge.waitForFunction(() => typeof window.__startBridge === 'function' &&
                                     document.readyState !== 'loading');
  // Posting is asynchronous: a pause in the bridge lets what was posted arrive.
  const settle = () => bridge.evaluate(() => new Promise((resolve) => setTimeout(resolve, 200)));
  const answers = () => page.evaluate(() => window.__answers);
  const post = (n) => page.evaluate((k) => window.__post(k), n);
  return { page, bridge, settle, answers, post };
}

test('messages posted before the socket exists and before it opens are all answered',
     { timeout: 60000 }, async () => {
  const { page, bridge, settle, answers, post } = await openHeldBridge();
  await post(3);
  await settle();
  assert.equal(await bridge.evaluate(() => window.__socketCreated), false);
  await bridge.evaluate(() => window.__startBridge());
  assert.equal(await bridge.evaluate(() => window.__socketCreated), true);
  await post(4);
  await settle();
  assert.equal(await answers(), 0);
  await bridge.evaluate(() => window.__openSocket());
  await page.waitForFunction(() => window.__answers === 7);
  // Once open, messages go straight through.
  await post(2);
  await page.waitForFunction(() => window.__answers === 9);
  await page.waitForTimeout(300);
  assert.equal(await answers(), 9);
  await bridge.close();
  await page.close();
});

test('the bridge keeps at most 256 messages while its socket is not open', { timeout: 60000 },
     async () => {
  const { page, bridge, settle, answers, post } = await openHeldBridge();
  await post(300);
  await settle();
  await bridge.evaluate(() => window.__startBridge());
  await bridge.evaluate(() => window.__openSocket());
  await page.waitForFunction(() => window.__answers === 256);
  await page.waitForTimeout(500);
  assert.equal(await answers(), 256);
  await bridge.close();
  await page.close();
});
