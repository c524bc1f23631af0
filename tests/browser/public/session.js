// Plays the recorded calls of a session (session-ioctls.json: a remote-desktop server's device
// I/O requests, W forms as Windows sends them) through `send(ioControlCode, input)`, which
// resolves to { ioStatus, output }. The references the agent hands out are put into the later
// calls in place of their {names}, and named again in the outputs, so that two runs compare.
// A step is awaited before the next unless `async`; `afterMs` holds it until then from the start.
const hex = (bytes) => Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join(' ');
const bytesOf = (text) => Uint8Array.from(text.match(/[0-9a-f]{2}/g), (b) => parseInt(b, 16));
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export async function playSession(send) {
  const steps = await (await fetch('/test/session-ioctls.json')).json();
  const names = {};
  const results = [];
  const running = [];
  const start = performance.now();
  for (const [i, step] of steps.entries()) {
    if (step.afterMs) await sleep(step.afterMs - (performance.now() - start));
    const input = bytesOf(step.input.replace(/\{(\w+)\}/g, (_, name) => names[name]));
    const sent = performance.now();
    const done = send(Number(step.ioctl), input).then(({ ioStatus, output }) => {
      if (step.gives) names[step.gives.name] = hex(output.slice(step.gives.at, step.gives.at + 8));
      results[i] = { what: step.what, ioStatus, output: hex(output), ms: performance.now() - sent };
    });
    if (step.async) running.push(done);
    else await done;
  }
  await Promise.all(running);
  for (const result of results) {
    for (const [name, bytes] of Object.entries(names)) result.output = result.output.replaceAll(bytes, `{${name}}`);
  }
  return results;
}

// The agent's own answers, straight over a WebSocket of the page's: the handshake asks for
// replies in any order, and each reply is paired with its call by the CompletionId.
export function agentSocket() {
  const socket = new WebSocket('ws://127.0.0.1:8095/');
  socket.binaryType = 'arraybuffer';
  const waiting = new Map();
  let id = 0;
  socket.onmessage = ({ data }) => {
    const view = new DataView(data);
    if (data.byteLength < 22) return;
    const length = view.getUint32(18, true);
    waiting.get(view.getUint32(10, true))?.({ ioStatus: view.getUint32(14, true),
                                              output: new Uint8Array(data, 22, length) });
  };
  const opened = new Promise((resolve) => {
    socket.onopen = () => socket.send(Uint8Array.of(3, 1, 1));
    socket.addEventListener('message', resolve, { once: true });
  });
  const send = async (ioctl, input) => {
    await opened;
    const message = new Uint8Array(14 + input.length);
    const view = new DataView(message.buffer);
    message.set([3, 3]);
    view.setUint32(2, ioctl, true);
    view.setUint32(10, ++id, true);
    message.set(input, 14);
    const reply = new Promise((resolve) => waiting.set(id, resolve));
    socket.send(message);
    return reply;
  };
  return { send, close: () => socket.close() };
}

// An input buffer: the NDR type headers and a Context_Call with the context `bytes` (none: null).
export function contextCall(bytes) {
  const body = bytes.length ? [8, 0, 0, 0, 0, 0, 2, 0, 8, 0, 0, 0, ...bytes, 0, 0, 0, 0] : [0, 0, 0, 0, 0, 0, 0, 0];
  return [1, 16, 8, 0, 0xcc, 0xcc, 0xcc, 0xcc, body.length, 0, 0, 0, 0, 0, 0, 0, ...body];
}
