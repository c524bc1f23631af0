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
const HANDSHAKE_TRIES = 20;
// A bridge (or socket) whose handshake is not answered within this is reported unreachable; an
// answer that comes later, within the handshake's tries, still brings it to 'answering'. A
// loaded machine may take a second or two to load the bridge page and open its socket.
const UNREACHABLE_MS = 3000;
// A bridge window that reports itself closed this soon after it was opened, before anything
// came from it, was cut off by the page's opener policy: the browser put it in a browsing
// context group of its own, and the page's handle to it reads as closed at once.
const CUT_OFF_MS = 1000;
const WATCH_MS = 100;
// Whether the agent still answers is judged from the connection, never from how long one call
// takes: when replies may come in any order, the agent answers a handshake at once whatever its
// calls wait for, so after PING_MS without a word from it the page sends one, and the agent is
// silent when SILENT_MS pass without an answer.
const PING_MS = 2000;
const SILENT_MS = 6000;
// The longest time-out a browser timer holds: a longer one fires at once.
export const MAX_TIMEOUT_MS = 2 ** 31 - 1;
// The calls a page may have waiting for the agent at once, as many as the agent carries out side
// by side on one connection: each call sent runs, and the handshake that tells whether the agent
// answers is never held behind calls.
export const MAX_PENDING_CALLS = 64;

// How a call failed: `code` is 'not-answering' (the client is not answering, or stopped, and
// `message` says why), 'timeout' (the page's own time-out), 'aborted' (the page's signal),
// 'queue-full' (MAX_PENDING_CALLS calls already wait) or 'malformed' (a reply a typed call
// could not decode).
export class AgentError extends Error {
  constructor(code, message) {
    super(message);
    this.name = 'AgentError';
    this.code = code;
  }
}

// A time-out the page set, as a timer can hold it; none for undefined, Infinity and NaN.
function timerDelay(timeoutMs) {
  if (timeoutMs === undefined || timeoutMs === null || !Number.isFinite(timeoutMs)) return undefined;
  return Math.min(Math.max(0, timeoutMs), MAX_TIMEOUT_MS);
}

const sameBytes = (a, b) => a.length === b.length && a.every((byte, i) => byte === b[i]);

