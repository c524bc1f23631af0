// Card connection calls: SCARD_IOCTL_CONNECTA/W, RECONNECT, DISCONNECT, BEGINTRANSACTION and
// ENDTRANSACTION.
//
// ConnectA_Call / ConnectW_Call: the szReader pointer, Connect_Common (REDIR_SCARDCONTEXT,
// dwShareMode, dwPreferredProtocols); deferred: the reader name (a string of the call's
// characters), then the context bytes. Connect_Return: ReturnCode, REDIR_SCARDHANDLE (an empty
// context, cbHandle and pbHandle), dwActiveProtocol; deferred: the handle bytes.
// Reconnect_Call: REDIR_SCARDHANDLE, dwShareMode, dwPreferredProtocols, dwInitialization;
// Reconnect_Return: ReturnCode, dwActiveProtocol. HCardAndDisposition_Call (disconnect and the
// transactions): REDIR_SCARDHANDLE, dwDisposition; the answer is a Long_Return.
//
// A PC/SC card handle travels to the client as 8 handle bytes, the value in 64-bit
// little-endian form, inside a REDIR_SCARDHANDLE whose context is empty; the client sends the
// same bytes back in every later call on the card, with its context or with that empty one. The
// handle alone names the card. pcsc-lite's SCARDHANDLE and DWORD are 64-bit: decoded handles are
// passed whole, and the 32-bit wire fields (share mode, protocols, disposition) are widened on
// the way in and narrowed on the way out.
#include <optional>
#include <string>

#include "smartcard/calls/call.h"
#include "smartcard/pcsc/pcsc.h"
#include "smartcard/state/transmit_counts.h"

namespace kx_agent::smartcard {
namespace {

struct ConnectCall {
    uint32_t szReader = 0;
    REDIR_SCARDCONTEXT Context;
    uint32_t dwShareMode = 0;
    uint32_t dwPreferredProtocols = 0;
    std::string reader;
};

struct ConnectReturn {
    smartcard::ReturnCode ReturnCode = rc::success;
    std::optional<uint64_t> hCard{};
    uint32_t dwActiveProtocol = 0;

    void encode(NdrWriter& out, CharForm) const {
        out.u32(ReturnCode.value());
        writeReference(out, false);  // hCard.Context: the handle names its card alone
        writeReference(out, hCard.has_value());
        out.u32(dwActiveProtocol);
        writeReferenceBytes(out, hCard.has_value(), hCard.value_or(0));
    }
};

std::expected<ConnectCall, ReturnCode> decodeConnect(NdrReader& in, CharForm form) {
    ConnectCall call;
    call.szReader = in.u32();
    call.Context.readFixed(in);
    call.dwShareMode = in.u32();
    call.dwPreferredProtocols = in.u32();
    if (call.szReader != 0) {
        auto reader = in.string(form);
        if (!reader) return std::unexpected(reader.error());
        call.reader = std::move(*reader);
    }
    if (auto deferred = call.Context.readDeferred(in); !deferred)
        return std::unexpected(deferred.error());
    // SCardConnect has no reader to connect to without a name.
    if (call.szReader == 0) return std::unexpected(rc::invalid_parameter);
    return call;
}

// The number of the reader's card insertion: the event counter in the upper 16 bits of its
// state, which pcsc-lite and winscard both keep. Read once a connection is made, so that the
// transmit counts tell a new card from the one before.
std::optional<uint32_t> insertionOf(Pcsc& pcsc, SCARDCONTEXT context, const std::string& reader) {
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    if (pcsc.get_status_change(context, 0, &state, 1) != SCARD_S_SUCCESS) return std::nullopt;
    return static_cast<uint32_t>(state.dwEventState >> 16) & 0xFFFF;
}

ConnectReturn executeConnect(const ConnectCall& call, CharForm, const Services& services) {
    if (call.Context.value == 0) return {rc::invalid_handle};
    auto context = static_cast<SCARDCONTEXT>(call.Context.value);
    SCARDHANDLE card = 0;
    DWORD activeProtocol = 0;
    LONG result = services.pcsc.connect(context, call.reader.c_str(), call.dwShareMode,
                                        call.dwPreferredProtocols, &card, &activeProtocol);
    if (result != SCARD_S_SUCCESS) return {ReturnCode::of(result)};
    services.transmits.connected(static_cast<uint64_t>(card), call.reader,
                                 insertionOf(services.pcsc, context, call.reader));
    return {rc::success, static_cast<uint64_t>(card), static_cast<uint32_t>(activeProtocol)};
}

struct ReconnectCall {
    REDIR_SCARDHANDLE hCard;
    uint32_t dwShareMode = 0;
    uint32_t dwPreferredProtocols = 0;
    uint32_t dwInitialization = 0;
};

struct ReconnectReturn {
    smartcard::ReturnCode ReturnCode = rc::success;
    uint32_t dwActiveProtocol = 0;

