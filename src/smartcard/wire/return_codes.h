#pragma once
// The numbers of the wire in one place: the return codes that the agent produces itself, and the
// bounds of [MS-RDPESC]'s structures.
//
// Return codes that the agent produces itself. pcsc-lite's headers give some of these other
// values (its SCARD_E_UNSUPPORTED_FEATURE is 0x8010001F), so the relay uses its own constants;
// codes that come from PC/SC pass through unchanged.
#include <cstdint>

namespace kx_agent::smartcard::rc {

inline constexpr uint32_t success = 0x00000000;
inline constexpr uint32_t internal_error = 0x80100001;        // SCARD_F_INTERNAL_ERROR
inline constexpr uint32_t invalid_handle = 0x80100003;        // SCARD_E_INVALID_HANDLE
inline constexpr uint32_t invalid_parameter = 0x80100004;     // SCARD_E_INVALID_PARAMETER
inline constexpr uint32_t no_memory = 0x80100006;             // SCARD_E_NO_MEMORY
inline constexpr uint32_t insufficient_buffer = 0x80100008;   // SCARD_E_INSUFFICIENT_BUFFER
inline constexpr uint32_t invalid_value = 0x80100011;         // SCARD_E_INVALID_VALUE
inline constexpr uint32_t not_transacted = 0x80100016;        // SCARD_E_NOT_TRANSACTED
inline constexpr uint32_t no_service = 0x8010001D;            // SCARD_E_NO_SERVICE
inline constexpr uint32_t no_readers_available = 0x8010002E;  // SCARD_E_NO_READERS_AVAILABLE
inline constexpr uint32_t unsupported_feature = 0x80100022;   // SCARD_E_UNSUPPORTED_FEATURE
inline constexpr uint32_t unresponsive_card = 0x80100066;     // SCARD_W_UNRESPONSIVE_CARD
inline constexpr uint32_t cache_item_not_found = 0x80100070;  // SCARD_W_CACHE_ITEM_NOT_FOUND
inline constexpr uint32_t cache_item_stale = 0x80100071;      // SCARD_W_CACHE_ITEM_STALE
inline constexpr uint32_t cache_item_too_big = 0x80100072;    // SCARD_W_CACHE_ITEM_TOO_BIG

// SCARD_AUTOALLOCATE as a 32-bit field of a call carries it (pcsc-lite's own is a 64-bit DWORD):
// "give me whatever length it takes".
inline constexpr uint32_t autoallocate = 0xFFFFFFFF;

}  // namespace kx_agent::smartcard::rc

namespace kx_agent::smartcard {

// The [range] bounds that [MS-RDPESC]'s IDL declares on the fields of the _Call structures. A
// Windows resource manager's NDR decoding refuses a call outside one before the call runs; the
// agent refuses it the same way, SCARD_E_INVALID_PARAMETER in the call's zeroed _Return, without
// reaching PC/SC.
namespace range {
inline constexpr uint32_t reference = 16;       // cbContext, cbHandle
inline constexpr uint32_t multiString = 65536;  // cBytes of groups, names and cards
inline constexpr uint32_t atr = 36;             // cbAtr of a reader state or an ATR mask
inline constexpr uint32_t statusReaders = 11;   // GetStatusChange's cReaders
inline constexpr uint32_t locateReaders = 10;   // LocateCards' and LocateCardsByATR's cReaders
inline constexpr uint32_t atrMasks = 1000;      // cAtrs
inline constexpr uint32_t extraBytes = 1024;    // SCardIO_Request.cbExtraBytes
inline constexpr uint32_t buffer = 66560;       // cbSendLength, cbInBufferSize
inline constexpr uint32_t data = 65536;         // SetAttrib's cbAttrLen, WriteCache's cbDataLen

// ... and on the _Return structures, which a Windows server's decoding refuses beyond them: the
// agent never sends more.
inline constexpr uint32_t returnedMultiString = 65536;  // ListReaders' and Status' cBytes
inline constexpr uint32_t returnedAttribute = 65536;    // GetAttrib's cbAttrLen
inline constexpr uint32_t returnedControl = 66560;      // Control's cbOutBufferSize
}  // namespace range

}  // namespace kx_agent::smartcard
