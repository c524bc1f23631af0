// Names of the PC/SC values that a client of the agent meets: return codes, reader states, card
// states and protocols. The agent speaks the numbering of MS-RDPESC (that of Windows) whatever
// PC/SC service it runs on: a card state is one value of an enumeration, not a bit mask.

// SCARD_E_, SCARD_F_, SCARD_P_ and SCARD_W_ codes (the MS-RDPESC / Windows values). pcsc-lite
// gives 0x8010001F to both SCARD_E_UNEXPECTED and its own SCARD_E_UNSUPPORTED_FEATURE; the
// agent answers the calls it does not carry out with the Windows value, 0x80100022.
const RETURN_CODES = [
  [0x00000000, 'SCARD_S_SUCCESS'],
  [0x80100001, 'SCARD_F_INTERNAL_ERROR'],
  [0x80100002, 'SCARD_E_CANCELLED'],
  [0x80100003, 'SCARD_E_INVALID_HANDLE'],
  [0x80100004, 'SCARD_E_INVALID_PARAMETER'],
  [0x80100005, 'SCARD_E_INVALID_TARGET'],
  [0x80100006, 'SCARD_E_NO_MEMORY'],
  [0x80100007, 'SCARD_F_WAITED_TOO_LONG'],
  [0x80100008, 'SCARD_E_INSUFFICIENT_BUFFER'],
  [0x80100009, 'SCARD_E_UNKNOWN_READER'],
  [0x8010000a, 'SCARD_E_TIMEOUT'],
  [0x8010000b, 'SCARD_E_SHARING_VIOLATION'],
  [0x8010000c, 'SCARD_E_NO_SMARTCARD'],
  [0x8010000d, 'SCARD_E_UNKNOWN_CARD'],
  [0x8010000e, 'SCARD_E_CANT_DISPOSE'],
  [0x8010000f, 'SCARD_E_PROTO_MISMATCH'],
  [0x80100010, 'SCARD_E_NOT_READY'],
  [0x80100011, 'SCARD_E_INVALID_VALUE'],
  [0x80100012, 'SCARD_E_SYSTEM_CANCELLED'],
  [0x80100013, 'SCARD_F_COMM_ERROR'],
  [0x80100014, 'SCARD_F_UNKNOWN_ERROR'],
  [0x80100015, 'SCARD_E_INVALID_ATR'],
  [0x80100016, 'SCARD_E_NOT_TRANSACTED'],
  [0x80100017, 'SCARD_E_READER_UNAVAILABLE'],
  [0x80100018, 'SCARD_P_SHUTDOWN'],
  [0x80100019, 'SCARD_E_PCI_TOO_SMALL'],
  [0x8010001a, 'SCARD_E_READER_UNSUPPORTED'],
  [0x8010001b, 'SCARD_E_DUPLICATE_READER'],
  [0x8010001c, 'SCARD_E_CARD_UNSUPPORTED'],
  [0x8010001d, 'SCARD_E_NO_SERVICE'],
  [0x8010001e, 'SCARD_E_SERVICE_STOPPED'],
  [0x8010001f, 'SCARD_E_UNEXPECTED'],
  [0x80100020, 'SCARD_E_ICC_INSTALLATION'],
  [0x80100021, 'SCARD_E_ICC_CREATEORDER'],
  [0x80100022, 'SCARD_E_UNSUPPORTED_FEATURE'],
  [0x80100023, 'SCARD_E_DIR_NOT_FOUND'],
  [0x80100024, 'SCARD_E_FILE_NOT_FOUND'],
  [0x80100025, 'SCARD_E_NO_DIR'],
  [0x80100026, 'SCARD_E_NO_FILE'],
  [0x80100027, 'SCARD_E_NO_ACCESS'],
  [0x80100028, 'SCARD_E_WRITE_TOO_MANY'],
  [0x80100029, 'SCARD_E_BAD_SEEK'],
  [0x8010002a, 'SCARD_E_INVALID_CHV'],
  [0x8010002b, 'SCARD_E_UNKNOWN_RES_MNG'],
  [0x8010002c, 'SCARD_E_NO_SUCH_CERTIFICATE'],
  [0x8010002d, 'SCARD_E_CERTIFICATE_UNAVAILABLE'],
  [0x8010002e, 'SCARD_E_NO_READERS_AVAILABLE'],
  [0x8010002f, 'SCARD_E_COMM_DATA_LOST'],
  [0x80100030, 'SCARD_E_NO_KEY_CONTAINER'],
  [0x80100031, 'SCARD_E_SERVER_TOO_BUSY'],
  [0x80100032, 'SCARD_E_PIN_CACHE_EXPIRED'],
  [0x80100033, 'SCARD_E_NO_PIN_CACHE'],
  [0x80100034, 'SCARD_E_READ_ONLY_CARD'],
  [0x80100065, 'SCARD_W_UNSUPPORTED_CARD'],
  [0x80100066, 'SCARD_W_UNRESPONSIVE_CARD'],
  [0x80100067, 'SCARD_W_UNPOWERED_CARD'],
  [0x80100068, 'SCARD_W_RESET_CARD'],
  [0x80100069, 'SCARD_W_REMOVED_CARD'],
  [0x8010006a, 'SCARD_W_SECURITY_VIOLATION'],
  [0x8010006b, 'SCARD_W_WRONG_CHV'],
  [0x8010006c, 'SCARD_W_CHV_BLOCKED'],
  [0x8010006d, 'SCARD_W_EOF'],
  [0x8010006e, 'SCARD_W_CANCELLED_BY_USER'],
  [0x8010006f, 'SCARD_W_CARD_NOT_AUTHENTICATED'],
  [0x80100070, 'SCARD_W_CACHE_ITEM_NOT_FOUND'],
  [0x80100071, 'SCARD_W_CACHE_ITEM_STALE'],
  [0x80100072, 'SCARD_W_CACHE_ITEM_TOO_BIG'],
];
const RETURN_CODE_NAMES = new Map(RETURN_CODES);

