// Context calls: SCARD_IOCTL_ESTABLISHCONTEXT, RELEASECONTEXT, ISVALIDCONTEXT and CANCEL.
//
// EstablishContext_Call: dwScope. EstablishContext_Return: ReturnCode, REDIR_SCARDCONTEXT and
// its bytes. Context_Call (release, validate, cancel): REDIR_SCARDCONTEXT and its bytes; the
// answer is a Long_Return.
//
// A PC/SC context travels to the client as 8 reference bytes, the value in 64-bit little-endian
// form; the client sends the same bytes back in every later call.
#include <string>

#include "smartcard/calls/call.h"
#include "smartcard/state/card_cache.h"
#include "smartcard/pcsc/pcsc.h"

namespace kx_agent::smartcard {
namespace {

struct EstablishContextCall {
    uint32_t dwScope = 0;
};

struct EstablishContextReturn {
    smartcard::ReturnCode ReturnCode = rc::success;
    std::optional<uint64_t> Context;

    void encode(NdrWriter& out, CharForm) const {
        out.u32(ReturnCode.value());
        writeReference(out, Context.has_value());
        writeReferenceBytes(out, Context.has_value(), Context.value_or(0));
    }
};

std::expected<EstablishContextCall, ReturnCode> decodeEstablish(NdrReader& in, CharForm) {
    return EstablishContextCall{in.u32()};
}

EstablishContextReturn executeEstablish(const EstablishContextCall& call, CharForm,
                                        const Services& services) {
    SCARDCONTEXT context = 0;
    LONG result = services.pcsc.establish_context(call.dwScope, &context);
    if (result != SCARD_S_SUCCESS) return {ReturnCode::of(result), std::nullopt};
    return {rc::success, static_cast<uint64_t>(context)};
}

struct ContextCall {
    REDIR_SCARDCONTEXT Context;
};

// A context count that disagrees with cbContext is refused. The validate call says so on
// standard output, as it always has.
template <bool validate>
std::expected<ContextCall, ReturnCode> decodeContextCall(NdrReader& in, CharForm) {
    ContextCall call;
    call.Context.readFixed(in);
    if (auto deferred = call.Context.readDeferred(in); !deferred) {
        if (validate)
            in.say("ERROR: isValidContext(), error: wrong size of card ctx: " +
                   std::to_string(call.Context.count));
        return std::unexpected(deferred.error());
    }
    return call;
}

// A context-free release or cancel has nothing to act on and succeeds, as it always has.
LongReturn executeRelease(const ContextCall& call, CharForm, const Services& services) {
    if (call.Context.cbContext == 0) return {};
    services.cache.forget_context(call.Context.value);
    return {ReturnCode::of(services.pcsc.release_context(call.Context.value))};
}

// SCardIsValidContext has no answer for "no context" but SCARD_E_INVALID_HANDLE; reference
// bytes that decode to no value are PC/SC's to judge.
LongReturn executeValidate(const ContextCall& call, CharForm, const Services& services) {
    if (call.Context.cbContext == 0) return {rc::invalid_handle};
    return {ReturnCode::of(services.pcsc.is_valid_context(call.Context.value))};
}

// pcscd answers a cancel that finds no wait in progress (one that has just ended, or one between
// two slices of the agent's own wait) with SCARD_E_INVALID_HANDLE; on Windows a cancel on a valid
// context succeeds, so a refused cancel is held against the context's validity.
LongReturn executeCancel(const ContextCall& call, CharForm, const Services& services) {
    if (call.Context.cbContext == 0) return {};
    auto context = static_cast<SCARDCONTEXT>(call.Context.value);
    LONG result = services.pcsc.cancel(context);
    if (result != SCARD_S_SUCCESS && services.pcsc.is_valid_context(context) == SCARD_S_SUCCESS)
        return {};
    return {ReturnCode::of(result)};
}

}  // namespace

const CallHandler establishContextCall = typedCall<decodeEstablish, executeEstablish>;
const CallHandler releaseContextCall = typedCall<decodeContextCall<false>, executeRelease>;
const CallHandler isValidContextCall = typedCall<decodeContextCall<true>, executeValidate>;
const CallHandler cancelCall = typedCall<decodeContextCall<false>, executeCancel>;

constexpr std::array kRows = {
    row(ioctl::establishContext, establishContextCall, CharForm::A, CallOrder::Kind::independent,
        Timing::atOnce),
    row(ioctl::releaseContext, releaseContextCall, CharForm::A, CallOrder::Kind::context,
        Timing::atOnce),
    row(ioctl::isValidContext, isValidContextCall, CharForm::A, CallOrder::Kind::context,
        Timing::atOnce),
    row(ioctl::cancel, cancelCall, CharForm::A, CallOrder::Kind::cancel, Timing::atOnce),
};

std::span<const CallRow> contextCallRows() { return kRows; }

}  // namespace kx_agent::smartcard
