// The page's end of the agent's bridge. Like a remote-desktop web client, the page opens the
// agent's bridge page in a window of its own and exchanges binary messages (ArrayBuffers) with
// it through postMessage; the bridge relays them over its WebSocket to the agent and posts the
// agent's replies back to its opener.
import * as codec from './scard-codec.js';

export const AGENT_ORIGIN = 'http://127.0.0.1:8095';

const HANDSHAKE_INTERVAL_MS = 500;
const HANDSHAKE_TRIES = 10;
const CALL_TIMEOUT_MS = 5000;

// States, told by a 'state' event: closed (no bridge window), waiting (the handshake is out),
// answering (the agent answered it), silent (no answer to the handshake or to a call).
export class BridgeClient extends EventTarget {
  state = 'closed';
  #window = null;
  #handshake = null;   // { resolve, timer } while the handshake is out
  // The agent handles the calls of one connection one at a time, in order. Sending a call only
  // after the previous reply has come keeps them paired and makes each one's time its own.
  #queue = [];
  #pending = null;
  #completionId = 0;

  constructor() {
    super();
    window.addEventListener('message', (event) => this.#receive(event));
    setInterval(() => {
      if (this.#window?.closed && this.state !== 'closed') this.#setState('closed');
    }, 1000);
  }

  // Opens (or reloads) the bridge window; resolves to true once the agent answers the handshake.
  open() {
    this.#stopHandshake(false);
    this.#failAll(new Error('the bridge was reopened'));
    this.#window = window.open(`${AGENT_ORIGIN}/bridge.html`, 'tolvane-bridge',
                               'popup,width=480,height=320');
    if (!this.#window) {
      this.#setState('closed');
      return Promise.resolve(false);
    }
    this.#setState('waiting');
    // Until the bridge page has loaded, messages for the agent's origin are dropped, and the
    // bridge cannot send before its socket is open: the handshake is repeated until answered.
    return new Promise((resolve) => {
      let tries = 0;
      const shake = () => {
        if (++tries > HANDSHAKE_TRIES) return this.#stopHandshake(false);
        this.#post(codec.handshake());
        this.#handshake.timer = setTimeout(shake, HANDSHAKE_INTERVAL_MS);
      };
      this.#handshake = { resolve, timer: 0 };
      shake();
    });
  }

  // Queues the call `c` (from scard-codec.js); resolves to its decoded reply, with `ms`, the time
  // from sending the call to its reply. Rejects when the agent does not answer in time.
  call(c, timeoutMs = CALL_TIMEOUT_MS) {
    return new Promise((resolve, reject) => {
      this.#queue.push({ c, timeoutMs, resolve, reject });
      this.#next();
    });
  }

  // Sends the call `c` at once and forgets it: for the page's last moments, when its reply could
  // not be received any more. The agent still carries it out after the calls before it.
  send(c) {
    if (this.state === 'answering') this.#post(codec.encodeCall(c, this.#nextId()));
  }

  #setState(state) {
    if (state === this.state) return;
    this.state = state;
    if (state !== 'answering') this.#failAll(new Error('the agent is not answering'));
    this.dispatchEvent(new CustomEvent('state', { detail: state }));
  }

  #post(message) {
    this.#window?.postMessage(message, AGENT_ORIGIN);
  }

  #nextId() {
    this.#completionId = (this.#completionId + 1) >>> 0;
    return this.#completionId;
  }

  #stopHandshake(answered) {
    if (!this.#handshake) return;
    clearTimeout(this.#handshake.timer);
    this.#handshake.resolve(answered);
    this.#handshake = null;
    this.#setState(answered ? 'answering' : 'silent');
  }

  #failAll(error) {
    const calls = this.#pending ? [this.#pending, ...this.#queue] : this.#queue;
    this.#pending = null;
    this.#queue = [];
    for (const p of calls) {
      clearTimeout(p.timer);
      p.reject(error);
    }
  }

  #next() {
    if (this.#pending || !this.#queue.length) return;
    if (this.state !== 'answering') return this.#failAll(new Error('the agent is not answering'));
    const p = this.#pending = this.#queue.shift();
    p.id = this.#nextId();
    p.timer = setTimeout(() => {
      this.#pending = null;
      p.reject(new Error(`${p.c.name}: no answer within ${p.timeoutMs} ms`));
      this.#setState('silent');
    }, p.timeoutMs);
    p.started = performance.now();
    this.#post(codec.encodeCall(p.c, p.id));
  }

  #receive(event) {
    if (event.source !== this.#window || event.origin !== AGENT_ORIGIN ||
        !(event.data instanceof ArrayBuffer)) return;
    if (codec.isHandshakeReply(event.data)) return this.#stopHandshake(true);
    const p = this.#pending;
    // A reply that pairs with no call in flight (its call timed out) is dropped.
    if (!p || codec.replyCompletionId(event.data) !== p.id) return;
    clearTimeout(p.timer);
    this.#pending = null;
    try {
      p.resolve({ ...codec.decodeReply(p.c, event.data), ms: performance.now() - p.started });
    } catch (error) {
      p.reject(new Error(`${p.c.name}: ${error.message}`));
    }
    this.#next();
  }
}
