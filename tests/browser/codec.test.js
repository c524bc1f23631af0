// Byte-exact tests of the web client's call codec (web/scard-codec.js) and its code names.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';

import * as codec from '../../web/scard-codec.js';
import { returnCodeText, readerStateText, cardStateText, protocolText, statusWordText }
  from '../../web/scard-codes.js';

const hex = (text) => Uint8Array.from(text.match(/[0-9a-f]{2}/gi) ?? [], (b) => parseInt(b, 16));
// UTF-16LE, as the W calls carry text.
const wide = (text) => [...text].map((c) => c.charCodeAt(0).toString(16).padStart(2, '0') + ' 00').join(' ');
const ascii = (text) => [...text].map((c) => c.charCodeAt(0).toString(16).padStart(2, '0')).join(' ');
const toHex = (buffer) => [...new Uint8Array(buffer)].map((b) => b.toString(16).padStart(2, '0')).join(' ');
const sameBytes = (actual, expected) => assert.equal(toHex(actual), toHex(hex(expected)));

const CONTEXT = hex('01 a0 00 00 00 00 00 00');
const CARD = { context: CONTEXT, handle: hex('02 00 01 00 00 00 00 00') };
const FIRST = 'Virtual PCD 00 00';
const ATR = '3b 80 80 01 01';

// The NDR part of a call as the agent receives it; its ObjectBufferLength comes first.
const ndr = (objectBufferLength, body) =>
  `01 10 08 00 cc cc cc cc ${objectBufferLength} 00 00 00 00 ${body}`;

// A reply as the agent writes it for CompletionId 5, DeviceId 1; `body` starts at ReturnCode.
function reply(body) {
  const b = hex(body);
  const le = (v) => [0, 8, 16, 24].map((s) => ((v >>> s) & 0xff).toString(16).padStart(2, '0')).join(' ');
  return hex(`03 03 72 44 43 49 01 00 00 00 05 00 00 00 00 00 00 00 ${le(b.length + 16)}
              01 10 08 00 cc cc cc cc ${le(b.length)} 00 00 00 00 ${body}`).buffer;
}

test('calls are framed with prefix, code, identifiers and both NDR headers', () => {
  sameBytes(codec.encodeCall(codec.establishContext(), 5, 1),
    `03 03 14 00 09 00 01 00 00 00 05 00 00 00 ${ndr('08 00 00 00', '02 00 00 00 00 00 00 00')}`);
});

// A forwarded request goes out as given, its completion comes back as the agent wrote it, and
// the context a call waits on is read where the call's structure puts it.
test('a forwarded input is framed as it stands, and its completion read as it came', () => {
  sameBytes(codec.encodeMessage(0x000900e0, hex('00 00 00 00'), 9),
            '03 03 e0 00 09 00 00 00 00 00 09 00 00 00 00 00 00 00');
  const data = new Uint8Array(reply('22 00 10 80 00 00 00 00'));
  data[14] = 0x0d;  // IoStatus
  assert.equal(codec.readCompletion(data.buffer).ioStatus, 0x0d);
  sameBytes(codec.readCompletion(data.buffer).output, ndr('08 00 00 00', '22 00 10 80 00 00 00 00'));
  assert.throws(() => codec.readCompletion(data.slice(0, 40).buffer), RangeError);
});
test('the context of a call that opens with one is found; others have none', () => {
  for (const [c, context] of [[codec.getStatusChange(CONTEXT, 0x7fffffff, [], 'W'), CONTEXT],
    [codec.listReaders(CONTEXT, undefined, 'W', { groups: ['g'] }), CONTEXT],
    [codec.isValidContext(new Uint8Array()), undefined], [codec.connect(CONTEXT, FIRST), undefined]])
    assert.deepEqual(codec.contextOf(c.ioctl, codec.callInput(c)), context, c.name);
  const cut = codec.callInput(codec.cancel(CONTEXT)).slice(0, 30);
  assert.equal(codec.contextOf(codec.IOCTL.CANCEL, cut), undefined);
});

