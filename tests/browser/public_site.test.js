// A web client on a public HTTPS site, as users meet it: Chromium counts the site as the public
// internet (its Local Network Access checks apply), trusts its certificate through a test CA,
// keeps its popup blocker on, and the user clicks. The agent trusts https://rdp.example.com:8443;
// the virtual card is in its reader. Each row is one way a user may meet the agent, and the
// states the page is told (web/bridge-client.js).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';

import * as h from './harness.js';

const PORT = 8443;
const BRIDGE = 'http://127.0.0.1:8095/bridge.html';
let site;
let browser;
let card;
let agent;

before(async () => {
  h.requireTools();
  site = await h.startPublicSite(PORT, ['rdp.example.com', 'other.example.net']);
  browser = await h.launchBrowser({ site, popupBlocker: true });
  agent = await h.startAgent(['--origin', site.origins[0]]);
  card = new h.VirtualCard();
  card.insert();
}, h.HOOK);

after(async () => {
  await card?.remove();
  await browser?.close();
  await h.stopAll();
}, h.HOOK);

// EstablishContext, ListReaders, Connect, Transmit (a SELECT by an empty name), Disconnect and
// ReleaseContext through the page's client: each return code, and the SELECT's response.
function everyCall() {
  return (async () => {
    const { client, codec } = window;
    const codes = [];
    const run = async (c, timeoutMs) => {
      const reply = await client.call(c, timeoutMs);
      codes.push(reply.returnCode);
      return reply;
    };
    // Time-outs beyond what a browser timer holds: none, and one clamped to it.
    const { context } = await run(codec.establishContext(), Infinity);
    const { readers } = await run(codec.listReaders(context, codec.AUTOALLOCATE, 'W'), 0xffffffff);
    const reader = readers.find((name) => name.startsWith('Virtual PCD'));
    const { card, protocol } = await run(codec.connect(context, reader));
    const { response } = await run(codec.transmit(card, protocol, [0x00, 0xA4, 0x04, 0x00, 0x00]));
    await run(codec.disconnect(card));
    await run(codec.releaseContext(context));
    return { codes, response: Array.from(response) };
  })();
}

// The recorded session, through the page's client and straight over a WebSocket of the page's.
async function forwardSession() {
  const { playSession, agentSocket } = await import('/test/session.js');
  const agent = agentSocket();
  const expected = await playSession(agent.send);
  agent.close();
  const forwarded = await playSession((ioctl, input) => window.client.forward(ioctl, input));
  return { expected, forwarded };
}

// Calls beyond the bound, and a wait given up on: the agent is told, so the next call on its
// context is answered, not queued behind the wait.
async function bounds(SECOND) {
  const { client, codec } = window;
  const { MAX_PENDING_CALLS } = await import('/bridge-client.js');
  const isValid = (context) => codec.callInput(codec.isValidContext(context));
  const flood = await Promise.all(Array.from({ length: MAX_PENDING_CALLS + 1 }, () =>
    client.forward(codec.IOCTL.ISVALIDCONTEXT, isValid([])).then(() => 'answered', (e) => e.code)));
  const { context } = await client.call(codec.establishContext());
  const wait = codec.getStatusChange(context, 0x7fffffff, [{ reader: SECOND, currentState: 0x10 }]);
  const gaveUp = await client.forward(wait.ioctl, codec.callInput(wait), { timeoutMs: 500 })
    .catch((e) => e.code);
  const next = await client.call(codec.isValidContext(context), 5000)
    .then((r) => r.returnCode, (e) => e.code);
  await client.call(codec.releaseContext(context));
  return { answered: flood.filter((r) => r === 'answered').length, last: flood.at(-1), gaveUp, next };
}

const rows = [
  { what: 'a click opens the bridge and every call is answered', site: 0, click: '#open',
    states: ['waiting', 'answering'], calls: true, bridgeSays: 'Connected' },
  { what: 'without a click the browser blocks the window, and the page is told', site: 0,
    query: '?auto', states: ['blocked'] },
  { what: 'a page that isolates itself (COOP same-origin) connects directly, with leave',
    site: 0, coop: true, grant: true, click: '#open',
    states: ['waiting', 'cut-off', 'waiting', 'answering'], calls: true,
    bridgeSays: 'No page can reach this window' },
  { what: 'a page that isolates itself, without leave: the browser\'s refusal is told',
    site: 0, coop: true, click: '#open', states: ['waiting', 'cut-off', 'waiting', 'local-blocked'] },
  { what: 'a page of another site gets nothing through the bridge', site: 1, click: '#open',
    states: ['waiting', 'unreachable'], silentBridge: true,
    bridgeSays: 'not one the agent trusts' },
  { what: 'a page of another site that connects directly is refused', site: 1, grant: true,
    click: '#open-direct', states: ['waiting', 'refused'] },
  { what: 'a recorded session forwarded through the bridge is answered byte for byte as directly',
    site: 0, grant: true, click: '#open', states: ['waiting', 'answering'], session: true },
  { what: 'a recorded session forwarded over the direct connection is answered byte for byte',
    site: 0, grant: true, click: '#open-direct', states: ['waiting', 'answering'], session: true },
  { what: 'a bridge opened again after its window closed, or the agent was silent, carries the first call',
    site: 0, click: '#open', states: ['waiting', 'answering'], reopen: true },
  { what: 'calls beyond the bound are refused at once; a wait given up on is cancelled at the agent',
    site: 0, click: '#open', states: ['waiting', 'answering'], bounds: true },
];

