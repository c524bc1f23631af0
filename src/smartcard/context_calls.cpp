// Context calls: SCARD_IOCTL_ESTABLISHCONTEXT, RELEASECONTEXT, ISVALIDCONTEXT and CANCEL.
//
// A PC/SC context travels to the client as 8 reference bytes, the value in 64-bit little-endian
// form, inside a REDIR_SCARDCONTEXT; the client sends the same bytes back in every later call.
// pcsc-lite's SCARDCONTEXT is 64-bit, so decoded values are passed to it whole.
#include <iostream>

#include "smartcard/card_cache.h"
#include "smartcard/ndr.h"
#include "smartcard/pcsc.h"

namespace kx_agent::smartcard {
namespace {

constexpr uint32_t kContextReferent = 0x00020000;

enum class ContextCall { release, validate, cancel };

LONG callPcsc(ContextCall call, SCARDCONTEXT context) {
    switch (call) {
        case ContextCall::release: return pcsc().release_context(context);
        case ContextCall::validate: return pcsc().is_valid_context(context);
        case ContextCall::cancel: return pcsc().cancel(context);
    }
    return 0;
}

// Context_Call: REDIR_SCARDCONTEXT, then the deferred reference bytes.
void contextCall(ContextCall call, DataView& request, DataView& reply) {
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
    ScardReference ref = readScardContext(request);
    if (ref.cb == 0) {
        if (answeredTruncated(request, reply)) return;
        longReturn(rc::success, reply);
        return;
    }
    uint32_t count = request.getLittleEndian32();
    if (answeredTruncated(request, reply)) return;
    if (count != ref.cb) {
        if (call == ContextCall::validate)
            std::cout << "ERROR: isValidContext(), error: wrong size of card ctx: " << count
                      << std::endl;
        longReturn(rc::invalid_value, reply);
        return;
    }
    uint64_t context = readReference(request, count);
    if (answeredTruncated(request, reply)) return;
    if (call == ContextCall::release) card_cache().forget_context(context);
    longReturn(static_cast<uint32_t>(callPcsc(call, static_cast<SCARDCONTEXT>(context))), reply);
}

}  // namespace

void establishContext(DataView& request, DataView& reply) {
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
    uint32_t dwScope = request.getLittleEndian32();
    if (answeredTruncated(request, reply)) return;

    SCARDCONTEXT context = 0;
    LONG result = pcsc().establish_context(dwScope, &context);
    if (result != SCARD_S_SUCCESS) {
        longReturn(static_cast<uint32_t>(result), reply);
        return;
    }
    // EstablishContext_Return: ReturnCode, REDIR_SCARDCONTEXT, deferred reference bytes.
    writeReplyHead(reply, 24);
    reply.setLittleEndian32(rc::success);
    reply.setLittleEndian32(8);  // cbContext
    reply.setLittleEndian32(kContextReferent);
    reply.setLittleEndian32(8);  // conformant array maximum count
    reply.setLittleEndian64(static_cast<uint64_t>(context));
    reply.markEnd();
}

void releaseContext(DataView& request, DataView& reply) {
    contextCall(ContextCall::release, request, reply);
}

void isValidContext(DataView& request, DataView& reply) {
    contextCall(ContextCall::validate, request, reply);
}

void cancel(DataView& request, DataView& reply) { contextCall(ContextCall::cancel, request, reply); }

}  // namespace kx_agent::smartcard