test('a reply is paired with its call by the CompletionId, read before anything else', () => {
  assert.equal(codec.replyCompletionId(reply('00 00 00 00 00 00 00 00')), 5);
  for (const other of ['03 02', '03 03 72 44 43 49 01 00 00 00 05 00 00'])
    assert.equal(codec.replyCompletionId(hex(other).buffer), undefined, other);
});

test('the handshake is 03 01, with flags offered after it, and 03 02 answers it', () => {
  sameBytes(codec.handshake(), '03 01');
  sameBytes(codec.handshake(codec.REPLIES_IN_ANY_ORDER), '03 01 01');
  for (const [answer, flags] of [['03 02', 0], ['03 02 00', 0], ['03 02 01', codec.REPLIES_IN_ANY_ORDER]]) {
    assert.ok(codec.isHandshakeReply(hex(answer).buffer), answer);
    assert.equal(codec.grantedFlags(hex(answer).buffer), flags, answer);
  }
  for (const other of ['03 03', '03 02 01 00', '03']) {
    assert.ok(!codec.isHandshakeReply(hex(other).buffer), other);
    assert.equal(codec.grantedFlags(hex(other).buffer), undefined, other);
  }
});

// Each call body (from offset 30), as the agent reads it.
const callCases = [
  ['establish context', codec.establishContext(2), '02 00 00 00 00 00 00 00'],
  ['release context', codec.releaseContext(CONTEXT),
    '08 00 00 00 00 00 02 00 08 00 00 00 01 a0 00 00 00 00 00 00 00 00 00 00'],
  ['is valid context', codec.isValidContext(CONTEXT),
    '08 00 00 00 00 00 02 00 08 00 00 00 01 a0 00 00 00 00 00 00 00 00 00 00'],
  ['list readers', codec.listReaders(CONTEXT),
    `08 00 00 00 00 00 02 00  00 00 00 00 00 00 00 00  00 00 00 00 00 00 01 00
     08 00 00 00 01 a0 00 00 00 00 00 00 00 00 00 00`],
  ['status change: a reader and the notification entry', codec.getStatusChange(CONTEXT, 500, [
    { reader: FIRST, currentState: 0x00010010, atr: hex(ATR) },
    { reader: codec.PNP_NOTIFICATION, currentState: 0 }]),
    `08 00 00 00 00 00 02 00  f4 01 00 00 02 00 00 00 04 00 02 00
     08 00 00 00 01 a0 00 00 00 00 00 00
     02 00 00 00
     08 00 02 00 10 00 01 00 00 00 00 00 05 00 00 00 ${ATR} ${'00 '.repeat(31)}
     0c 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 ${'00 '.repeat(36)}
     12 00 00 00 00 00 00 00 12 00 00 00 ${ascii(FIRST)} 00 00 00
     15 00 00 00 00 00 00 00 15 00 00 00 ${ascii('\\\\?PnP?\\Notification')} 00 00 00 00`],
  ['connect', codec.connect(CONTEXT, FIRST),
    `00 00 02 00 08 00 00 00 04 00 02 00 02 00 00 00 03 00 00 00
     12 00 00 00 00 00 00 00 12 00 00 00 ${ascii(FIRST)} 00 00 00
     08 00 00 00 01 a0 00 00 00 00 00 00`],
  ['disconnect', codec.disconnect(CARD),
    `08 00 00 00 00 00 02 00 08 00 00 00 04 00 02 00 00 00 00 00
     08 00 00 00 01 a0 00 00 00 00 00 00 08 00 00 00 02 00 01 00 00 00 00 00 00 00 00 00`],
  ['status', codec.status(CARD),
    `08 00 00 00 00 00 02 00 08 00 00 00 04 00 02 00 00 00 00 00 ff ff ff ff 20 00 00 00
     08 00 00 00 01 a0 00 00 00 00 00 00 08 00 00 00 02 00 01 00 00 00 00 00 00 00 00 00`],
  ['transmit: a 5-byte command, no PCI extra bytes, no receive PCI',
    codec.transmit(CARD, codec.PROTOCOL_T1, hex('00 a4 04 00 00')),
    `08 00 00 00 00 00 02 00 08 00 00 00 04 00 02 00
     02 00 00 00 00 00 00 00 00 00 00 00 05 00 00 00 08 00 02 00
     00 00 00 00 00 00 00 00 02 01 00 00
     08 00 00 00 01 a0 00 00 00 00 00 00 08 00 00 00 02 00 01 00 00 00 00 00
     05 00 00 00 00 a4 04 00 00 00 00 00 00 00 00 00`],
  ['transmit: an empty command has a null send buffer', codec.transmit(CARD, 1, new Uint8Array()),
    `08 00 00 00 00 00 02 00 08 00 00 00 04 00 02 00
     01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
     00 00 00 00 00 00 00 00 02 01 00 00
     08 00 00 00 01 a0 00 00 00 00 00 00 08 00 00 00 02 00 01 00 00 00 00 00`],
  ['begin transaction', codec.beginTransaction(CARD),
    `08 00 00 00 00 00 02 00 08 00 00 00 04 00 02 00 00 00 00 00
     08 00 00 00 01 a0 00 00 00 00 00 00 08 00 00 00 02 00 01 00 00 00 00 00 00 00 00 00`],
  ['list readers of a group, the length alone', codec.listReaders(CONTEXT, 0, 'A',
    { groups: ['SCard$DefaultReaders'], namesIsNull: true }),
    `08 00 00 00 00 00 02 00 16 00 00 00 04 00 02 00 01 00 00 00 00 00 00 00
     08 00 00 00 01 a0 00 00 00 00 00 00 16 00 00 00 ${ascii('SCard$DefaultReaders')} 00 00 00 00`],
  ['status, the names\' length alone', codec.status(CARD, 32, 'A', { namesIsNull: true, cchReaderLen: 0 }),
    `08 00 00 00 00 00 02 00 08 00 00 00 04 00 02 00 01 00 00 00 00 00 00 00 20 00 00 00
     08 00 00 00 01 a0 00 00 00 00 00 00 08 00 00 00 02 00 01 00 00 00 00 00 00 00 00 00`],
  ['transmit: send PCI extra bytes, a receive PCI, no receive buffer',
    codec.transmit(CARD, 2, hex('00 b0 00 00 00'), 0,
      { sendPciExtra: hex('aa bb'), recvPci: { protocol: 2, extra: hex('cc') }, recvBufferIsNull: true }),
    `08 00 00 00 00 00 02 00 08 00 00 00 04 00 02 00
     02 00 00 00 02 00 00 00 08 00 02 00 05 00 00 00 0c 00 02 00
     10 00 02 00 01 00 00 00 00 00 00 00
     08 00 00 00 01 a0 00 00 00 00 00 00 08 00 00 00 02 00 01 00 00 00 00 00
     02 00 00 00 aa bb 00 00 05 00 00 00 00 b0 00 00 00 00 00 00
     02 00 00 00 01 00 00 00 14 00 02 00 01 00 00 00 cc 00 00 00`],
];

