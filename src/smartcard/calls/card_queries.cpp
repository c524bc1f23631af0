// Calls that ask about, or set, what lies behind a card handle without talking to the card:
// SCARD_IOCTL_STATE, GETTRANSMITCOUNT and SETATTRIB.
//
// State_Call: REDIR_SCARDHANDLE, fpbAtrIsNULL, cbAtrLen; deferred: the context and handle
// bytes. State_Return: ReturnCode, dwState, dwProtocol, cbAtrLen, the rgAtr pointer; deferred:
// the ATR as a conformant array.
// GetTransmitCount_Call: REDIR_SCARDHANDLE and its bytes; GetTransmitCount_Return: ReturnCode,
// cTransmitCount.
// SetAttrib_Call: REDIR_SCARDHANDLE, dwAttrId, cbAttrLen, the pbAttr pointer; deferred: the
// context and handle bytes, then the attribute as a conformant array. Its return is a
// Long_Return.
#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

#include "smartcard/calls/call.h"
#include "smartcard/pcsc/pcsc.h"
#include "smartcard/state/transmit_counts.h"

namespace kx_agent::smartcard {
namespace {

constexpr std::size_t kMaxWireAtr = 36;  // State_Return's range of cbAtrLen
static_assert(MAX_ATR_SIZE <= kMaxWireAtr, "the platform's ATR fits State_Return");

// A call on a card handle with nothing else deferred: the handle, then `fixed` (the call's own
// fixed fields, read in order), then the handle's bytes.
template <class Call>
std::expected<Call, ReturnCode> readHandleCall(NdrReader& in, auto fixed) {
    Call call;
    call.hCard.readFixed(in);
    fixed(call);
    if (auto deferred = call.hCard.readDeferred(in); !deferred)
        return std::unexpected(deferred.error());
    return call;
}

struct StateCall {
    REDIR_SCARDHANDLE hCard;
    uint32_t fpbAtrIsNULL = 0;
    uint32_t cbAtrLen = 0;
};

struct StateReturn {
    smartcard::ReturnCode ReturnCode = rc::success;
    uint32_t dwState = 0;
    uint32_t dwProtocol = 0;
    LengthOrBuffer rgAtr{};  // cbAtrLen and rgAtr: the ATR, or only its length

    void encode(NdrWriter& out, CharForm) const {
        out.u32(ReturnCode.value());
        out.u32(dwState);
        out.u32(dwProtocol);
        rgAtr.encodeFixed(out);
        rgAtr.encodeDeferred(out);
    }
};

std::expected<StateCall, ReturnCode> decodeState(NdrReader& in, CharForm) {
    return readHandleCall<StateCall>(in, [&](StateCall& call) {
        call.fpbAtrIsNULL = in.u32();
        call.cbAtrLen = in.u32();
    });
}

StateReturn executeState(const StateCall& call, CharForm, const Services& services) {
    // SCardStatus without reader names (a null buffer asks for their length alone).
    DWORD namesLength = 0;
    DWORD dwState = 0;
    DWORD dwProtocol = 0;
    std::array<BYTE, MAX_ATR_SIZE> atr{};
    DWORD atrLength = atr.size();
    LONG result = services.pcsc.status(static_cast<SCARDHANDLE>(call.hCard.value), nullptr,
                                       &namesLength, &dwState, &dwProtocol, atr.data(), &atrLength);
    if (result != SCARD_S_SUCCESS) return {ReturnCode::of(result)};
    std::size_t n = std::min<std::size_t>(atrLength, atr.size());
    // The ATR goes back unless only its length was asked for (fpbAtrIsNULL, or a cbAtrLen of
    // 0); a buffer smaller than the ATR is refused, SCARD_AUTOALLOCATE takes any.
    bool withAtr = call.fpbAtrIsNULL == 0 && call.cbAtrLen != 0;
    if (withAtr && call.cbAtrLen != rc::autoallocate && call.cbAtrLen < n)
        return {rc::insufficient_buffer};
    LengthOrBuffer rgAtr{.length = static_cast<uint32_t>(n)};
    if (withAtr) rgAtr.bytes.emplace(atr.begin(), atr.begin() + static_cast<std::ptrdiff_t>(n));
    return {rc::success, static_cast<uint32_t>(dwState), static_cast<uint32_t>(dwProtocol),
            std::move(rgAtr)};
}

struct SetAttribCall {
    REDIR_SCARDHANDLE hCard;
    uint32_t dwAttrId = 0;
    uint32_t cbAttrLen = 0;
    uint32_t pbAttr = 0;
    std::vector<uint8_t> attribute;
};

std::expected<SetAttribCall, ReturnCode> decodeSetAttrib(NdrReader& in, CharForm) {
    auto call = readHandleCall<SetAttribCall>(in, [&](SetAttribCall& c) {
        c.dwAttrId = in.u32();
        c.cbAttrLen = in.u32();
        c.pbAttr = in.u32();
    });
    if (!call) return call;
    if (call->cbAttrLen > range::data) return std::unexpected(rc::invalid_parameter);
    if (call->cbAttrLen > 0 && call->pbAttr == 0) return std::unexpected(rc::invalid_parameter);
    if (call->pbAttr != 0) {
        auto bytes = in.conformant(call->cbAttrLen);
        if (!bytes) return std::unexpected(bytes.error());
        call->attribute.assign(bytes->begin(), bytes->end());
        in.align(4);  // the padding after the array: a whole call holds it
    }
    return call;
}

LongReturn executeSetAttrib(const SetAttribCall& call, CharForm, const Services& services) {
    const auto& attribute = call.attribute;
    return {ReturnCode::of(services.pcsc.set_attrib(
        static_cast<SCARDHANDLE>(call.hCard.value), call.dwAttrId,
        attribute.empty() ? nullptr : attribute.data(), static_cast<DWORD>(attribute.size())))};
}

struct GetTransmitCountCall {
    REDIR_SCARDHANDLE hCard;
};

struct GetTransmitCountReturn {
    smartcard::ReturnCode ReturnCode = rc::success;
    uint32_t cTransmitCount = 0;

    void encode(NdrWriter& out, CharForm) const {
        out.u32(ReturnCode.value());
        out.u32(cTransmitCount);
    }
};

std::expected<GetTransmitCountCall, ReturnCode> decodeTransmitCount(NdrReader& in, CharForm) {
    return readHandleCall<GetTransmitCountCall>(in, [](GetTransmitCountCall&) {});
}

// The count of the handle's reader; a handle that was never connected, or has been
// disconnected, has none.
GetTransmitCountReturn executeTransmitCount(const GetTransmitCountCall& call, CharForm,
                                            const Services& services) {
    auto count = services.transmits.get(call.hCard.value);
    if (!count) return {rc::invalid_handle};
    return {rc::success, *count};
}

}  // namespace

const CallHandler stateCall = typedCall<decodeState, executeState>;
const CallHandler setAttribCall = typedCall<decodeSetAttrib, executeSetAttrib>;
const CallHandler getTransmitCountCall = typedCall<decodeTransmitCount, executeTransmitCount>;

constexpr std::array kRows = {
    row(ioctl::state, stateCall, CharForm::A, CallOrder::Kind::context, Timing::atOnce),
    row(ioctl::setAttrib, setAttribCall),
    row(ioctl::getTransmitCount, getTransmitCountCall, CharForm::A, CallOrder::Kind::context,
        Timing::atOnce),
};

std::span<const CallRow> cardQueryRows() { return kRows; }

}  // namespace kx_agent::smartcard
