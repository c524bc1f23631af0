#pragma once
// The numbers of the wire in one place: the smart-card return codes in the client's numbering
// (that of Windows and [MS-RDPESC]) with their names, and the bounds of [MS-RDPESC]'s
// structures.
//
// pcsc-lite's headers give some return codes other values (its SCARD_E_UNSUPPORTED_FEATURE is
// 0x8010001F), so the agent names the codes it produces itself from this list; codes that come
// from PC/SC pass through unchanged.
#include <algorithm>
#include <array>
#include <concepts>
#include <cstdint>
#include <string_view>

namespace kx_agent::smartcard {

struct ReturnCodeName {
    uint32_t code;
    std::string_view name;
};

// Sorted by code, for a binary search.
inline constexpr auto kReturnCodes = std::to_array<ReturnCodeName>({
    {0x00000000, "SCARD_S_SUCCESS"},
    {0x80100001, "SCARD_F_INTERNAL_ERROR"},
    {0x80100002, "SCARD_E_CANCELLED"},
    {0x80100003, "SCARD_E_INVALID_HANDLE"},
    {0x80100004, "SCARD_E_INVALID_PARAMETER"},
    {0x80100005, "SCARD_E_INVALID_TARGET"},
    {0x80100006, "SCARD_E_NO_MEMORY"},
    {0x80100007, "SCARD_F_WAITED_TOO_LONG"},
    {0x80100008, "SCARD_E_INSUFFICIENT_BUFFER"},
    {0x80100009, "SCARD_E_UNKNOWN_READER"},
    {0x8010000A, "SCARD_E_TIMEOUT"},
    {0x8010000B, "SCARD_E_SHARING_VIOLATION"},
    {0x8010000C, "SCARD_E_NO_SMARTCARD"},
    {0x8010000D, "SCARD_E_UNKNOWN_CARD"},
    {0x8010000E, "SCARD_E_CANT_DISPOSE"},
    {0x8010000F, "SCARD_E_PROTO_MISMATCH"},
    {0x80100010, "SCARD_E_NOT_READY"},
    {0x80100011, "SCARD_E_INVALID_VALUE"},
    {0x80100012, "SCARD_E_SYSTEM_CANCELLED"},
    {0x80100013, "SCARD_F_COMM_ERROR"},
    {0x80100014, "SCARD_F_UNKNOWN_ERROR"},
    {0x80100015, "SCARD_E_INVALID_ATR"},
    {0x80100016, "SCARD_E_NOT_TRANSACTED"},
    {0x80100017, "SCARD_E_READER_UNAVAILABLE"},
    {0x80100018, "SCARD_P_SHUTDOWN"},
    {0x80100019, "SCARD_E_PCI_TOO_SMALL"},
    {0x8010001A, "SCARD_E_READER_UNSUPPORTED"},
    {0x8010001B, "SCARD_E_DUPLICATE_READER"},
    {0x8010001C, "SCARD_E_CARD_UNSUPPORTED"},
    {0x8010001D, "SCARD_E_NO_SERVICE"},
    {0x8010001E, "SCARD_E_SERVICE_STOPPED"},
    {0x8010001F, "SCARD_E_UNEXPECTED"},
    {0x80100020, "SCARD_E_ICC_INSTALLATION"},
    {0x80100021, "SCARD_E_ICC_CREATEORDER"},
    {0x80100022, "SCARD_E_UNSUPPORTED_FEATURE"},
    {0x80100023, "SCARD_E_DIR_NOT_FOUND"},
    {0x80100024, "SCARD_E_FILE_NOT_FOUND"},
    {0x80100025, "SCARD_E_NO_DIR"},
    {0x80100026, "SCARD_E_NO_FILE"},
    {0x80100027, "SCARD_E_NO_ACCESS"},
    {0x80100028, "SCARD_E_WRITE_TOO_MANY"},
    {0x80100029, "SCARD_E_BAD_SEEK"},
    {0x8010002A, "SCARD_E_INVALID_CHV"},
    {0x8010002B, "SCARD_E_UNKNOWN_RES_MNG"},
    {0x8010002C, "SCARD_E_NO_SUCH_CERTIFICATE"},
    {0x8010002D, "SCARD_E_CERTIFICATE_UNAVAILABLE"},
    {0x8010002E, "SCARD_E_NO_READERS_AVAILABLE"},
    {0x8010002F, "SCARD_E_COMM_DATA_LOST"},
    {0x80100030, "SCARD_E_NO_KEY_CONTAINER"},
    {0x80100031, "SCARD_E_SERVER_TOO_BUSY"},
    {0x80100032, "SCARD_E_PIN_CACHE_EXPIRED"},
    {0x80100033, "SCARD_E_NO_PIN_CACHE"},
    {0x80100034, "SCARD_E_READ_ONLY_CARD"},
    {0x80100065, "SCARD_W_UNSUPPORTED_CARD"},
    {0x80100066, "SCARD_W_UNRESPONSIVE_CARD"},
    {0x80100067, "SCARD_W_UNPOWERED_CARD"},
    {0x80100068, "SCARD_W_RESET_CARD"},
    {0x80100069, "SCARD_W_REMOVED_CARD"},
    {0x8010006A, "SCARD_W_SECURITY_VIOLATION"},
    {0x8010006B, "SCARD_W_WRONG_CHV"},
    {0x8010006C, "SCARD_W_CHV_BLOCKED"},
    {0x8010006D, "SCARD_W_EOF"},
    {0x8010006E, "SCARD_W_CANCELLED_BY_USER"},
    {0x8010006F, "SCARD_W_CARD_NOT_AUTHENTICATED"},
    {0x80100070, "SCARD_W_CACHE_ITEM_NOT_FOUND"},
    {0x80100071, "SCARD_W_CACHE_ITEM_STALE"},
    {0x80100072, "SCARD_W_CACHE_ITEM_TOO_BIG"},
});
static_assert(std::ranges::is_sorted(kReturnCodes, {}, &ReturnCodeName::code));

// The code named `name`, at compile time: a name the list does not hold is read past its end,
// which no constant evaluation allows, so a misspelt name does not compile.
consteval uint32_t codeNamed(std::string_view name) {
    return std::ranges::find(kReturnCodes, name, &ReturnCodeName::name)->code;
}

// A smart-card return code in the client's numbering: a _Return's ReturnCode, a refused call's
// answer, a decoder's error. A PC/SC function's result (a LONG, 64-bit on pcsc-lite) becomes one
// through `of`, once the client's numbering has been applied (smartcard/pcsc/windows_numbering.h).
class ReturnCode {
public:
    constexpr ReturnCode() = default;
    constexpr explicit ReturnCode(uint32_t code) : code_(code) {}
    // The code of a PC/SC result: its low 32 bits, as the wire field carries it.
    template <std::integral Result>
    static constexpr ReturnCode of(Result result) {
        return ReturnCode(static_cast<uint32_t>(result));
    }
    constexpr uint32_t value() const { return code_; }
    constexpr bool operator==(const ReturnCode&) const = default;

private:
    uint32_t code_ = 0;
};

}  // namespace kx_agent::smartcard

