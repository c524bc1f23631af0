// Encoding and decoding of the smart-card calls that the Tolvane agent relays: a reference for
// anyone writing a web client for the agent. No browser API is used, so node can test it too.
//
// A call travels as one binary message (an ArrayBuffer posted to the bridge window):
//
//   off  size
//    0    2   03 03           the agent's own prefix: class 3, kind 3 = smart-card call
//    2    4   IoControlCode   SCARD_IOCTL_... of MS-RDPESC, names the call
//    6    4   DeviceId        opaque, copied into the reply
//   10    4   CompletionId    opaque, copied into the reply: pairs a reply with its call
//   14    8   NDR Common Type Header 01 10 08 00 CC CC CC CC (MS-RPCE 2.2.6.1)
//   22    8   NDR Private Type Header: ObjectBufferLength, then a zero filler (MS-RPCE 2.2.6.2)
//   30        body: the ..._Call structure of MS-RDPESC, padded to a multiple of 8
//
// The reply is 03 03, the 36-byte head of a device I/O completion (MS-RDPEFS: component 72 44,
// packet id 43 49, DeviceId, CompletionId, IoStatus, OutputBufferLength, then the same two NDR
// headers), and from offset 38 the ..._Return body, always opening with the 32-bit ReturnCode.
// A failed call is answered with the Long_Return body (ReturnCode and one more word) whatever
// the call was, so the rest of a body is only decoded when ReturnCode is 0.
//
// Calls that carry text come in two character forms, as in MS-RDPESC: "A" (8-bit characters,
// one byte each) and "W" (UTF-16LE, the form a Windows server sends). A name is a conformant
// varying string counted in characters (bytes for A, 16-bit units for W); a multi-string in a
// reply is a byte array counted in bytes in both forms. Each such call takes the form as its
// last argument ('A' when left out).
//
// NDR in brief: integers are little-endian and 4-byte aligned. A pointer is a 32-bit referent
// id in place (0 = null; ids count up from 0x00020000 in steps of 4); what it points to follows
// the fixed part of the structure, in the order of the pointers. A conformant byte array is its
// count and the bytes; a conformant varying string adds an offset (0) and the actual count.
// A context (REDIR_SCARDCONTEXT) or card handle (REDIR_SCARDHANDLE) is such an array of
// reference bytes: the client sends back exactly the bytes the agent handed out.
//
// Separately, the handshake message 03 01 is answered with the two bytes 03 02. A client that
// pairs replies with calls by their CompletionId offers one byte of flags after it: 03 01 01
// asks for replies in any order, and an agent that grants it answers 03 02 01 (an older agent
// answers 03 02). The agent then carries out calls on different contexts side by side (a wait
// on one context no longer holds back the calls on another), and calls on one context still in
// the order sent; each reply comes when its call is done.

export const IOCTL = {
  ESTABLISHCONTEXT: 0x00090014,
  RELEASECONTEXT: 0x00090018,
  ISVALIDCONTEXT: 0x0009001c,
  LISTREADERSA: 0x00090028,
  LISTREADERSW: 0x0009002c,
  GETSTATUSCHANGEA: 0x000900a0,
  GETSTATUSCHANGEW: 0x000900a4,
  CANCEL: 0x000900a8,
  CONNECTA: 0x000900ac,
  CONNECTW: 0x000900b0,
  DISCONNECT: 0x000900b8,
  STATUSA: 0x000900c8,
  STATUSW: 0x000900cc,
  BEGINTRANSACTION: 0x000900bc,
  ENDTRANSACTION: 0x000900c0,
  TRANSMIT: 0x000900d0,
  CONTROL: 0x000900d4,
};

export const SCOPE_SYSTEM = 2;          // SCARD_SCOPE_SYSTEM
export const SHARE_SHARED = 2;          // SCARD_SHARE_SHARED
export const PROTOCOL_T0 = 1;           // SCARD_PROTOCOL_T0
export const PROTOCOL_T1 = 2;           // SCARD_PROTOCOL_T1
export const LEAVE_CARD = 0;            // SCARD_LEAVE_CARD
export const AUTOALLOCATE = 0xffffffff; // SCARD_AUTOALLOCATE
// The reader name by which a status-change wait also watches readers come and go.
export const PNP_NOTIFICATION = '\\\\?PnP?\\Notification';

