// The diagnostics page: the agent's answer, the PC/SC context, the live reader list, the card
// in the chosen reader and an APDU console, all through the agent's bridge.
import * as codec from './scard-codec.js';
import {
  returnCodeText, readerStateText, cardStateText, protocolText, statusWordText, STATE,
  SCARD_E_TIMEOUT, SCARD_E_NO_READERS_AVAILABLE,
} from './scard-codes.js';
import { BridgeClient, STATE_REASONS } from './bridge-client.js';

// The live reader list waits for reader events on a context of its own. When the agent answers
// calls in any order, that wait holds back nothing on the card's context: it can be longer, and
// the APDU console works beside it (it is still renewed every few seconds: an unanswered wait
// is how the page learns that the agent has gone). An agent that answers one call at a time per
// connection would hold every call behind the wait: the wait is then kept short and shares the
// one context, and an APDU waits at most this long for its turn.
const WAIT_MS = 500;
const LONG_WAIT_MS = 5000;
// Codes after which the card handle is of no more use: connect again.
const HANDLE_LOST = new Set([0x80100003, 0x80100068, 0x80100069]);

const $ = (id) => document.getElementById(id);
const toHex = (bytes) =>
  [...bytes].map((b) => b.toString(16).toUpperCase().padStart(2, '0')).join(' ');
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

const client = new BridgeClient();
let context = null;          // reference bytes of the page's PC/SC context
let watching = null;         // the context the reader list waits on (`context` itself, in order)
const readers = new Map();   // reader name -> its last ReaderState_Return (or null: not known yet)
let selected = null;         // the reader that the card panel shows
let card = null;             // { reader, card, protocol, status } while connected

class ScardError extends Error {
  constructor(call, reply) {
    super(`${call}: ${returnCodeText(reply.returnCode)}`);
    this.code = reply.returnCode;
    this.ms = reply.ms;
  }
}

async function scard(c) {
  const reply = await client.call(c);
  if (reply.returnCode !== 0) throw new ScardError(c.name, reply);
  return reply;
}

function showError(error) {
  const item = document.createElement('li');
  item.textContent = `${new Date().toLocaleTimeString()} ${error.message}`;
  $('errors').prepend(item);
}

// The page's own words for the way up; BridgeClient's for each way the agent cannot be reached.
const AGENT_STATES = {
  ...STATE_REASONS,
  closed: 'No bridge window.',
  waiting: 'Waiting for the agent to answer the handshake (03 01)…',
  answering: 'The agent answers (03 01 → 03 02).',
  silent: 'The agent does not answer.',
};
function showAgentState() {
  $('agent-state').dataset.state = client.state;
  $('agent-state').textContent = AGENT_STATES[client.state];
}
client.addEventListener('state', () => {
  showAgentState();
  if (client.state !== 'answering') forget();
});

function forget() {
  context = null;
  watching = null;
  card = null;
  readers.clear();
  $('context').textContent = 'none';
  render();
}

// One card operation at a time: the monitor and the user's clicks both connect and disconnect.
let cardWork = Promise.resolve();
const cardTask = (work) => (cardWork = cardWork.then(work).catch(showError));

async function releaseContexts() {
  if (watching && watching !== context) {
    client.call(codec.cancel(watching)).catch(() => {});
    await client.call(codec.releaseContext(watching)).catch(() => {});
  }
  if (context) await client.call(codec.releaseContext(context)).catch(() => {});
}

$('open-bridge').addEventListener('click', async () => {
  await releaseContexts();
  forget();
  if (!(await client.open())) {
    showError(new Error(client.reason));
    return;
  }
  try {
    context = (await scard(codec.establishContext())).context;
    $('context').textContent = toHex(context);
    watching = client.anyOrder ? (await scard(codec.establishContext())).context : context;
    monitor(watching);
  } catch (error) {
    showError(error);
  }
});

async function listReaders(ctx) {
  const reply = await client.call(codec.listReaders(ctx, codec.AUTOALLOCATE, 'W'));
  if (reply.returnCode === SCARD_E_NO_READERS_AVAILABLE) return [];
  if (reply.returnCode !== 0) throw new ScardError('ListReadersW', reply);
  return reply.readers;
}

// Keeps the reader list live: waits for a change in any reader, with the notification entry
// for readers that come and go, and lists the readers again after each change.
async function monitor(ctx) {
  let names = null;
  const waitMs = ctx === context ? WAIT_MS : LONG_WAIT_MS;
  while (watching === ctx) {
    try {
      if (!names) {
        names = await listReaders(ctx);
        for (const name of readers.keys()) if (!names.includes(name)) readers.delete(name);
        for (const name of names) if (!readers.has(name)) readers.set(name, null);
        render();
      }
      const states = names.map((reader) =>
        ({ reader, currentState: (readers.get(reader)?.eventState ?? 0) & ~STATE.CHANGED }));
      // The notification entry carries the number of readers this page knows in its upper 16
      // bits: a reader added or removed ends the wait with SCARD_STATE_CHANGED there.
      states.push({ reader: codec.PNP_NOTIFICATION, currentState: names.length << 16 });
      const reply = await client.call(codec.getStatusChange(ctx, waitMs, states, 'W'),
        waitMs + 5000);
      if (watching !== ctx) return;
      if (reply.returnCode === SCARD_E_TIMEOUT) continue;
      if (reply.returnCode !== 0) throw new ScardError('GetStatusChangeW', reply);
      const readerStates = reply.states.slice(0, -1);
      for (const state of readerStates) readers.set(state.reader, state);
      names = null;
      render();
      cardTask(syncCard);
      if (!reply.states.some((state) => state.eventState & STATE.CHANGED)) await sleep(WAIT_MS);
    } catch (error) {
      if (watching !== ctx) return;
      showError(error);
      names = null;
      await sleep(1000);
    }
  }
}

