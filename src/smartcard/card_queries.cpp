// Calls that ask about, or set, what lies behind a card handle without talking to the card:
// SCARD_IOCTL_STATE, GETTRANSMITCOUNT and SETATTRIB.
//
// State_Call: REDIR_SCARDHANDLE, fpbAtrIsNULL, cbAtrLen; deferred: the context and handle
// bytes. State_Return: ReturnCode, dwState, dwProtocol, cbAtrLen, the rgAtr referent id, then
// (rgAtr not null) the ATR as a conformant array.
// GetTransmitCount_Call: REDIR_SCARDHANDLE and its bytes; GetTransmitCount_Return: ReturnCode,
// cTransmitCount (the Long_Return shape).
// SetAttrib_Call: REDIR_SCARDHANDLE, dwAttrId, cbAttrLen, the pbAttr referent id; deferred: the
// context and handle bytes, then the attribute as a conformant array. Its return is a bare
// Long_Return.
#include <algorithm>
#include <array>
#include <optional>
#include <span>

#include "smartcard/ndr.h"
#include "smartcard/pcsc.h"
#include "smartcard/transmit_counts.h"

namespace kx_agent::smartcard {
namespace {

constexpr uint32_t kAtrReferent = 0x00020000;
constexpr uint32_t kInsufficientBuffer = 0x80100008;  // SCARD_E_INSUFFICIENT_BUFFER
constexpr uint32_t kWireAutoAllocate = 0xFFFFFFFF;    // SCARD_AUTOALLOCATE on the wire
constexpr std::size_t kMaxWireAtr = 36;               // State_Return's range of cbAtrLen
static_assert(MAX_ATR_SIZE <= kMaxWireAtr, "pcsc-lite's ATR fits State_Return");
// [MS-RDPESC]: an attribute is at most 65536 bytes.
constexpr uint32_t kMaxAttribute = 65536;

// Reads a call on a card handle whose fixed part has `words.size()` 32-bit fields after the
// REDIR_SCARDHANDLE. Failures are answered here and give no handle.
std::optional<uint64_t> readCardCall(DataView& request, DataView& reply,
                                     std::span<uint32_t> words) {
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
    ScardReference context = readScardContext(request);
    ScardReference handle = readScardHandle(request);
    for (uint32_t& word : words) word = request.getLittleEndian32();
    if (answeredTruncated(request, reply)) return std::nullopt;
    auto card = decodeCardReference(request, context.cb, handle.cb);
    if (answeredTruncated(request, reply)) return std::nullopt;
    if (!card) {
        longReturn(card.error(), reply);
        return std::nullopt;
    }
    return card->handle;
}

}  // namespace

void state(DataView& request, DataView& reply) {
    std::array<uint32_t, 2> words{};  // fpbAtrIsNULL, cbAtrLen
    auto card = readCardCall(request, reply, words);
    if (!card) return;
    auto [fpbAtrIsNULL, cbAtrLen] = words;

    // SCardStatus without reader names (a null buffer of length 0 asks for their length).
    DWORD namesLength = 0;
    DWORD dwState = 0;
    DWORD dwProtocol = 0;
    std::array<BYTE, MAX_ATR_SIZE> atr{};
    DWORD atrLength = atr.size();
    LONG result = pcsc().status(static_cast<SCARDHANDLE>(*card), nullptr, &namesLength, &dwState,
                                &dwProtocol, atr.data(), &atrLength);
    if (result != SCARD_S_SUCCESS) {
        longReturn(static_cast<uint32_t>(result), reply);
        return;
    }
    std::size_t n = std::min<std::size_t>(atrLength, atr.size());
    // The ATR goes back unless only its length was asked for (fpbAtrIsNULL, or a cbAtrLen of
    // 0); a buffer smaller than the ATR is refused, SCARD_AUTOALLOCATE takes any.
    bool withAtr = fpbAtrIsNULL == 0 && cbAtrLen != 0;
    if (withAtr && cbAtrLen != kWireAutoAllocate && cbAtrLen < n) {
        longReturn(kInsufficientBuffer, reply);
        return;
    }
    std::size_t array = withAtr ? 4 + n + padding(n, 4) : 0;
    std::size_t body = 20 + array;
    std::size_t pad = padding(body, 8);  // [MS-RPCE] 2.2.6.2: the object buffer is a multiple of 8
    writeReplyHead(reply, static_cast<uint32_t>(body + pad));
    reply.setLittleEndian32(rc::success);
    reply.setLittleEndian32(static_cast<uint32_t>(dwState));
    reply.setLittleEndian32(static_cast<uint32_t>(dwProtocol));
    reply.setLittleEndian32(static_cast<uint32_t>(n));  // cbAtrLen
    reply.setLittleEndian32(withAtr ? kAtrReferent : 0);
    if (withAtr) {
        reply.setLittleEndian32(static_cast<uint32_t>(n));
        reply.setBytes(std::span(atr).first(n));
        reply.skipPositionWrite(padding(n, 4));
    }
    reply.skipPositionWrite(pad);
    reply.markEnd();
}

void setAttrib(DataView& request, DataView& reply) {
    std::array<uint32_t, 3> words{};  // dwAttrId, cbAttrLen, the pbAttr referent id
    auto card = readCardCall(request, reply, words);
    if (!card) return;
    auto [dwAttrId, cbAttrLen, pbAttr] = words;
    if (cbAttrLen > kMaxAttribute) return longReturn(rc::invalid_value, reply);
    if (cbAttrLen > 0 && pbAttr == 0) return longReturn(rc::invalid_parameter, reply);
    std::span<const uint8_t> attribute;
    if (pbAttr != 0) {
        uint32_t count = request.getLittleEndian32();
        if (answeredTruncated(request, reply)) return;
        if (count != cbAttrLen) return longReturn(rc::invalid_value, reply);
        attribute = request.getSpan(cbAttrLen);
        request.skipPositionRead(static_cast<int32_t>(padding(cbAttrLen, 4)));
        if (answeredTruncated(request, reply)) return;
    }
    LONG result = pcsc().set_attrib(static_cast<SCARDHANDLE>(*card), dwAttrId,
                                    attribute.empty() ? nullptr : attribute.data(),
                                    static_cast<DWORD>(attribute.size()));
    longReturn(static_cast<uint32_t>(result), reply);
}

void getTransmitCount(DataView& request, DataView& reply) {
    auto card = readCardCall(request, reply, {});
    if (!card) return;
    longReturnWithValue(rc::success, reply, transmit_counts().get(*card));
}

}  // namespace kx_agent::smartcard