// Offsets in a reply message: the OutputBuffer of the completion, and in it the _Return body
// behind the two NDR type headers.
const REPLY_OUTPUT = 22;
const OUTPUT_BODY = 16;
const FIRST_REFERENT = 0x00020000;
const TYPE_HEADERS = [0x01, 0x10, 0x08, 0x00, 0xcc, 0xcc, 0xcc, 0xcc];

// The bytes of an ArrayBuffer, a typed array or DataView, or an array of byte values.
export function toBytes(data) {
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  if (Array.isArray(data)) return Uint8Array.from(data);
  throw new TypeError('bytes wanted: an ArrayBuffer, a typed array, a DataView or an array');
}

// The two character forms: how a name is written (with its NUL) and how a multi-string of a
// reply is read. A: one byte a character. W: UTF-16LE, two bytes a unit.
const FORMS = {
  A: {
    unit: 1,
    name: (name) => Uint8Array.from(name + '\0', (c) => c.charCodeAt(0) & 0xff),
    text: (bytes) => String.fromCharCode(...bytes),
  },
  W: {
    unit: 2,
    name: (name) => {
      const text = name + '\0';
      const bytes = new Uint8Array(text.length * 2);
      for (let i = 0; i < text.length; i++) {
        bytes[2 * i] = text.charCodeAt(i) & 0xff;
        bytes[2 * i + 1] = text.charCodeAt(i) >>> 8;
      }
      return bytes;
    },
    text: (bytes) => new TextDecoder('utf-16le').decode(bytes.subarray(0, bytes.length & ~1)),
  },
};
function formOf(form) {
  const f = FORMS[form];
  if (!f) throw new RangeError(`character form ${form}: 'A' or 'W'`);
  return f;
}
const ioctlOf = (name, form) => IOCTL[name + form];
const multiString = (f, bytes) => f.text(bytes).split('\0').filter((name) => name.length > 0);
// Names as a multi-string: each with its NUL, and one more NUL to end the list.
const multiStringBytes = (f, names) => {
  const parts = [...names, ''].map((name) => f.name(name));
  const bytes = new Uint8Array(parts.reduce((n, part) => n + part.length, 0));
  parts.reduce((at, part) => (bytes.set(part, at), at + part.length), 0);
  return bytes;
};

class Writer {
  #bytes = [];
  #nextReferent = FIRST_REFERENT;

