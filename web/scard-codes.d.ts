// Types of scard-codes.js: names of the PC/SC values a client of the agent meets.
export declare const SCARD_E_TIMEOUT: number;
export declare const SCARD_E_NO_READERS_AVAILABLE: number;
export declare const STATE: Readonly<{ CHANGED: number; PRESENT: number; MUTE: number }>;
export declare function hex32(value: number): string;
export declare function returnCodeText(code: number): string;
export declare function readerStateText(state: number): string;
export declare function cardStateText(state: number): string;
export declare function protocolText(protocol: number): string;
export declare function statusWordText(sw: number): string;
