// The web client's API as a TypeScript client uses it, checked against web/*.d.ts by tsc: a
// device-redirection handler that forwards each request, typed calls, and uses to refuse.
import { AgentError, BridgeClient, type Completion } from '../../web/bridge-client.js';
import * as codec from '../../web/scard-codec.js';

const client = new BridgeClient();
client.addEventListener('state', (event) => console.log(event.detail.toUpperCase(), client.reason));

async function onDeviceControl(ioControlCode: number, input: Uint8Array): Promise<Completion | string> {
  if (!(await client.open({ direct: true }))) return client.reason;
  const { context } = await client.call(codec.establishContext(), Infinity);
  const select = [0x00, 0xa4, 0x04, 0x00, 0x00];
  if (context) await client.call(codec.transmit({ context, handle: context }, 2, select));
  return client.forward(ioControlCode, input, { signal: AbortSignal.timeout(1000) })
    .catch((error) => (error instanceof AgentError && error.code === 'queue-full' ? 'busy' : 'failed'));
}
void onDeviceControl;

// @ts-expect-error: the input buffer is bytes, not text
void client.forward(0x00090014, 'input');
// @ts-expect-error: no such option
void client.forward(0x00090014, new Uint8Array(), { timeout: 5 });
// @ts-expect-error: the character forms are A and W
codec.listReaders(new Uint8Array(), undefined, 'X');
// @ts-expect-error: the output is bytes
export const text: string = (await client.forward(0, new Uint8Array())).output;
