// The page's end of the agent. Like a remote-desktop web client, the page opens the agent's
// bridge page in a window of its own and exchanges binary messages (ArrayBuffers) with it
// through postMessage; the bridge relays them over its WebSocket to the agent and posts the
// agent's replies back to its opener. A page that cannot keep a bridge window (one whose
// Cross-Origin-Opener-Policy cuts the window off from it) connects to the agent directly, with
// a WebSocket of its own: the same messages, in both directions.
import * as codec from './scard-codec.js';

export const AGENT_ORIGIN = 'http://127.0.0.1:8095';
export const AGENT_SOCKET = 'ws://127.0.0.1:8095/';

const HANDSHAKE_INTERVAL_MS = 500;
const HANDSHAKE_TRIES = 10;
const CALL_TIMEOUT_MS = 5000;
// A bridge (or socket) whose handshake is not answered within this is reported unreachable; an
// answer that comes later still brings it to 'answering'.
const UNREACHABLE_MS = 1000;
// A bridge window that reports itself closed this soon after it was opened, before anything
// came from it, was cut off by the page's opener policy: the browser put it in a browsing
// context group of its own, and the page's handle to it reads as closed at once.
const CUT_OFF_MS = 1000;
const WATCH_MS = 100;

// What each state means, in words a page may show its user. `closed`, `waiting` and `answering`
// are the way up; the others say why the agent cannot be reached, each reported within a second.
export const STATE_REASONS = {
  closed: 'No connection to the agent.',
  waiting: 'Waiting for the agent to answer.',
  answering: 'The agent answers.',
  silent: 'The agent stopped answering.',
  blocked: 'The browser blocked the bridge window: open it from a click.',
  'cut-off': 'The bridge window cannot reach this page: the page\'s Cross-Origin-Opener-Policy ' +
             'cuts it off (unsafe-none or same-origin-allow-popups keep it).',
  unreachable: 'The agent does not answer: it is not running, or it trusts another origin.',
  refused: 'The agent refused this page: it trusts another origin.',
  'local-blocked': 'The browser blocked the connection to this computer: allow this site to ' +
                   'access devices on your local network.',
};

// A page of this computer: the browser's local-network checks do not apply to it.
const LOCAL_HOST = /^(localhost|127(\.\d{1,3}){3}|\[::1\])$/;

// The browser's answer for the local-network permission, or undefined where it has none.
async function localNetworkPermission() {
  for (const name of ['local-network-access', 'loopback-network']) {
    try {
      return (await navigator.permissions.query({ name })).state;
    } catch {
      // not a permission this browser knows
    }
  }
  return undefined;
}

// Whether anything answers HTTP on the agent's address. A no-cors request settles with an
// opaque response whatever the status, and fails only when nothing answers (or the browser
// blocked it).
async function agentAnswers() {
  try {
    await fetch(`${AGENT_ORIGIN}/`, { mode: 'no-cors', cache: 'no-store' });
    return true;
  } catch {
    return false;
  }
}

// States, told by a 'state' event (its detail is the state; `reason` says it in words): see
// STATE_REASONS. `direct` is true while the page talks to the agent over its own WebSocket.
export class BridgeClient extends EventTarget {
  state = 'closed';
  reason = STATE_REASONS.closed;
  direct = false;
  #window = null;
  #socket = null;
  #opened = 0;        // when the bridge window was opened (performance.now())
  #heard = false;     // whether anything came from the bridge or socket since it was opened
  // True when the agent answers calls in any order (it granted the handshake flag): calls go out
  // at once, the agent runs those on different contexts side by side, and each reply is paired
  // with its call by the CompletionId. An agent that does not grant it handles the calls one at
  // a time, in order: a call is then sent only after the previous reply has come, which keeps
  // each one's time its own.
  anyOrder = false;
  #handshake = null;  // { timer, unreachable } while the handshake is out
  #resolveOpen = null;  // settles the pending open()
  #fallback = true;
  #queue = [];
  #inFlight = new Map();  // CompletionId -> call
  #completionId = 0;