  u32(value) {
    for (let i = 0; i < 32; i += 8) this.#bytes.push((value >>> i) & 0xff);
  }
  referent() {
    this.u32(this.#nextReferent);
    this.#nextReferent += 4;
  }
  // A unique pointer to `count` elements: null when there are none.
  pointer(count) {
    if (count) this.referent();
    else this.u32(0);
  }
  raw(bytes) {
    for (const b of bytes) this.#bytes.push(b);
  }
  align(n) {
    while (this.#bytes.length % n) this.#bytes.push(0);
  }
  array(bytes) {
    this.u32(bytes.length);
    this.raw(bytes);
    this.align(4);
  }
  // A conformant varying string: maximum count, offset 0, actual count (in characters of
  // `unit` bytes), the characters.
  string(bytes, unit = 1) {
    const count = bytes.length / unit;
    this.u32(count);
    this.u32(0);
    this.u32(count);
    this.raw(bytes);
    this.align(4);
  }
  // Fixed part of a REDIR_SCARDCONTEXT: cbContext and the pbContext pointer.
  context(context) {
    this.u32(context.length);
    if (context.length) this.referent();
    else this.u32(0);
  }
  // Fixed part of a REDIR_SCARDHANDLE: its context, then cbHandle and the pbHandle pointer.
  handle(card) {
    this.context(card.context);
    this.u32(card.handle.length);
    this.referent();
  }
  // Deferred part of a REDIR_SCARDCONTEXT: nothing for a null pbContext.
  contextBytes(context) {
    if (context.length) this.array(context);
  }
  // Deferred part of a REDIR_SCARDHANDLE.
  handleBytes(card) {
    this.contextBytes(card.context);
    this.array(card.handle);
  }
  // MS-RPCE 2.2.6.2: the object buffer is padded to a multiple of 8.
  finish() {
    this.align(8);
    return Uint8Array.from(this.#bytes);
  }
}

class Reader {
  #bytes;
  #view;
  #pos = OUTPUT_BODY;

  constructor(bytes) {
    this.#bytes = bytes;
    this.#view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  }
  #need(n) {
    if (this.#pos + n > this.#bytes.length)
      throw new RangeError(`reply too short: ${n} bytes wanted at offset ${this.#pos}`);
  }
  u32() {
    this.#need(4);
    const value = this.#view.getUint32(this.#pos, true);
    this.#pos += 4;
    return value;
  }
  bytes(n) {
    this.#need(n);
    this.#pos += n;
    return this.#bytes.slice(this.#pos - n, this.#pos);
  }
  align(n) {
    this.#pos += (n - ((this.#pos - OUTPUT_BODY) % n)) % n;
  }
  // The deferred array of a pointer whose fixed part said `length` and `referent`.
  array(length, referent) {
    if (!referent) return new Uint8Array(0);
    const count = this.u32();
    if (count !== length)
      throw new RangeError(`array of ${count} bytes where ${length} were announced`);
    const bytes = this.bytes(count);
    this.align(4);
    return bytes;
  }
}

const call = (name, ioctl, writer, decode = () => ({})) =>
  ({ name, ioctl, body: writer.finish(), decode });

// EstablishContext_Call: dwScope. Return: a REDIR_SCARDCONTEXT.
export function establishContext(scope = SCOPE_SYSTEM) {
  const w = new Writer();
  w.u32(scope);
  return call('EstablishContext', IOCTL.ESTABLISHCONTEXT, w, (r) => {
    const cbContext = r.u32();
    return { context: r.array(cbContext, r.u32()) };
  });
}

// Context_Call: a REDIR_SCARDCONTEXT. Return: the bare ReturnCode.
function contextCall(name, ioctl, context) {
  const w = new Writer();
  w.context(context);
  w.contextBytes(context);
  return call(name, ioctl, w);
}
export const releaseContext = (context) =>
  contextCall('ReleaseContext', IOCTL.RELEASECONTEXT, context);
export const isValidContext = (context) =>
  contextCall('IsValidContext', IOCTL.ISVALIDCONTEXT, context);
export const cancel = (context) => contextCall('Cancel', IOCTL.CANCEL, context);

// ListReaders_Call: context, cBytes and mszGroups, fmszReadersIsNULL, cchReaders. `groups`
// names reader groups (none: all readers); `namesIsNull` asks for the length alone.
// Return: cBytes and the multi-string of reader names. A Windows server sends cchReaders
// SCARD_AUTOALLOCATE, as the W form does unless told otherwise.
export function listReaders(context, cchReaders, form = 'A', { groups = [], namesIsNull = false } = {}) {
  const f = formOf(form);
  cchReaders ??= form === 'W' ? AUTOALLOCATE : 65536;
  const groupBytes = groups.length ? multiStringBytes(f, groups) : new Uint8Array(0);
  const w = new Writer();
  w.context(context);
  w.u32(groupBytes.length);
  w.pointer(groupBytes.length);
  w.u32(namesIsNull ? 1 : 0);
  w.u32(cchReaders);
  w.contextBytes(context);
  if (groupBytes.length) w.array(groupBytes);
  return call(`ListReaders${form}`, ioctlOf('LISTREADERS', form), w, (r) => {
    const cBytes = r.u32();
    return { cBytes, readers: multiString(f, r.array(cBytes, r.u32())) };
  });
}

// GetStatusChangeA_Call: context, dwTimeOut, cReaders, rgReaderStates; each ReaderStateA is the
// szReader pointer, dwCurrentState, dwEventState, cbAtr and a 36-byte rgbAtr, and the names
// follow the array. `states` holds { reader, currentState, atr? }.
// Return: the array of ReaderState_Return (dwCurrentState, dwEventState, cbAtr, rgbAtr[36]).
export function getStatusChange(context, timeout, states, form = 'A') {
  const f = formOf(form);
  const w = new Writer();
  w.context(context);
  w.u32(timeout);
  w.u32(states.length);
  w.referent();
  w.contextBytes(context);
  w.u32(states.length);
  for (const state of states) {
    const atr = (state.atr ?? []).slice(0, 36);
    w.referent();
    w.u32(state.currentState);
    w.u32(0);
    w.u32(atr.length);
    w.raw(atr);
    w.raw(new Uint8Array(36 - atr.length));
  }
  for (const state of states) w.string(f.name(state.reader), f.unit);
  return call(`GetStatusChange${form}`, ioctlOf('GETSTATUSCHANGE', form), w, (r) => {
    const cReaders = r.u32();
    if (!r.u32()) return { states: [] };
    if (r.u32() !== cReaders || cReaders !== states.length)
      throw new RangeError(`${cReaders} reader states returned for ${states.length}`);
    return {
      states: states.map(({ reader }) => {
        const currentState = r.u32();
        const eventState = r.u32();
        const cbAtr = Math.min(r.u32(), 36);
        return { reader, currentState, eventState, atr: r.bytes(36).slice(0, cbAtr) };
      }),
    };
  });
}

// ConnectA_Call: szReader pointer, context, dwShareMode, dwPreferredProtocols.
// Return: a REDIR_SCARDHANDLE and dwActiveProtocol. The card handle that later calls need is
// the reply's, as it stands: its context (empty from this agent) and its handle bytes.
export function connect(context, reader, shareMode = SHARE_SHARED,
                        protocols = PROTOCOL_T0 | PROTOCOL_T1, form = 'A') {
  const f = formOf(form);
  const w = new Writer();
  w.referent();
  w.context(context);
  w.u32(shareMode);
  w.u32(protocols);
  w.string(f.name(reader), f.unit);
  w.contextBytes(context);
  return call(`Connect${form}`, ioctlOf('CONNECT', form), w, (r) => {
    const cbContext = r.u32();
    const pbContext = r.u32();
    const cbHandle = r.u32();
    const pbHandle = r.u32();
    const protocol = r.u32();
    const replyContext = r.array(cbContext, pbContext);
    return { card: { context: replyContext, handle: r.array(cbHandle, pbHandle) }, protocol };
  });
}

// HCardAndDisposition_Call: the card handle and dwDisposition. Return: the bare ReturnCode.
function cardCall(name, ioctl, card, disposition) {
  const w = new Writer();
  w.handle(card);
  w.u32(disposition);
  w.handleBytes(card);
  return call(name, ioctl, w);
}
export const disconnect = (card, disposition = LEAVE_CARD) =>
  cardCall('Disconnect', IOCTL.DISCONNECT, card, disposition);
export const beginTransaction = (card) =>
  cardCall('BeginTransaction', IOCTL.BEGINTRANSACTION, card, 0);
export const endTransaction = (card, disposition = LEAVE_CARD) =>
  cardCall('EndTransaction', IOCTL.ENDTRANSACTION, card, disposition);

// Status_Call: the card handle, fmszReaderNamesIsNULL, cchReaderLen, cbAtrLen.
// Return: cBytes, mszReaderNames, dwState, dwProtocol, pbAtr[32], cbAtrLen, the names.
export function status(card, cbAtrLen = 32, form = 'A',
                       { namesIsNull = false, cchReaderLen = AUTOALLOCATE } = {}) {
  const f = formOf(form);
  const w = new Writer();
  w.handle(card);
  w.u32(namesIsNull ? 1 : 0);
  w.u32(cchReaderLen);
  w.u32(cbAtrLen);
  w.handleBytes(card);
  return call(`Status${form}`, ioctlOf('STATUS', form), w, (r) => {
    const cBytes = r.u32();
    const mszReaderNames = r.u32();
    const state = r.u32();
    const protocol = r.u32();
    const pbAtr = r.bytes(32);
    const atr = pbAtr.slice(0, Math.min(r.u32(), 32));
    return { cBytes, readers: multiString(f, r.array(cBytes, mszReaderNames)), state, protocol, atr };
  });
}

// An SCardIO_Request: dwProtocol, cbExtraBytes and the pbExtraBytes pointer; the bytes follow.
function ioRequest(w, protocol, extra) {
  w.u32(protocol);
  w.u32(extra.length);
  w.pointer(extra.length);
}

// Transmit_Call: the card handle; ioSendPci (dwProtocol and its extra bytes); cbSendLength and
// pbSendBuffer; pioRecvPci (`recvPci`: { protocol, extra }, or none); fpbRecvBufferIsNULL and
// cbRecvLength. Return: pioRecvPci, cbRecvLength, pbRecvBuffer, then the receive PCI and the
// response.
export function transmit(card, protocol, apdu, cbRecvLength = 258,
                         { sendPciExtra = [], recvPci = null, recvBufferIsNull = false } = {}) {
  const w = new Writer();
  w.handle(card);
  ioRequest(w, protocol, sendPciExtra);
  w.u32(apdu.length);
  w.pointer(apdu.length);
  w.pointer(recvPci ? 1 : 0);
  w.u32(recvBufferIsNull ? 1 : 0);
  w.u32(cbRecvLength);
  w.handleBytes(card);
  if (sendPciExtra.length) w.array(sendPciExtra);
  if (apdu.length) w.array(apdu);
  if (recvPci) {
    const extra = recvPci.extra ?? [];
    ioRequest(w, recvPci.protocol, extra);
    if (extra.length) w.array(extra);
  }
  return call('Transmit', IOCTL.TRANSMIT, w, (r) => {
    const pioRecvPci = r.u32();
    const cbRecvLength = r.u32();
    const pbRecvBuffer = r.u32();
    let received = null;
    if (pioRecvPci) {
      const protocol = r.u32();
      const cbExtraBytes = r.u32();
      received = { protocol, extra: r.array(cbExtraBytes, r.u32()) };
    }
    return { recvPci: received, response: r.array(cbRecvLength, pbRecvBuffer) };
  });
}

// The input buffer of the device I/O request that carries `c`: the NDR type headers (MS-RPCE
// 2.2.6), then the call's body.
export function callInput(c) {
  const input = new Uint8Array(16 + c.body.length);
  input.set(TYPE_HEADERS);
  new DataView(input.buffer).setUint32(8, c.body.length, true);
  input.set(c.body, 16);
  return input;
}

// The message that carries a device I/O request, as an ArrayBuffer for postMessage or the
// socket: the prefix, the I/O control code, the identifiers, and the input buffer as it stands.
export function encodeMessage(ioControlCode, input, completionId, deviceId = 0) {
  const bytes = toBytes(input);
  const message = new Uint8Array(14 + bytes.length);
  const view = new DataView(message.buffer);
  message.set([3, 3]);
  view.setUint32(2, ioControlCode, true);
  view.setUint32(6, deviceId, true);
  view.setUint32(10, completionId, true);
  message.set(bytes, 14);
  return message.buffer;
}

// The message that carries `c` (one of the calls above).
export const encodeCall = (c, completionId, deviceId = 0) =>
  encodeMessage(c.ioctl, callInput(c), completionId, deviceId);

// The two bytes of a call reply: 03 03. Other messages from the bridge are not call replies.
export function isCallReply(data) {
  const bytes = new Uint8Array(data);
  return bytes.length >= 2 && bytes[0] === 3 && bytes[1] === 3;
}

// The CompletionId of a call reply, to pair it with its call before decoding it.
export function replyCompletionId(data) {
  return isCallReply(data) && data.byteLength >= 14
    ? new DataView(data).getUint32(10, true) : undefined;
}

// The device I/O completion in a call reply: { deviceId, completionId, ioStatus, output }, the
// output being the OutputBuffer as the agent wrote it. Throws a RangeError on anything else.
export function readCompletion(data) {
  const bytes = new Uint8Array(data);
  if (bytes.length < REPLY_OUTPUT || !isCallReply(data))
    throw new RangeError(`not a call reply (${bytes.length} bytes)`);
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  if (view.getUint16(2, true) !== 0x4472 || view.getUint16(4, true) !== 0x4943)
    throw new RangeError('not a device I/O completion');
  const length = view.getUint32(18, true);
  if (length > bytes.length - REPLY_OUTPUT)
    throw new RangeError(`${length}-byte output in a ${bytes.length}-byte reply`);
  return {
    deviceId: view.getUint32(6, true),
    completionId: view.getUint32(10, true),
    ioStatus: view.getUint32(14, true),
    output: bytes.slice(REPLY_OUTPUT, REPLY_OUTPUT + length),
  };
}

// Decodes the output buffer of the reply to `c`: { returnCode } and, when it is 0, the fields of
// the call's return structure. Throws a RangeError on a malformed output.
export function decodeOutput(c, output) {
  const bytes = toBytes(output);
  if (bytes.length < OUTPUT_BODY + 4) throw new RangeError(`output too short (${bytes.length} bytes)`);
  const objectBufferLength = new DataView(bytes.buffer, bytes.byteOffset).getUint32(8, true);
  if (objectBufferLength > bytes.length - OUTPUT_BODY)
    throw new RangeError(`${objectBufferLength}-byte object buffer in a ${bytes.length}-byte output`);
  const r = new Reader(bytes.subarray(0, OUTPUT_BODY + objectBufferLength));
  const returnCode = r.u32();
  return returnCode === 0 ? { returnCode, ...c.decode(r) } : { returnCode };
}

// Decodes the reply to `c`: { deviceId, completionId } and what decodeOutput gives.
export function decodeReply(c, data) {
  const { deviceId, completionId, output } = readCompletion(data);
  return { deviceId, completionId, ...decodeOutput(c, output) };
}

// Where the deferred REDIR_SCARDCONTEXT of a call whose structure opens with one starts: the
// size of the structure's fixed part (MS-RDPESC 2.2.2). The calls that may wait for a
// status change, and those that may be queued behind one on its context, are among them.
const CONTEXT_FIXED_PART = new Map([
  [0x00090018, 8], [0x0009001c, 8], [0x000900a8, 8],                      // Context_Call
  [0x00090020, 16], [0x00090024, 16],                                     // ListReaderGroups
  [0x00090028, 24], [0x0009002c, 24],                                     // ListReaders
  [0x00090098, 24], [0x0009009c, 24], [0x000900e8, 24], [0x000900ec, 24],  // LocateCards
  [0x000900a0, 20], [0x000900a4, 20],                                     // GetStatusChange
  [0x00090104, 12], [0x00090108, 12],                                     // GetReaderIcon, GetDeviceTypeId
]);

// The context reference bytes of the call in `input` (a device I/O request's input buffer),
// or undefined for a call that opens with none or an input too short to hold it.
export function contextOf(ioControlCode, input) {
  const fixed = CONTEXT_FIXED_PART.get(ioControlCode);
  const bytes = toBytes(input);
  if (fixed === undefined || bytes.length < OUTPUT_BODY + fixed + 4) return undefined;
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const cbContext = view.getUint32(OUTPUT_BODY, true);
  const at = OUTPUT_BODY + fixed + 4;
  if (cbContext === 0 || cbContext > 16 || view.getUint32(OUTPUT_BODY + 4, true) === 0 ||
      view.getUint32(OUTPUT_BODY + fixed, true) !== cbContext || bytes.length < at + cbContext)
    return undefined;
  return bytes.slice(at, at + cbContext);
}

// Whether the call waits for a change of reader states, until its own time-out or a Cancel.
export const isStatusChange = (ioControlCode) =>
  ioControlCode === IOCTL.GETSTATUSCHANGEA || ioControlCode === IOCTL.GETSTATUSCHANGEW;

// Handshake flag: replies may come in any order.
export const REPLIES_IN_ANY_ORDER = 0x01;

// 03 01, followed by the flags byte when flags are offered.
export const handshake = (flags) =>
  (flags === undefined ? Uint8Array.of(3, 1) : Uint8Array.of(3, 1, flags & 0xff)).buffer;

export function isHandshakeReply(data) {
  const bytes = new Uint8Array(data);
  return (bytes.length === 2 || bytes.length === 3) && bytes[0] === 3 && bytes[1] === 2;
}

// The flags that a handshake reply grants: 0 for the plain 03 02, undefined for other messages.
export function grantedFlags(data) {
  if (!isHandshakeReply(data)) return undefined;
  const bytes = new Uint8Array(data);
  return bytes.length === 3 ? bytes[2] : 0;
}
