// Types of bridge-client.js, the page's end of the Tolvane agent.
import type { ScardCall } from './scard-codec.js';

export declare const AGENT_ORIGIN: 'http://127.0.0.1:8095';
export declare const AGENT_SOCKET: 'ws://127.0.0.1:8095/';
/** The longest time-out a browser timer holds; longer ones are clamped to it. */
export declare const MAX_TIMEOUT_MS: number;
/** The calls a page may have waiting for the agent at once. */
export declare const MAX_PENDING_CALLS: number;

export type BridgeState =
  | 'closed' | 'waiting' | 'answering' | 'silent' | 'blocked' | 'cut-off' | 'unreachable'
  | 'refused' | 'local-blocked';

export declare const STATE_REASONS: Readonly<Record<BridgeState, string>>;

/** Bytes as a page holds them. */
export type Bytes = ArrayBuffer | ArrayBufferView | readonly number[];

export type AgentErrorCode = 'not-answering' | 'timeout' | 'aborted' | 'queue-full' | 'malformed';

export declare class AgentError extends Error {
  constructor(code: AgentErrorCode, message: string);
  readonly name: 'AgentError';
  readonly code: AgentErrorCode;
}

/** The agent's completion of a device I/O request: what the client sends back to its server. */
export interface Completion {
  ioStatus: number;
  /** The output buffer, byte for byte (a failed call's whole _Return included). */
  output: Uint8Array;
}

export interface ForwardOptions {
  /** Gives up on the call after this long (clamped to MAX_TIMEOUT_MS); none by default. */
  timeoutMs?: number;
  /** Gives up on the call when aborted. */
  signal?: AbortSignal;
}

export interface OpenOptions {
  /** Connect over a WebSocket of the page's own, not through the bridge window. */
  direct?: boolean;
  /** Connect directly when the page's opener policy cuts the bridge window off (default true). */
  fallback?: boolean;
}

/** A typed call's decoded reply, with the time it took. */
export type Reply<T> = { returnCode: number; ms: number } & Partial<T>;

export interface BridgeClientEventMap {
  state: CustomEvent<BridgeState>;
}

export declare class BridgeClient extends EventTarget {
  constructor();
  readonly state: BridgeState;
  readonly reason: string;
  readonly direct: boolean;
  readonly anyOrder: boolean;
  /** Opens (or reopens) the way to the agent: true once the agent answers. */
  open(options?: OpenOptions): Promise<boolean>;
  /** Forwards one device I/O request of the smart-card device as the server sent it. */
  forward(ioControlCode: number, input: Bytes, options?: ForwardOptions): Promise<Completion>;
  /** A typed call of scard-codec.js, decoded; fields beyond returnCode only when it is 0. */
  call<T>(c: ScardCall<T>, timeoutMs?: number): Promise<Reply<T>>;
  /** Sends a typed call and forgets it, for the page's last moments. */
  send(c: ScardCall<unknown>): void;
  addEventListener<K extends keyof BridgeClientEventMap>(
    type: K, listener: (this: BridgeClient, event: BridgeClientEventMap[K]) => unknown,
    options?: boolean | AddEventListenerOptions): void;
  addEventListener(type: string, listener: EventListenerOrEventListenerObject | null,
                   options?: boolean | AddEventListenerOptions): void;
}