// The W forms: the same calls with UTF-16LE names counted in 16-bit units.
callCases.push(
  ['list readers, W form (SCARD_AUTOALLOCATE)', codec.listReaders(CONTEXT, undefined, 'W'),
    `08 00 00 00 00 00 02 00  00 00 00 00 00 00 00 00  00 00 00 00 ff ff ff ff
     08 00 00 00 01 a0 00 00 00 00 00 00 00 00 00 00`],
  ['status change, W form', codec.getStatusChange(CONTEXT, 0xffffffff, [
    { reader: FIRST, currentState: 0 },
    { reader: codec.PNP_NOTIFICATION, currentState: 0x00020000 }], 'W'),
    `08 00 00 00 00 00 02 00  ff ff ff ff 02 00 00 00 04 00 02 00
     08 00 00 00 01 a0 00 00 00 00 00 00
     02 00 00 00
     08 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 ${'00 '.repeat(36)}
     0c 00 02 00 00 00 02 00 00 00 00 00 00 00 00 00 ${'00 '.repeat(36)}
     12 00 00 00 00 00 00 00 12 00 00 00 ${wide(FIRST)} 00 00
     15 00 00 00 00 00 00 00 15 00 00 00 ${wide('\\\\?PnP?\\Notification')} 00 00 00 00 00 00 00 00`],
  ['connect, W form', codec.connect(CONTEXT, FIRST, codec.SHARE_SHARED, 3, 'W'),
    `00 00 02 00 08 00 00 00 04 00 02 00 02 00 00 00 03 00 00 00
     12 00 00 00 00 00 00 00 12 00 00 00 ${wide(FIRST)} 00 00
     08 00 00 00 01 a0 00 00 00 00 00 00`],
);
for (const [name, ioctl, c] of [['ListReadersW', 0x0009002c, codec.listReaders(CONTEXT, undefined, 'W')],
  ['GetStatusChangeW', 0x000900a4, codec.getStatusChange(CONTEXT, 0, [], 'W')],
  ['ConnectW', 0x000900b0, codec.connect(CONTEXT, FIRST, 2, 3, 'W')],
  ['StatusW', 0x000900cc, codec.status(CARD, 32, 'W')]]) {
  test(`the W form has its own control code: ${name}`, () => {
    assert.equal(c.name, name);
    assert.equal(c.ioctl, ioctl);
  });
}
test('a character form other than A and W is refused', () => {
  assert.throws(() => codec.listReaders(CONTEXT, undefined, 'X'), RangeError);
});