    void encode(NdrWriter& out, CharForm) const {
        out.u32(ReturnCode.value());
        out.u32(dwActiveProtocol);
    }
};

std::expected<ReconnectCall, ReturnCode> decodeReconnect(NdrReader& in, CharForm) {
    ReconnectCall call;
    call.hCard.readFixed(in);
    call.dwShareMode = in.u32();
    call.dwPreferredProtocols = in.u32();
    call.dwInitialization = in.u32();
    if (auto deferred = call.hCard.readDeferred(in); !deferred)
        return std::unexpected(deferred.error());
    return call;
}

ReconnectReturn executeReconnect(const ReconnectCall& call, CharForm, const Services& services) {
    auto card = static_cast<SCARDHANDLE>(call.hCard.value);
    DWORD activeProtocol = 0;
    LONG result = services.pcsc.reconnect(card, call.dwShareMode, call.dwPreferredProtocols,
                                          call.dwInitialization, &activeProtocol);
    if (result != SCARD_S_SUCCESS) return {ReturnCode::of(result)};
    // A handle reconnected after its card was taken out holds the card now in the reader.
    // The reader's state is read on the handle's context; a handle the record does not hold
    // keeps the insertion its reader had.
    if (auto reader = services.transmits.readerOf(call.hCard.value)) {
        auto context = services.record.context_of(card);
        auto insertion = context ? insertionOf(services.pcsc, *context, *reader) : std::nullopt;
        services.transmits.connected(call.hCard.value, std::move(*reader), insertion);
    }
    return {rc::success, static_cast<uint32_t>(activeProtocol)};
}

struct HCardAndDispositionCall {
    REDIR_SCARDHANDLE hCard;
    uint32_t dwDisposition = 0;
};

std::expected<HCardAndDispositionCall, ReturnCode> decodeDisposition(NdrReader& in, CharForm) {
    HCardAndDispositionCall call;
    call.hCard.readFixed(in);
    call.dwDisposition = in.u32();
    if (auto deferred = call.hCard.readDeferred(in); !deferred)
        return std::unexpected(deferred.error());
    return call;
}

SCARDHANDLE cardOf(const HCardAndDispositionCall& call) {
    return static_cast<SCARDHANDLE>(call.hCard.value);
}

LongReturn executeDisconnect(const HCardAndDispositionCall& call, CharForm,
                             const Services& services) {
    services.transmits.forget(call.hCard.value);
    return {ReturnCode::of(services.pcsc.disconnect(cardOf(call), call.dwDisposition))};
}

// dwDisposition is part of the call but SCardBeginTransaction takes none.
LongReturn executeBegin(const HCardAndDispositionCall& call, CharForm, const Services& services) {
    return {ReturnCode::of(services.pcsc.begin_transaction(cardOf(call)))};
}

LongReturn executeEnd(const HCardAndDispositionCall& call, CharForm, const Services& services) {
    return {ReturnCode::of(services.pcsc.end_transaction(cardOf(call), call.dwDisposition))};
}

}  // namespace

const CallHandler connectCall = typedCall<decodeConnect, executeConnect>;
const CallHandler reconnectCall = typedCall<decodeReconnect, executeReconnect>;
const CallHandler disconnectCall = typedCall<decodeDisposition, executeDisconnect>;
const CallHandler beginTransactionCall = typedCall<decodeDisposition, executeBegin>;
const CallHandler endTransactionCall = typedCall<decodeDisposition, executeEnd>;

constexpr std::array kRows = {
    row(ioctl::connectA, connectCall),
    row(ioctl::connectW, connectCall, CharForm::W),
    row(ioctl::reconnect, reconnectCall),
    row(ioctl::disconnect, disconnectCall),
    row(ioctl::beginTransaction, beginTransactionCall),
    row(ioctl::endTransaction, endTransactionCall, CharForm::A, CallOrder::Kind::endTransaction),
};

std::span<const CallRow> cardConnectionRows() { return kRows; }

}  // namespace kx_agent::smartcard