// What each state means, in words a page may show its user. `closed`, `waiting` and `answering`
// are the way up; the others say why the agent cannot be reached, each reported within seconds.
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
  #windows = 0;       // bridge windows opened, each under a name of its own
  #socket = null;
  #opened = 0;        // when the bridge window was opened (performance.now())
  #heard = false;     // whether anything came from the bridge or socket since it was opened
  #heardAt = 0;       // when the agent last said anything
  #pingAt = 0;        // when the last ping went out
  // True when the agent answers calls in any order (it granted the handshake flag): calls go out
  // at once, the agent runs those on different contexts side by side and those on one context
  // in the order sent, and each reply is paired with its call by the CompletionId. An agent that
  // does not grant it handles the calls one at a time, in order: a call is then sent only after
  // the previous reply has come, which keeps each one's time its own.
  anyOrder = false;
  #handshake = null;  // { timer, unreachable } while the handshake is out
  #resolveOpen = null;  // settles the pending open()
  #fallback = true;
  #queue = [];
  #inFlight = new Map();  // CompletionId -> call, in the order sent
  #completionId = 0;

  constructor() {
    super();
    window.addEventListener('message', (event) => this.#receive(event));
    setInterval(() => this.#watch(), WATCH_MS);
  }

  // Opens (or reopens) the way to the agent; resolves to true once the agent answers the
  // handshake, to false once it is known that it will not. By default through a new bridge
  // window (the one this client opened before is closed), which must be opened in answer to a
  // click (`blocked` otherwise), and directly when the page's opener policy cuts the window off
  // (unless `fallback` is false); `{ direct: true }` connects directly at once. A direct
  // connection from a public site needs the user's leave to reach devices on the local network
  // (`local-blocked` without it).
  open({ direct = false, fallback = true } = {}) {
    this.#close();
    this.#settle(false);
    this.#failAll(new AgentError('not-answering', 'the bridge was reopened'));
    this.#fallback = fallback;
    const opened = new Promise((resolve) => { this.#resolveOpen = resolve; });
    if (direct) {
      this.#openDirect();
      return opened;
    }
    this.direct = false;
    // A window of its own each time: reusing one by its name would send the handshake to the
    // old bridge page while the new one loads, and the first call into the page that replaces it.
    this.#window = window.open(`${AGENT_ORIGIN}/bridge.html`, `tolvane-bridge-${++this.#windows}`,
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

  // Forwards one device I/O request of the smart-card device, as a remote-desktop server sends
  // it: `ioControlCode` (SCARD_IOCTL_...) and `input`, its input buffer (the NDR type headers
  // and the _Call structure) as bytes. Resolves to the agent's completion of it, { ioStatus,
  // output }, the output buffer byte for byte (a failed call's whole _Return included): what the
  // client sends back to its server. Calls on one context are carried out in the order forwarded.
  // No time-out of the module's own: `timeoutMs` (clamped to MAX_TIMEOUT_MS) or `signal` give up
  // on the call, and the agent is then told (a Cancel on its context ends a status-change wait
  // there). Rejects with an AgentError.
  forward(ioControlCode, input, { timeoutMs, signal } = {}) {
    return new Promise((resolve, reject) => {
      const bytes = codec.toBytes(input).slice();
      if (this.state !== 'answering') return reject(new AgentError('not-answering', this.reason));
      if (this.#queue.length + this.#inFlight.size >= MAX_PENDING_CALLS) {
        return reject(new AgentError('queue-full',
          `${MAX_PENDING_CALLS} calls already wait for the agent: wait for some of them to complete`));
      }
      if (signal?.aborted) return reject(new AgentError('aborted', 'the call was aborted'));
      const ioctl = ioControlCode >>> 0;
      const p = { ioctl, input: bytes, resolve, reject, signal,
                  context: codec.contextOf(ioctl, bytes), waits: codec.isStatusChange(ioctl) };
      const delay = timerDelay(timeoutMs);
      if (delay !== undefined) {
        p.timer = setTimeout(
          () => this.#giveUp(p, new AgentError('timeout', `no answer within ${delay} ms`)), delay);
      }
      if (signal) {
        p.onAbort = () => this.#giveUp(p, new AgentError('aborted', 'the call was aborted'));
        signal.addEventListener('abort', p.onAbort, { once: true });
      }
      this.#queue.push(p);
      this.#next();
    });
  }

  // A typed call `c` (from scard-codec.js), forwarded as above; resolves to its decoded reply,
  // with `ms`, the time from the call to its reply.
  async call(c, timeoutMs) {
    const started = performance.now();
    const { output } = await this.forward(c.ioctl, codec.callInput(c), { timeoutMs });
    try {
      return { ...codec.decodeOutput(c, output), ms: performance.now() - started };
    } catch (error) {
      throw new AgentError('malformed', `${c.name}: ${error.message}`);
    }
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
    socket.onmessage = (event) => {
      if (this.#socket === socket) this.#deliver(event.data);
    };
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

  #watch() {
    this.#watchWindow();
    if (this.state !== 'answering' || !this.anyOrder) return;
    const now = performance.now();
    if (this.#pingAt > this.#heardAt) {
      if (now - this.#pingAt > SILENT_MS) this.#setState('silent');
    } else if (now - this.#heardAt > PING_MS) {
      this.#pingAt = now;
      this.#post(codec.handshake(codec.REPLIES_IN_ANY_ORDER));
    }
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
    if (this.#window && !this.#window.closed) this.#window.close();
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
    if (state !== 'answering') this.#failAll(new AgentError('not-answering', this.reason));
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

  // The call is settled, or about to be: its time-out and abort listener go.
  #done(p) {
    clearTimeout(p.timer);
    p.signal?.removeEventListener('abort', p.onAbort);
  }

  #failAll(error) {
    const calls = [...this.#inFlight.values(), ...this.#queue];
    this.#inFlight.clear();
    this.#queue = [];
    for (const p of calls) {
      this.#done(p);
      p.reject(error);
    }
  }

  // The page gave up on `p`. A call still in the page is dropped; one the agent has is left to
  // run, its reply dropped, and where it waits for a status change on its context, or is queued
  // behind such a wait, a Cancel on that context ends the wait.
  #giveUp(p, error) {
    this.#done(p);
    const queued = this.#queue.indexOf(p);
    if (queued >= 0) {
      this.#queue.splice(queued, 1);
    } else if (this.#inFlight.delete(p.id)) {
      const behindWait = (q) => q.waits && q.id < p.id && sameBytes(q.context, p.context);
      if (p.context && (p.waits || [...this.#inFlight.values()].some(behindWait)))
        this.#post(codec.encodeCall(codec.cancel(p.context), this.#nextId()));
    } else {
      return;  // settled meanwhile
    }
    p.reject(error);
    this.#next();
  }

  #next() {
    while (this.#queue.length && (this.anyOrder || this.#inFlight.size === 0)) {
      const p = this.#queue.shift();
      p.id = this.#nextId();
      this.#inFlight.set(p.id, p);
      this.#post(codec.encodeMessage(p.ioctl, p.input, p.id));
    }
  }

  #receive(event) {
    if (this.direct || event.source !== this.#window || event.origin !== AGENT_ORIGIN) return;
    this.#deliver(event.data);
  }

  #deliver(data) {
    if (!(data instanceof ArrayBuffer)) return;
    this.#heard = true;
    this.#heardAt = performance.now();
    if (codec.isHandshakeReply(data)) {
      if (!this.#handshake) return;  // an answer to a ping, or to a repeated handshake
      this.#stopHandshake();
      this.anyOrder = Boolean(codec.grantedFlags(data) & codec.REPLIES_IN_ANY_ORDER);
      this.#setState('answering');
      return this.#settle(true);
    }
    let completion;
    try {
      completion = codec.readCompletion(data);
    } catch {
      return;  // not a completion: nothing to pair it with
    }
    const p = this.#inFlight.get(completion.completionId);
    // A reply that pairs with no call in flight (the page gave up on its call) is dropped.
    if (!p) return;
    this.#inFlight.delete(p.id);
    this.#done(p);
    p.resolve({ ioStatus: completion.ioStatus, output: completion.output });
    this.#next();
  }
}