const hasCard = (state) =>
  Boolean(state && (state.eventState & STATE.PRESENT) && !(state.eventState & STATE.MUTE));

// Connects to the card of the selected reader when one is there, drops the connection when not.
async function syncCard() {
  if (!context) return;
  if (!readers.has(selected)) {
    const names = [...readers.keys()];
    selected = names.find((name) => hasCard(readers.get(name))) ?? names[0] ?? null;
  }
  const present = hasCard(readers.get(selected));
  if (card && (!present || card.reader !== selected)) await dropCard();
  if (present && !card) {
    const reply = await scard(
      codec.connect(context, selected, codec.SHARE_SHARED, codec.PROTOCOL_T0 | codec.PROTOCOL_T1, 'W'));
    card = { reader: selected, card: reply.card, protocol: reply.protocol };
    card.status = await scard(codec.status(card.card, 32, 'W'));
  }
  render();
}

async function dropCard() {
  const old = card;
  card = null;
  // After a removal PC/SC may refuse the disconnect; the handle is gone either way.
  if (old) await client.call(codec.disconnect(old.card)).catch(() => {});
}

function render() {
  const body = $('readers').tBodies[0];
  body.replaceChildren(...[...readers].map(([name, state]) => readerRow(name, state)));
  $('no-readers').hidden = readers.size > 0 || !context;
  renderCard();
}

function readerRow(name, state) {
  const row = document.createElement('tr');
  row.dataset.reader = name;
  const choice = document.createElement('input');
  choice.type = 'radio';
  choice.name = 'reader';
  choice.checked = name === selected;
  choice.setAttribute('aria-label', name);
  choice.addEventListener('change', () => {
    selected = name;
    cardTask(syncCard);
  });
  const cells = [choice, name, state ? readerStateText(state.eventState & ~STATE.CHANGED) : '…',
                 state && hasCard(state) ? toHex(state.atr) : ''];
  for (const content of cells) {
    const cell = document.createElement('td');
    cell.append(content);
    row.append(cell);
  }
  row.cells[2].className = 'state';
  row.cells[3].className = 'hex atr';
  return row;
}

function renderCard() {
  const shown = card?.status && card.reader === selected;
  $('card').hidden = !shown;
  $('card-none').hidden = shown;
  $('card-none').textContent = selected ? `No card in ${selected}.` : 'No reader selected.';
  if (!shown) return;
  $('card-reader').textContent = selected;
  $('card-atr').textContent = toHex(card.status.atr);
  $('card-state').textContent = cardStateText(card.status.state);
  $('card-protocol').textContent = protocolText(card.protocol);
}

function parseHex(text) {
  const digits = text.replace(/[\s:]/g, '');
  if (!/^([0-9a-f]{2})+$/i.test(digits)) return null;
  return Uint8Array.from(digits.match(/../g), (b) => parseInt(b, 16));
}

$('apdu-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  const apdu = parseHex($('apdu').value);
  if (!apdu || apdu.length < 4) return showError(new Error(`Not an APDU: "${$('apdu').value}"`));
  if (!card) return showError(new Error('No card connected.'));
  const entry = document.createElement('li');
  const field = (name, text) => {
    const span = document.createElement('span');
    span.className = name;
    span.textContent = text;
    entry.append(span, ' ');
  };
  field('command', `> ${toHex(apdu)}`);
  $('apdu-log').prepend(entry);
  try {
    const reply = await scard(codec.transmit(card.card, card.protocol, apdu));
    const response = reply.response;
    const sw = response.length >= 2 ? (response.at(-2) << 8) | response.at(-1) : null;
    field('response', `< ${toHex(response)}`);
    field('sw', sw === null ? 'no status word'
      : `SW ${toHex(response.slice(-2))} ${statusWordText(sw)}`.trim());
    field('time', `${reply.ms.toFixed(1)} ms`);
  } catch (error) {
    field('error', error.message);
    if (error.ms !== undefined) field('time', `${error.ms.toFixed(1)} ms`);
    if (HANDLE_LOST.has(error.code)) cardTask(async () => { await dropCard(); await syncCard(); });
  }
});

// Contexts and card connections live in the agent until they are released: release them when
// the page goes, without waiting for replies that could no longer arrive. The bridge window is
// left open: closing it now would drop these calls on their way to the agent.
window.addEventListener('pagehide', () => {
  if (watching && watching !== context) {
    client.send(codec.cancel(watching));
    client.send(codec.releaseContext(watching));
  }
  if (card) client.send(codec.disconnect(card.card));
  if (context) client.send(codec.releaseContext(context));
});

showAgentState();
// For the browser's console.
window.diagnostics = {
  client, codec, get context() { return context; }, get card() { return card; },
  get watching() { return watching; },
};
