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
  // True when the agent answers calls in any order (it granted the handshake flag): calls go out
  // at once, the agent runs those on different contexts side by side, and each reply is paired
  // with its call by the CompletionId. An agent that does not grant it handles the calls one at
  // a time, in order: a call is then sent only after the previous reply has come, which keeps
  // each one's time its own.
  anyOrder = false;
  #handshake = null;   // { resolve, timer } while the handshake is out
  #queue = [];
  #inFlight = new Map();  // CompletionId -> call
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
        this.#post(codec.handshake(codec.REPLIES_IN_ANY_ORDER));
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
  // not be received any more. The agent still carries it out after the calls before it (on its
  // context, when replies come in any order).
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

  #stopHandshake(answered, flags = 0) {
    if (!this.#handshake) return;
    this.anyOrder = Boolean(flags & codec.REPLIES_IN_ANY_ORDER);
    clearTimeout(this.#handshake.timer);
    this.#handshake.resolve(answered);
    this.#handshake = null;
    this.#setState(answered ? 'answering' : 'silent');
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
      if (this.state !== 'answering') return this.#failAll(new Error('the agent is not answering'));
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
    if (event.source !== this.#window || event.origin !== AGENT_ORIGIN ||
        !(event.data instanceof ArrayBuffer)) return;
    if (codec.isHandshakeReply(event.data))
      return this.#stopHandshake(true, codec.grantedFlags(event.data));
    const id = codec.replyCompletionId(event.data);
    const p = this.#inFlight.get(id);
    // A reply that pairs with no call in flight (its call timed out) is dropped.
    if (!p) return;
    clearTimeout(p.timer);
    this.#inFlight.delete(id);
    try {
      p.resolve({ ...codec.decodeReply(p.c, event.data), ms: performance.now() - p.started });
    } catch (error) {
      p.reject(new Error(`${p.c.name}: ${error.message}`));
    }
    this.#next();
  }
}