for (const [name, call, body] of callCases) {
  test(`call body: ${name}`, () => {
    const message = new Uint8Array(codec.encodeCall(call, 7));
    const view = new DataView(message.buffer);
    assert.equal(view.getUint32(2, true), call.ioctl);
    assert.equal(view.getUint32(22, true), message.length - 30, 'ObjectBufferLength');
    assert.equal((message.length - 30) % 8, 0, 'object buffer padded to 8');
    sameBytes(message.slice(30), body);
  });
}

const names = `${ascii(FIRST)} 00 ${ascii('Virtual PCD 00 01')} 00 00`;
const replyCases = [
  ['establish context', codec.establishContext(),
    '00 00 00 00 08 00 00 00 00 00 02 00 08 00 00 00 01 a0 00 00 00 00 00 00',
    { context: CONTEXT }],
  ['release context', codec.releaseContext(CONTEXT), '00 00 00 00 00 00 00 00', {}],
  ['list readers', codec.listReaders(CONTEXT),
    `00 00 00 00 25 00 00 00 00 00 02 00 25 00 00 00 ${names} 00 00 00`,
    { cBytes: 0x25, readers: [FIRST, 'Virtual PCD 00 01'] }],
  ['status change', codec.getStatusChange(CONTEXT, 0, [
    { reader: FIRST, currentState: 0 }, { reader: codec.PNP_NOTIFICATION, currentState: 0 }]),
    `00 00 00 00 02 00 00 00 00 00 02 00 02 00 00 00
     00 00 00 00 22 00 01 00 05 00 00 00 ${ATR} ${'00 '.repeat(31)}
     00 00 01 00 00 00 01 00 00 00 00 00 ${'00 '.repeat(36)}`,
    { states: [
      { reader: FIRST, currentState: 0, eventState: 0x00010022, atr: hex(ATR) },
      { reader: codec.PNP_NOTIFICATION, currentState: 0x10000, eventState: 0x10000, atr: hex('') }] }],
  ['connect', codec.connect(CONTEXT, FIRST),
    `00 00 00 00 00 00 00 00 00 00 00 00 08 00 00 00 02 00 02 00 02 00 00 00
     08 00 00 00 02 00 01 00 00 00 00 00 00 00 00 00`,
    { card: { context: hex(''), handle: CARD.handle }, protocol: 2 }],
  ['status', codec.status(CARD),
    `00 00 00 00 13 00 00 00 00 00 02 00 54 00 00 00 02 00 00 00 ${ATR} ${'00 '.repeat(27)}
     05 00 00 00 13 00 00 00 ${ascii(FIRST)} 00 00 00`,
    { cBytes: 0x13, readers: [FIRST], state: 0x54, protocol: 2, atr: hex(ATR) }],
  ['transmit without receive PCI', codec.transmit(CARD, 2, hex('00 a4 04 00 00')),
    '00 00 00 00 00 00 00 00 02 00 00 00 04 00 02 00 02 00 00 00 6a 82 00 00 00 00 00 00',
    { recvPci: null, response: hex('6a 82') }],
  ['transmit with a receive PCI and its extra bytes', codec.transmit(CARD, 2, hex('00 b0 00 00 00')),
    `00 00 00 00 00 00 02 00 03 00 00 00 04 00 02 00
     02 00 00 00 02 00 00 00 08 00 02 00 02 00 00 00 aa bb 00 00
     03 00 00 00 01 90 00 00 00 00 00 00`,
    { recvPci: { protocol: 2, extra: hex('aa bb') }, response: hex('01 90 00') }],
];