for (const row of rows) {
  test(row.what, { timeout: 60000 }, async () => {
    const origin = site.origins[row.site];
    await browser.clearPermissions();
    if (row.grant) await browser.grantPermissions(['local-network-access'], { origin });
    const page = await browser.newPage();
    const sockets = [];
    page.on('websocket', (ws) => sockets.push(ws.url()));
    await page.goto(`${origin}${row.coop ? '/coop' : ''}/test/client.html${row.query ?? ''}`);
    await page.waitForFunction(() => window.client !== undefined);
    if (row.click) await page.click(row.click);
    const last = row.states.at(-1);
    // Each way the bridge can fail is told within a second or so; the bound here is generous.
    await page.waitForFunction((s) => window.client.state === s, last, { timeout: 8000 });
    assert.deepEqual(await page.evaluate(() => window.states), row.states);
    assert.ok((await page.evaluate(() => window.client.reason)).length > 0);
    if (last !== 'answering') {
      assert.equal(await page.evaluate(() => window.opened), false);
      // A call on a client that cannot answer fails at once, never after its time-out.
      const failed = await page.evaluate(async () => {
        const started = performance.now();
        try {
          await window.client.call(window.codec.establishContext());
          return 'answered';
        } catch {
          return performance.now() - started < 1000 ? 'at once' : 'late';
        }
      });
      assert.equal(failed, 'at once');
    }
    if (row.calls) {
      assert.equal(await page.evaluate(() => window.opened), true);
      const { codes, response } = await page.evaluate(everyCall);
      assert.deepEqual(codes, [0, 0, 0, 0, 0, 0]);
      assert.deepEqual(response, [0x6A, 0x82]);  // no such application, as the card says
    }
    if (row.session) {
      const { expected, forwarded } = await page.evaluate(forwardSession);
      const bytes = (results) => results.map(({ ms, ...completion }) => completion);
      assert.deepEqual(bytes(forwarded), bytes(expected));
      // Failed, each with its whole _Return: the wait, cancelled after 5 s; Control (the virtual
      // reader tells no features); a connect to no reader; a call the agent refuses.
      const failed = forwarded.filter((r) => !r.output.startsWith('00 00 00 00', 48));
      assert.deepEqual(failed.map((r) => r.output.slice(48, 59)),
                       ['02 00 10 80', '22 00 10 80', '09 00 10 80', '22 00 10 80']);
      assert.ok(failed[0].ms > 5000, `the wait ended after ${failed[0].ms} ms`);
    }
    for (const how of row.reopen ? ['closed', 'silent'] : []) {
      if (how === 'closed') await browser.pages().find((p) => p.url().startsWith(BRIDGE)).close();
      // A stopped agent answers nothing, not even the client's handshakes; then it goes on.
      if (how === 'silent') process.kill(agent.pid, 'SIGSTOP');
      await page.waitForFunction((s) => window.client.state === s, how, { timeout: 15000 })
        .finally(() => process.kill(agent.pid, 'SIGCONT'));
      await page.click('#open');
      assert.equal(await page.evaluate(() => window.opened), true);
      assert.equal(await page.evaluate(async () => (await window.client.forward(0x00090014,
        window.codec.callInput(window.codec.establishContext()), { timeoutMs: 5000 })).output[16]), 0);
    }
    if (row.bounds) {
      assert.deepEqual(await page.evaluate(bounds, 'Virtual PCD 00 01'),
                       { answered: 64, last: 'queue-full', gaveUp: 'timeout', next: 0 });
    }
    if (row.bridgeSays) {
      // The bridge window tells its user the same in words.
      const bridge = browser.pages().find((p) => p.url().startsWith(BRIDGE));
      assert.ok(bridge, 'no bridge window');
      await bridge.waitForFunction((w) => document.getElementById('bridge-words')?.textContent.includes(w),
                                   row.bridgeSays);
    }
    if (row.silentBridge) {
      // The page's handshakes go on for their whole time: none is ever answered.
      await page.waitForTimeout(5500);
      assert.equal(await page.evaluate(() => window.client.state), 'unreachable');
    }
    for (const p of browser.pages()) if (p !== page) await p.close();
    await page.close();
  });
}
