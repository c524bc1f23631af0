// Card status: SCARD_IOCTL_STATUSA and SCARD_IOCTL_STATUSW.
//
// Status_Call: REDIR_SCARDHANDLE, fmszReaderNamesIsNULL, cchReaderLen, cbAtrLen; deferred: the
// context and handle bytes. Status_Return: ReturnCode, cBytes, the mszReaderNames pointer,
// dwState, dwProtocol, a fixed 32-byte pbAtr, cbAtrLen; deferred: the reader multi-string as a
// conformant byte array. The two forms differ only in the multi-string: 8-bit characters or
// UTF-16LE, its count in bytes either way.
//
// cchReaderLen and cbAtrLen are the sizes of the client's buffers, which the client's resource
// manager fills in: the whole multi-string and the whole ATR always come back ([MS-RDPESC]
// 2.2.2.18: cbAtrLen is unused and ignored). A length query (fmszReaderNamesIsNULL) gets the
// names as well: deployed servers (xrdp) ask Status that way every time and hand their programs
// whatever the array holds, so zeros there would name the reader ''.
//
// The names are read into the agent's own buffer rather than one that PC/SC allocates: the
// card's context need not come with the call (the handle alone names the card), and pcsc-lite
// frees what it allocated only for the context that asked.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "smartcard/calls/call.h"
#include "smartcard/pcsc/pcsc.h"

namespace kx_agent::smartcard {
namespace {

constexpr std::size_t kAtrLength = 32;  // Status_Return.pbAtr
// Room for the names of a reader: pcsc-lite allows MAX_READERNAME (128 bytes) for its one name;
// winscard may give several, and a longer list is read in a buffer of its length.
constexpr DWORD kNamesRoom = 1024;
// Bound on the names PC/SC may report. A larger length is the service's inconsistency and
// never turns into an allocation.
constexpr DWORD kMaxServiceNames = 64 * 1024;

struct StatusCall {
    REDIR_SCARDHANDLE hCard;
    uint32_t fmszReaderNamesIsNULL = 0;
    uint32_t cchReaderLen = 0;
    uint32_t cbAtrLen = 0;
};

struct StatusReturn {
    smartcard::ReturnCode ReturnCode = rc::success;
    std::vector<uint8_t> mszReaderNames{};  // in the call's form
    uint32_t dwState = 0;
    uint32_t dwProtocol = 0;
    std::array<uint8_t, kAtrLength> pbAtr{};
    uint32_t cbAtrLen = 0;

    void encode(NdrWriter& out, CharForm) const {
        out.u32(ReturnCode.value());
        out.u32(static_cast<uint32_t>(mszReaderNames.size()));  // cBytes
        out.pointer(!mszReaderNames.empty());
        out.u32(dwState);
        out.u32(dwProtocol);
        out.bytes(pbAtr);
        out.u32(cbAtrLen);
        if (!mszReaderNames.empty()) out.conformant(mszReaderNames);
    }
};

std::expected<StatusCall, ReturnCode> decodeStatus(NdrReader& in, CharForm) {
    StatusCall call;
    call.hCard.readFixed(in);
    call.fmszReaderNamesIsNULL = in.u32();
    call.cchReaderLen = in.u32();
    call.cbAtrLen = in.u32();
    if (auto deferred = call.hCard.readDeferred(in); !deferred)
        return std::unexpected(deferred.error());
    return call;
}

// The reader names as a multi-string in the call's form: a list of names each ended by a NUL,
// and the list by a further NUL. pcsc-lite ends its one name with a single NUL.
std::expected<std::vector<uint8_t>, ReturnCode> readerMultiString(std::string_view list,
                                                                  CharForm form) {
    while (!list.empty() && list.back() == '\0') list.remove_suffix(1);
    return encodeMultiString(list, form, 2);
}

StatusReturn executeStatus(const StatusCall& call, CharForm form, const Services& services) {
    auto card = static_cast<SCARDHANDLE>(call.hCard.value);
    std::array<char, kNamesRoom> room{};  // zeros: a service that fills none gives no names
    std::vector<char> larger;
    char* names = room.data();
    DWORD namesLength = room.size();
    DWORD state = 0;
    DWORD protocol = 0;
    StatusReturn answer;
    DWORD atrLength = answer.pbAtr.size();
    LONG result = services.pcsc.status(card, names, &namesLength, &state, &protocol,
                                       answer.pbAtr.data(), &atrLength);
    // Names longer than the room: asked again in a buffer of their length (once; a list that
    // grows in between is the service's to report).
    if (ReturnCode::of(result) == rc::insufficient_buffer && namesLength > room.size() &&
        namesLength <= kMaxServiceNames) {
        larger.resize(namesLength);
        names = larger.data();
        atrLength = answer.pbAtr.size();
        result = services.pcsc.status(card, names, &namesLength, &state, &protocol,
                                      answer.pbAtr.data(), &atrLength);
    }
    if (result != SCARD_S_SUCCESS) return {ReturnCode::of(result)};
    DWORD held = larger.empty() ? room.size() : static_cast<DWORD>(larger.size());
    if (namesLength > held || atrLength > answer.pbAtr.size()) return {rc::internal_error};

    auto multiString = readerMultiString(std::string_view(names, namesLength), form);
    if (!multiString) return {multiString.error()};
    if (multiString->size() > range::returnedMultiString) return {rc::insufficient_buffer};
    answer.mszReaderNames = std::move(*multiString);
    answer.dwState = static_cast<uint32_t>(state);
    answer.dwProtocol = static_cast<uint32_t>(protocol);
    answer.cbAtrLen = static_cast<uint32_t>(atrLength);
    return answer;
}

}  // namespace

const CallHandler statusCall = typedCall<decodeStatus, executeStatus>;

constexpr std::array kRows = {
    row(ioctl::statusA, statusCall, CharForm::A, CallOrder::Kind::context, Timing::atOnce),
    row(ioctl::statusW, statusCall, CharForm::W, CallOrder::Kind::context, Timing::atOnce),
};

std::span<const CallRow> cardStatusRows() { return kRows; }

}  // namespace kx_agent::smartcard