namespace kx_agent::smartcard::rc {

inline constexpr ReturnCode success{codeNamed("SCARD_S_SUCCESS")};
inline constexpr ReturnCode internal_error{codeNamed("SCARD_F_INTERNAL_ERROR")};
inline constexpr ReturnCode invalid_handle{codeNamed("SCARD_E_INVALID_HANDLE")};
inline constexpr ReturnCode invalid_parameter{codeNamed("SCARD_E_INVALID_PARAMETER")};
inline constexpr ReturnCode no_memory{codeNamed("SCARD_E_NO_MEMORY")};
inline constexpr ReturnCode insufficient_buffer{codeNamed("SCARD_E_INSUFFICIENT_BUFFER")};
inline constexpr ReturnCode invalid_value{codeNamed("SCARD_E_INVALID_VALUE")};
inline constexpr ReturnCode not_transacted{codeNamed("SCARD_E_NOT_TRANSACTED")};
inline constexpr ReturnCode no_service{codeNamed("SCARD_E_NO_SERVICE")};
inline constexpr ReturnCode no_readers_available{codeNamed("SCARD_E_NO_READERS_AVAILABLE")};
inline constexpr ReturnCode unsupported_feature{codeNamed("SCARD_E_UNSUPPORTED_FEATURE")};
inline constexpr ReturnCode unresponsive_card{codeNamed("SCARD_W_UNRESPONSIVE_CARD")};
inline constexpr ReturnCode cache_item_not_found{codeNamed("SCARD_W_CACHE_ITEM_NOT_FOUND")};
inline constexpr ReturnCode cache_item_stale{codeNamed("SCARD_W_CACHE_ITEM_STALE")};
inline constexpr ReturnCode cache_item_too_big{codeNamed("SCARD_W_CACHE_ITEM_TOO_BIG")};

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