  constructor() {
    super();
    window.addEventListener('message', (event) => this.#receive(event));
    setInterval(() => this.#watchWindow(), WATCH_MS);
  }

  // Opens (or reopens) the way to the agent; resolves to true once the agent answers the
  // handshake, to false once it is known that it will not. By default through the bridge window,
  // which must be opened in answer to a click (`blocked` otherwise), and directly when the page's
  // opener policy cuts the window off (unless `fallback` is false); `{ direct: true }` connects
  // directly at once. A direct connection from a public site needs the user's leave to reach
  // devices on the local network (`local-blocked` without it).
  open({ direct = false, fallback = true } = {}) {
    this.#close();
    this.#settle(false);
    this.#failAll(new Error('the bridge was reopened'));
    this.#fallback = fallback;
    const opened = new Promise((resolve) => { this.#resolveOpen = resolve; });
    if (direct) {
      this.#openDirect();
      return opened;
    }
    this.direct = false;
    this.#window = window.open(`${AGENT_ORIGIN}/bridge.html`, 'tolvane-bridge',
                               'popup,width=480,height=320');
    if (!this.#window) {
      this.#setState('blocked');
      this.#settle(false);
      return opened;
    }
    this.#opened = performance.now();
    this.#shakeHands();
    return opened;
  }

  // Queues the call `c` (from scard-codec.js); resolves to its decoded reply, with `ms`, the time
  // from sending the call to its reply. Rejects when the agent does not answer in time, and at
  // once when it is not answering.
  call(c, timeoutMs = CALL_TIMEOUT_MS) {
    return new Promise((resolve, reject) => {
      this.#queue.push({ c, timeoutMs, resolve, reject });
      this.#next();
    });
  }

  // Sends the call `c` at once and forgets it: for the page's last moments, when its reply could
  // not be received any more. The agent still carries it out after the calls before it (on its
  // context, when replies come in any order).
  send(c) {
    if (this.state === 'answering') this.#post(codec.encodeCall(c, this.#nextId()));
  }

  #openDirect() {
    this.direct = true;
    const socket = new WebSocket(AGENT_SOCKET);
    socket.binaryType = 'arraybuffer';
    this.#socket = socket;
    socket.onopen = () => this.#post(codec.handshake(codec.REPLIES_IN_ANY_ORDER));
    socket.onmessage = (event) => this.#deliver(event.data);
    socket.onclose = () => {
      if (this.#socket !== socket) return;
      this.#socket = null;
      if (this.state === 'answering') return this.#setState('silent');
      this.#stopHandshake();
      this.#diagnose();
    };
    this.#shakeHands();
  }

  // Why a direct connection failed, as far as a page can tell: the browser's local-network
  // permission, then whether the agent answers HTTP at all (it refused this page's origin) or not.
  async #diagnose() {
    const local = LOCAL_HOST.test(location.hostname);
    const permission = local ? 'granted' : await localNetworkPermission();
    let state = 'unreachable';
    if (permission !== undefined && permission !== 'granted') state = 'local-blocked';
    else if (await agentAnswers()) state = 'refused';
    if (this.#socket || !this.direct) return;  // reopened meanwhile
    this.#setState(state);
    this.#settle(false);
  }

  #shakeHands() {
    this.#heard = false;
    this.anyOrder = false;
    this.#setState('waiting');
    // Until the bridge page has loaded, messages for the agent's origin are dropped, and the
    // bridge cannot send before its socket is open: the handshake is repeated until answered.
    let tries = 0;
    const shake = () => {
      if (++tries > HANDSHAKE_TRIES) {
        this.#stopHandshake();
        if (this.state === 'waiting') this.#setState('unreachable');
        return this.#settle(false);
      }
      this.#post(codec.handshake(codec.REPLIES_IN_ANY_ORDER));
      this.#handshake.timer = setTimeout(shake, HANDSHAKE_INTERVAL_MS);
    };
    const unreachable = setTimeout(() => {
      if (this.state === 'waiting') this.#setState('unreachable');
    }, UNREACHABLE_MS);
    this.#handshake = { timer: 0, unreachable };
    shake();
  }

  // The bridge window's fate: cut off by the page's opener policy right after it was opened, or
  // closed later (by the user, or with its page).
  #watchWindow() {
    if (this.direct || !this.#window?.closed) return;
    const cutOff = !this.#heard && performance.now() - this.#opened < CUT_OFF_MS;
    this.#window = null;
    this.#stopHandshake();
    if (!cutOff) {
      this.#setState('closed');
      return this.#settle(false);
    }
    this.#setState('cut-off');
    if (this.#fallback) return this.#openDirect();
    this.#settle(false);
  }

  #close() {
    this.#stopHandshake();
    if (this.#socket) {
      const socket = this.#socket;
      this.#socket = null;
      socket.close();
    }
    this.#window = null;
  }

  // Settles the pending open().
  #settle(answered) {
    const resolve = this.#resolveOpen;
    this.#resolveOpen = null;
    resolve?.(answered);
  }

  #setState(state) {
    if (state === this.state) return;
    this.state = state;
    this.reason = STATE_REASONS[state] ?? state;
    if (state !== 'answering') this.#failAll(new Error(this.reason));
    this.dispatchEvent(new CustomEvent('state', { detail: state }));
  }

