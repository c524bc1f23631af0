// The diagnostics page in headless Chromium against the real agent, pcscd and the virtual card.
// Holds the card: run it under `flock /tmp/tolvane-card.lock` (CTest does).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';

import * as h from './harness.js';

const FIRST = 'Virtual PCD 00 00';
const SECOND = 'Virtual PCD 00 01';
const VICC_ATR = '3B 95 13 81 01 80 73 FF 01 00 0B';  // vicc -t iso7816
const SCARD_E_INVALID_HANDLE = 0x80100003;

let browser;
const card = new h.VirtualCard();

before(async () => {
  h.requireTools();
  browser = await h.launchBrowser();
  await h.startDiagnostics();
}, h.HOOK);

after(async () => {
  await browser?.close();
  await card.remove();
  await h.stopAll();
}, h.HOOK);

const row = (page, reader) => page.locator(`#readers tr[data-reader="${reader}"]`);
const text = (page, selector) => page.locator(selector).innerText();

test('the page follows the virtual card: readers, ATR, an APDU, removal and insertion',
     { timeout: 120000 }, async () => {
  card.insert();
  const { page } = await h.openDiagnostics(browser, h.TRUSTED);
  await page.waitForSelector('#agent-state[data-state="answering"]');
  await page.waitForFunction(() => /^[0-9A-F]{2}( [0-9A-F]{2})+$/.test(
    document.getElementById('context').textContent));

  // Both virtual readers are listed; the card's reader is chosen, and its card shown.
  await row(page, SECOND).waitFor();
  await page.waitForSelector('#card-atr:not(:empty)');
  assert.equal(await text(page, '#card-reader'), FIRST);
  assert.equal(await text(page, '#card-atr'), VICC_ATR);
  assert.equal(await row(page, FIRST).locator('.atr').innerText(), VICC_ATR);
  assert.match(await row(page, FIRST).locator('.state').innerText(), /SCARD_STATE_PRESENT/);
  assert.match(await row(page, SECOND).locator('.state').innerText(), /SCARD_STATE_EMPTY/);
  assert.match(await text(page, '#card-state'), /^SCARD_(PRESENT|POWERED|NEGOTIABLE|SPECIFIC) \(0x0000000[2-6]\)$/);
  assert.match(await text(page, '#card-protocol'), /^T=[01]$/);

  // SELECT of an application the card does not have: 6A 82, with the time it took.
  const select = async () => {
    const entries = await page.locator('#apdu-log li').count();
    await page.fill('#apdu', '00 a4 04 00 00');
    await page.click('#apdu-form button');
    const entry = page.locator('#apdu-log li').first();
    await page.waitForFunction((n) => document.querySelectorAll('#apdu-log li .time').length > n, entries);
    assert.equal(await entry.locator('.command').innerText(), '> 00 A4 04 00 00');
    assert.equal(await entry.locator('.response').innerText(), '< 6A 82');
    assert.equal(await entry.locator('.sw').innerText(), 'SW 6A 82 file or application not found');
    assert.match(await entry.locator('.time').innerText(), /^\d+\.\d ms$/);
    // The reader list's wait, pending on its own context, does not hold the APDU back.
    assert.ok(parseFloat(await entry.locator('.time').innerText()) < 1000);
  };
  // Over one bridge, the agent answers in any order: the reader list waits on a context of its
  // own while the APDU console works on the card's.
  assert.equal(await page.evaluate(() => window.diagnostics.client.anyOrder), true);
  assert.notDeepEqual(await page.evaluate(() => [...window.diagnostics.watching]),
                      await page.evaluate(() => [...window.diagnostics.context]));
  await select();
  if (process.env.TOLVANE_SCREENSHOT) {
    await page.setViewportSize({ width: 1200, height: 400 });
    await page.screenshot({ path: process.env.TOLVANE_SCREENSHOT, fullPage: true });
  }

  // Removal and insertion are seen without reloading; the new card answers too.
  await card.remove();
  await page.waitForSelector('#card-none:has-text("No card in Virtual PCD 00 00.")');
  await row(page, FIRST).locator('.state:has-text("SCARD_STATE_EMPTY")').waitFor();
  assert.equal(await row(page, FIRST).locator('.atr').innerText(), '');
  card.insert();
  await page.waitForSelector('#card-atr:not(:empty)');
  assert.equal(await text(page, '#card-atr'), VICC_ATR);
  await select();
  assert.equal(await text(page, '#errors'), '');
  await page.close();
});

test('a malformed APDU and a card-less reader are reported, never left blank',
     { timeout: 60000 }, async () => {
  await card.remove();
  const { page } = await h.openDiagnostics(browser, h.TRUSTED);
  await row(page, SECOND).waitFor();
  await page.check(`#readers tr[data-reader="${SECOND}"] input`);
  await page.waitForSelector(`#card-none:has-text("No card in ${SECOND}.")`);
  for (const [apdu, error] of [['00 A4 0', 'Not an APDU: "00 A4 0"'], ['00 A4 04 00', 'No card connected.']]) {
    await page.fill('#apdu', apdu);
    await page.click('#apdu-form button');
    await page.waitForSelector(`#errors li:has-text(${JSON.stringify(error)})`);
  }
  await page.close();
});

test('closing the page releases its PC/SC context', { timeout: 60000 }, async () => {
  card.insert();
  const first = await h.openDiagnostics(browser, h.TRUSTED);
  await first.page.waitForSelector('#card-atr:not(:empty)');
  const context = await first.page.evaluate(() => [...window.diagnostics.context]);

  // A second page asks the agent about the first page's context. (That makes the second
  // connection a user of the context too, so the agent's own clean-up when the first bridge's
  // connection ends would not release it: only the page's release call does.)
  const second = await h.openDiagnostics(browser, h.TRUSTED);
  await second.page.waitForSelector('#agent-state[data-state="answering"]');
  const isValid = () => second.page.evaluate(async (bytes) => {
    const { client, codec } = window.diagnostics;
    return (await client.call(codec.isValidContext(Uint8Array.from(bytes)))).returnCode;
  }, context);
  assert.equal(await isValid(), 0);

  await first.page.close({ runBeforeUnload: true });
  let code = 0;
  for (const deadline = Date.now() + 10000; code === 0 && Date.now() < deadline;) {
    await new Promise((resolve) => setTimeout(resolve, 100));
    code = await isValid();
  }
  assert.equal(code, SCARD_E_INVALID_HANDLE);
  await second.page.close();
});
