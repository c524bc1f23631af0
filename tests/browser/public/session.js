// Plays the recorded calls of a session (session-ioctls.json: a remote-desktop server's device
// I/O requests, W forms as Windows sends them) through `send(ioControlCode, input)`, resolving to
// { ioStatus, output }. The references the agent hands out replace their {names} in later calls
// and are named again in the outputs, so that two runs compare. A step is awaited before the
// next unless `async`; `afterMs` holds it until then from the start.
const hex = (bytes) => Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join(' ');
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export async function playSession(send) {
  const steps = await (await fetch('/test/session-ioctls.json')).json();
  const names = {};
  const results = [];
  const running = [];
  const start = performance.now();
  for (const [i, step] of steps.entries()) {
    await sleep((step.afterMs ?? 0) - (performance.now() - start));
    const input = step.input.replace(/\{(\w+)\}/g, (_, name) => names[name]).split(' ')
      .map((b) => parseInt(b, 16));
    const sent = performance.now();
    const done = send(Number(step.ioctl), Uint8Array.from(input)).then(({ ioStatus, output }) => {
      if (step.gives) names[step.gives.name] = hex(output.slice(step.gives.at, step.gives.at + 8));
      results[i] = { what: step.what, ioStatus, output: hex(output), ms: performance.now() - sent };
    });
    running.push(done);
    if (!step.async) await done;
  }
  await Promise.all(running);
  for (const [name, bytes] of Object.entries(names))
    for (const result of results) result.output = result.output.replaceAll(bytes, `{${name}}`);
  return results;
}

// The agent's own answers, straight over a WebSocket of the page's (replies in any order).
export function agentSocket() {
  const socket = new WebSocket('ws://127.0.0.1:8095/');
  socket.binaryType = 'arraybuffer';
  const waiting = new Map();
  const opened = new Promise((resolve) => { socket.onmessage = resolve; });
  socket.onopen = () => socket.send(Uint8Array.of(3, 1, 1));
  const send = async (ioctl, input) => {
    await opened;
    socket.onmessage = ({ data }) => {
      const view = new DataView(data);
      waiting.get(view.getUint32(10, true))?.({ ioStatus: view.getUint32(14, true),
                                                output: new Uint8Array(data, 22, view.getUint32(18, true)) });
    };
    const message = new Uint8Array(14 + input.length);
    message.set([3, 3]);
    new DataView(message.buffer).setUint32(2, ioctl, true);
    new DataView(message.buffer).setUint32(10, waiting.size + 1, true);
    message.set(input, 14);
    const reply = new Promise((resolve) => waiting.set(waiting.size + 1, resolve));
    socket.send(message);
    return reply;
  };
  return { send, close: () => socket.close() };
}