export const SCARD_E_TIMEOUT = 0x8010000a;
export const SCARD_E_NO_READERS_AVAILABLE = 0x8010002e;

export const hex32 = (value) => '0x' + (value >>> 0).toString(16).toUpperCase().padStart(8, '0');

// "SCARD_E_NO_SMARTCARD (0x8010000C)"; a code outside the table still gets a text.
export function returnCodeText(code) {
  return `${RETURN_CODE_NAMES.get(code >>> 0) ?? 'unknown return code'} (${hex32(code)})`;
}

// dwCurrentState / dwEventState of a status-change wait. The upper 16 bits count events.
export const STATE = {
  CHANGED: 0x0002,
  PRESENT: 0x0020,
  MUTE: 0x0200,
};
const READER_STATES = [
  [0x0001, 'IGNORE'], [0x0002, 'CHANGED'], [0x0004, 'UNKNOWN'], [0x0008, 'UNAVAILABLE'],
  [0x0010, 'EMPTY'], [0x0020, 'PRESENT'], [0x0040, 'ATRMATCH'], [0x0080, 'EXCLUSIVE'],
  [0x0100, 'INUSE'], [0x0200, 'MUTE'], [0x0400, 'UNPOWERED'],
];

// dwState of Status and State (MS-RDPESC 2.2.4): the most advanced state the card is in.
const CARD_STATES = ['UNKNOWN', 'ABSENT', 'PRESENT', 'SWALLOWED', 'POWERED', 'NEGOTIABLE',
  'SPECIFIC'];

const PROTOCOLS = [[0x0001, 'T=0'], [0x0002, 'T=1'], [0x0008, 'T=15'], [0x10000, 'raw']];

const flagNames = (table, value, prefix) =>
  table.filter(([bit]) => value & bit).map(([, name]) => prefix + name);

export function readerStateText(state) {
  const names = flagNames(READER_STATES, state & 0xffff, 'SCARD_STATE_');
  return names.length ? names.join(' ') : 'SCARD_STATE_UNAWARE';
}

export function cardStateText(state) {
  const name = CARD_STATES[state];
  return `${name ? 'SCARD_' + name : 'unknown card state'} (${hex32(state)})`;
}

export function protocolText(protocol) {
  return flagNames(PROTOCOLS, protocol, '').join(', ') || `none (${hex32(protocol)})`;
}

// ISO/IEC 7816-4 status words a diagnostics session meets most.
const STATUS_WORDS = [
  [0x9000, 0xffff, 'normal processing'],
  [0x6100, 0xff00, 'response bytes still available'],
  [0x6700, 0xffff, 'wrong length'],
  [0x6982, 0xffff, 'security status not satisfied'],
  [0x6a82, 0xffff, 'file or application not found'],
  [0x6a86, 0xffff, 'incorrect parameters P1-P2'],
  [0x6c00, 0xff00, 'wrong Le field'],
  [0x6d00, 0xffff, 'instruction code not supported'],
  [0x6e00, 0xffff, 'class not supported'],
];

export function statusWordText(sw) {
  return STATUS_WORDS.find(([value, mask]) => (sw & mask) === value)?.[2] ?? '';
}