  #post(message) {
    if (this.direct) {
      if (this.#socket?.readyState === WebSocket.OPEN) this.#socket.send(message);
    } else {
      this.#window?.postMessage(message, AGENT_ORIGIN);
    }
  }

  #nextId() {
    this.#completionId = (this.#completionId + 1) >>> 0;
    return this.#completionId;
  }

  #stopHandshake() {
    if (!this.#handshake) return;
    clearTimeout(this.#handshake.timer);
    clearTimeout(this.#handshake.unreachable);
    this.#handshake = null;
  }

  #failAll(error) {
    const calls = [...this.#inFlight.values(), ...this.#queue];
    this.#inFlight.clear();
    this.#queue = [];
    for (const p of calls) {
      clearTimeout(p.timer);
      p.reject(error);
    }
  }

  #next() {
    while (this.#queue.length && (this.anyOrder || this.#inFlight.size === 0)) {
      if (this.state !== 'answering') return this.#failAll(new Error(this.reason));
      const p = this.#queue.shift();
      p.id = this.#nextId();
      this.#inFlight.set(p.id, p);
      p.timer = setTimeout(() => {
        this.#inFlight.delete(p.id);
        p.reject(new Error(`${p.c.name}: no answer within ${p.timeoutMs} ms`));
        this.#setState('silent');
      }, p.timeoutMs);
      p.started = performance.now();
      this.#post(codec.encodeCall(p.c, p.id));
    }
  }

  #receive(event) {
    if (this.direct || event.source !== this.#window || event.origin !== AGENT_ORIGIN) return;
    this.#deliver(event.data);
  }

  #deliver(data) {
    if (!(data instanceof ArrayBuffer)) return;
    this.#heard = true;
    if (codec.isHandshakeReply(data)) {
      if (!this.#handshake) return;
      this.#stopHandshake();
      this.anyOrder = Boolean(codec.grantedFlags(data) & codec.REPLIES_IN_ANY_ORDER);
      this.#setState('answering');
      return this.#settle(true);
    }
    const id = codec.replyCompletionId(data);
    const p = this.#inFlight.get(id);
    // A reply that pairs with no call in flight (its call timed out) is dropped.
    if (!p) return;
    clearTimeout(p.timer);
    this.#inFlight.delete(id);
    try {
      p.resolve({ ...codec.decodeReply(p.c, data), ms: performance.now() - p.started });
    } catch (error) {
      p.reject(new Error(`${p.c.name}: ${error.message}`));
    }
    this.#next();
  }
}