// W replies: the multi-strings are UTF-16LE, counted in bytes.
const wideNames = `${wide(FIRST)} 00 00 ${wide('Virtual PCD 00 01')} 00 00 00 00`;
replyCases.push(
  ['list readers, W form', codec.listReaders(CONTEXT, undefined, 'W'),
    `00 00 00 00 4a 00 00 00 00 00 02 00 4a 00 00 00 ${wideNames} 00 00 00 00 00 00`,
    { cBytes: 0x4a, readers: [FIRST, 'Virtual PCD 00 01'] }],
  ['status, W form', codec.status(CARD, 32, 'W'),
    `00 00 00 00 26 00 00 00 00 00 02 00 06 00 00 00 02 00 00 00 ${ATR} ${'00 '.repeat(27)}
     05 00 00 00 26 00 00 00 ${wide(FIRST)} 00 00 00 00 00 00`,
    { cBytes: 0x26, readers: [FIRST], state: 6, protocol: 2, atr: hex(ATR) }],
);

for (const [name, call, body, expected] of replyCases) {
  test(`reply: ${name}`, () => {
    assert.deepEqual(codec.decodeReply(call, reply(body)),
      { deviceId: 1, completionId: 5, returnCode: 0, ...expected });
  });
}

test('a failed call is decoded to its ReturnCode alone, whatever the call', () => {
  const longReturn = reply('0c 00 10 80 00 00 00 00');
  const failedConnect = reply(`0c 00 10 80 ${'00 '.repeat(20)}`);
  for (const [call, data] of [[codec.status(CARD), longReturn], [codec.connect(CONTEXT, FIRST), failedConnect]])
    assert.deepEqual(codec.decodeReply(call, data), { deviceId: 1, completionId: 5, returnCode: 0x8010000c });
});

test('malformed replies are refused, never read past their end', () => {
  const full = new Uint8Array(reply('00 00 00 00 08 00 00 00 00 00 02 00 08 00 00 00 01 a0 00 00'));
  const lyingLength = full.slice();
  lyingLength[30] = 0xff;
  const wrongHead = full.slice();
  wrongHead[2] = 0;
  const cases = [
    ['handshake reply', hex('03 02').buffer],
    ['head only', full.slice(0, 38).buffer],
    ['ObjectBufferLength past the end', lyingLength.buffer],
    ['not a device I/O completion', wrongHead.buffer],
    ['context bytes cut short', full.buffer],
    ['array count differs from its length', reply('00 00 00 00 08 00 00 00 00 00 02 00 04 00 00 00 01 a0 00 00')],
  ];
  for (const [name, data] of cases)
    assert.throws(() => codec.decodeReply(codec.establishContext(), data), RangeError, name);
});

