// Types of scard-codec.js: the smart-card calls of MS-RDPESC as the agent relays them.
import type { Bytes } from './bridge-client.js';

export declare const IOCTL: Readonly<{
  ESTABLISHCONTEXT: number; RELEASECONTEXT: number; ISVALIDCONTEXT: number;
  LISTREADERSA: number; LISTREADERSW: number; GETSTATUSCHANGEA: number; GETSTATUSCHANGEW: number;
  CANCEL: number; CONNECTA: number; CONNECTW: number; DISCONNECT: number; STATUSA: number;
  STATUSW: number; BEGINTRANSACTION: number; ENDTRANSACTION: number; TRANSMIT: number;
  CONTROL: number;
}>;
export declare const SCOPE_SYSTEM: number;
export declare const SHARE_SHARED: number;
export declare const PROTOCOL_T0: number;
export declare const PROTOCOL_T1: number;
export declare const LEAVE_CARD: number;
export declare const AUTOALLOCATE: number;
export declare const PNP_NOTIFICATION: string;
export declare const REPLIES_IN_ANY_ORDER: number;

/** Bytes a typed call takes: a byte array, or the byte values. */
export type ByteList = Uint8Array | readonly number[];

/** A character form: 8-bit characters (A) or UTF-16LE (W). */
export type Form = 'A' | 'W';

/** A card handle as the agent's Connect reply gives it. */
export interface Card { context: Uint8Array; handle: Uint8Array }

/** One typed call: its name, I/O control code and NDR body; T is what its reply decodes to. */
export interface ScardCall<T> {
  readonly name: string;
  readonly ioctl: number;
  readonly body: Uint8Array;
  readonly decode: (reader: unknown) => T;
}

export interface ReaderState { reader: string; currentState: number; atr?: ByteList }
export interface ReaderStateReturn {
  reader: string; currentState: number; eventState: number; atr: Uint8Array;
}
export interface IoRequest { protocol: number; extra?: ByteList }

type Empty = Record<string, never>;

export declare function toBytes(data: Bytes): Uint8Array;
export declare function establishContext(scope?: number): ScardCall<{ context: Uint8Array }>;
export declare function releaseContext(context: Uint8Array): ScardCall<Empty>;
export declare function isValidContext(context: Uint8Array): ScardCall<Empty>;
export declare function cancel(context: Uint8Array): ScardCall<Empty>;
export declare function listReaders(
  context: Uint8Array, cchReaders?: number, form?: Form,
  options?: { groups?: string[]; namesIsNull?: boolean },
): ScardCall<{ cBytes: number; readers: string[] }>;
export declare function getStatusChange(
  context: Uint8Array, timeout: number, states: ReaderState[], form?: Form,
): ScardCall<{ states: ReaderStateReturn[] }>;
export declare function connect(
  context: Uint8Array, reader: string, shareMode?: number, protocols?: number, form?: Form,
): ScardCall<{ card: Card; protocol: number }>;
export declare function disconnect(card: Card, disposition?: number): ScardCall<Empty>;
export declare function beginTransaction(card: Card): ScardCall<Empty>;
export declare function endTransaction(card: Card, disposition?: number): ScardCall<Empty>;
export declare function status(
  card: Card, cbAtrLen?: number, form?: Form,
  options?: { namesIsNull?: boolean; cchReaderLen?: number },
): ScardCall<{ cBytes: number; readers: string[]; state: number; protocol: number; atr: Uint8Array }>;
export declare function transmit(
  card: Card, protocol: number, apdu: ByteList, cbRecvLength?: number,
  options?: { sendPciExtra?: ByteList; recvPci?: IoRequest | null; recvBufferIsNull?: boolean },
): ScardCall<{ recvPci: { protocol: number; extra: Uint8Array } | null; response: Uint8Array }>;

export declare function callInput(c: ScardCall<unknown>): Uint8Array;
export declare function encodeMessage(
  ioControlCode: number, input: Bytes, completionId: number, deviceId?: number): ArrayBuffer;
export declare function encodeCall(
  c: ScardCall<unknown>, completionId: number, deviceId?: number): ArrayBuffer;
export declare function isCallReply(data: ArrayBuffer): boolean;
export declare function replyCompletionId(data: ArrayBuffer): number | undefined;
export declare function readCompletion(data: ArrayBuffer):
  { deviceId: number; completionId: number; ioStatus: number; output: Uint8Array };
export declare function decodeOutput<T>(c: ScardCall<T>, output: Bytes): { returnCode: number } & Partial<T>;
export declare function decodeReply<T>(c: ScardCall<T>, data: ArrayBuffer):
  { deviceId: number; completionId: number; returnCode: number } & Partial<T>;
export declare function contextOf(ioControlCode: number, input: Bytes): Uint8Array | undefined;
export declare function isStatusChange(ioControlCode: number): boolean;
export declare function handshake(flags?: number): ArrayBuffer;
export declare function isHandshakeReply(data: ArrayBuffer): boolean;
export declare function grantedFlags(data: ArrayBuffer): number | undefined;
