// The web client's public API as a TypeScript client uses it, checked against web/*.d.ts by
// tsc (tests/browser/tsconfig.json): a device-redirection handler that forwards each request, a
// typed call, and uses the declarations must refuse.
import { AgentError, BridgeClient, MAX_PENDING_CALLS, type BridgeState, type Completion } from '../../web/bridge-client.js';
import * as codec from '../../web/scard-codec.js';
import { returnCodeText } from '../../web/scard-codes.js';

const client = new BridgeClient();
client.addEventListener('state', (event) => {
  const state: BridgeState = event.detail;
  console.log(state, client.reason, MAX_PENDING_CALLS);
});

async function onDeviceControl(ioControlCode: number, input: Uint8Array): Promise<Completion> {
  try {
    return await client.forward(ioControlCode, input, { signal: new AbortController().signal });
  } catch (error) {
    if (error instanceof AgentError && error.code === 'queue-full') throw error;
    throw error;
  }
}

async function typed(): Promise<string> {
  if (!(await client.open({ direct: true }))) return client.reason;
  const { context } = await client.call(codec.establishContext());
  if (!context) return 'no context';
  const reply = await client.call(codec.connect(context, 'Reader', codec.SHARE_SHARED), Infinity);
  const card = reply.card;
  if (card) await client.call(codec.transmit(card, reply.protocol ?? 2, [0x00, 0xa4, 0x04, 0x00, 0x00]));
  const completion = await onDeviceControl(codec.IOCTL.CANCEL, codec.callInput(codec.cancel(context)));
  return returnCodeText(new DataView(completion.output.buffer).getUint32(16, true));
}
void typed;

// @ts-expect-error: the input buffer is bytes, not text
void client.forward(0x00090014, 'input');
// @ts-expect-error: no such option
void client.forward(0x00090014, new Uint8Array(), { timeout: 5 });
// @ts-expect-error: the character forms are A and W
codec.listReaders(new Uint8Array(), undefined, 'X');
// @ts-expect-error: the output is bytes
const text: string = (await onDeviceControl(0, new Uint8Array())).output;
void text;