test('status change refuses a reply for another number of readers', () => {
  const call = codec.getStatusChange(CONTEXT, 0, [{ reader: FIRST, currentState: 0 }]);
  assert.throws(() => codec.decodeReply(call, reply('00 00 00 00 00 00 00 00 00 00 02 00 00 00 00 00')),
    RangeError);
});

test('every return code is shown by its name and code, unknown ones too', () => {
  const cases = [
    [0, 'SCARD_S_SUCCESS (0x00000000)'],
    [0x8010000c, 'SCARD_E_NO_SMARTCARD (0x8010000C)'],
    [0x80100022, 'SCARD_E_UNSUPPORTED_FEATURE (0x80100022)'],
    [0x80100069, 'SCARD_W_REMOVED_CARD (0x80100069)'],
    [0x8010002e, 'SCARD_E_NO_READERS_AVAILABLE (0x8010002E)'],
    [-2146435062, 'SCARD_E_TIMEOUT (0x8010000A)'],
    [0x80109999, 'unknown return code (0x80109999)'],
  ];
  for (const [code, text] of cases) assert.equal(returnCodeText(code), text);
});

test('states, protocols and status words are named', () => {
  const cases = [
    [readerStateText(0x00030122), 'SCARD_STATE_CHANGED SCARD_STATE_PRESENT SCARD_STATE_INUSE'],
    [readerStateText(0), 'SCARD_STATE_UNAWARE'],
    [cardStateText(6), 'SCARD_SPECIFIC (0x00000006)'],
    [cardStateText(0), 'SCARD_UNKNOWN (0x00000000)'],
    [cardStateText(0x54), 'unknown card state (0x00000054)'],
    [protocolText(0x10000), 'raw'],
    [protocolText(2), 'T=1'],
    [protocolText(0), 'none (0x00000000)'],
    [statusWordText(0x6a82), 'file or application not found'],
    [statusWordText(0x6110), 'response bytes still available'],
    [statusWordText(0x1234), ''],
  ];
  for (const [actual, expected] of cases) assert.equal(actual, expected);
});

// web/ as a package: every export of its package.json is there, with a declaration for each name
// the module exports (tsc checks the declarations themselves: tests/browser/types.ts).
test('the package exports each module with declarations for all it exports', async () => {
  const web = new URL('../../web/', import.meta.url);
  const { exports } = JSON.parse(fs.readFileSync(new URL('package.json', web), 'utf8'));
  for (const { types, default: module } of Object.values(exports)) {
    const declared = [...fs.readFileSync(new URL(types, web), 'utf8')
      .matchAll(/^export declare (?:const|function|class) (\w+)/gm)].map((m) => m[1]);
    assert.deepEqual(declared.sort(), Object.keys(await import(new URL(module, web))).sort(), module);
  }
});

// The codec's I/O control codes are the agent's own list (src/smartcard/wire/ioctls.h), by name.
test('the codes are those of the agent\'s list', () => {
  const list = fs.readFileSync(new URL('../../src/smartcard/wire/ioctls.h', import.meta.url), 'utf8');
  const numbers = Object.fromEntries([...list.matchAll(/uint32_t (\w+) = (0x[0-9A-F]{8});/g)]
    .map(([, constant, value]) => [constant, Number(value)]));
  const agent = Object.fromEntries([...list.matchAll(/Ioctl\{ioctl::(\w+), "SCARD_IOCTL_(\w+)"/g)]
    .map(([, constant, name]) => [name, numbers[constant]]));
  assert.equal(Object.keys(agent).length, 47);
  for (const [name, code] of Object.entries(codec.IOCTL)) assert.equal(code, agent[name], name);
});
