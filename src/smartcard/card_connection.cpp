// Card connection calls: SCARD_IOCTL_CONNECTA/W, RECONNECT, DISCONNECT, BEGINTRANSACTION and
// ENDTRANSACTION.
//
// A PC/SC card handle travels to the client as 8 handle bytes, the value in 64-bit
// little-endian form, inside a REDIR_SCARDHANDLE whose context is empty; the client sends the
// same bytes back in every later call on the card. pcsc-lite's SCARDHANDLE and DWORD are
// 64-bit: decoded handles are passed whole, and the 32-bit wire fields (share mode, protocols,
// disposition) are widened on the way in and narrowed on the way out.
#include <array>
#include <optional>
#include <string>

#include "smartcard/char_form.h"
#include "smartcard/ndr.h"
#include "smartcard/pcsc.h"
#include "smartcard/transmit_counts.h"

namespace kx_agent::smartcard {
namespace {

constexpr uint32_t kHandleReferent = 0x00020002;

// Connect_Return: ReturnCode, REDIR_SCARDHANDLE (empty context, cbHandle, pbHandle),
// dwActiveProtocol, then the deferred handle bytes padded to 4.
constexpr uint32_t kConnectReturnLength = 40;
// On failure only the fixed part goes back, all zero but ReturnCode.
constexpr uint32_t kConnectFailureLength = 24;

// A call on a card handle (Reconnect_Call, HCardAndDisposition_Call) as read: the handle and
// the 32-bit words that follow the REDIR_SCARDHANDLE in the fixed part.
struct HandleCall {
    SCARDHANDLE card;
    std::array<uint32_t, 3> words;
};

// Reads a call on a card handle with `wordCount` fixed words after the REDIR_SCARDHANDLE, then
// the deferred context and handle bytes. Any failure is answered here and gives nullopt.
std::optional<HandleCall> readHandleCall(DataView& request, DataView& reply,
                                         std::size_t wordCount) {
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
    ScardReference context = readScardContext(request);
    ScardReference handle = readScardHandle(request);
    HandleCall call{};
    for (std::size_t i = 0; i < wordCount; ++i) call.words[i] = request.getLittleEndian32();
    auto reference = decodeCardReference(request, context.cb, handle.cb);
    if (answeredTruncated(request, reply)) return std::nullopt;
    if (!reference) {
        longReturn(reference.error(), reply);
        return std::nullopt;
    }
    call.card = static_cast<SCARDHANDLE>(reference->handle);
    return call;
}

void writeConnectReturn(DataView& reply, SCARDHANDLE card, DWORD activeProtocol) {
    writeReplyHead(reply, kConnectReturnLength);
    reply.setLittleEndian32(rc::success);
    reply.setLittleEndian32(0);  // cbContext: the handle carries no context
    reply.setLittleEndian32(0);  // pbContext
    reply.setLittleEndian32(8);  // cbHandle
    reply.setLittleEndian32(kHandleReferent);
    reply.setLittleEndian32(static_cast<uint32_t>(activeProtocol));
    reply.setLittleEndian32(8);  // conformant array maximum count
    reply.setLittleEndian64(static_cast<uint64_t>(card));
    reply.skipPositionWrite(4);  // [MS-RPCE] 2.2.6.2: the object buffer is a multiple of 8
    reply.markEnd();
}

void writeConnectFailure(DataView& reply, uint32_t code) {
    writeReplyHead(reply, kConnectFailureLength);
    reply.setLittleEndian32(code);
    reply.skipPositionWrite(20);  // cbContext, pbContext, cbHandle, pbHandle, dwActiveProtocol
    reply.markEnd();
}

}  // namespace

void connect(CharForm form, DataView& request, DataView& reply) {
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
    request.getLittleEndian32();  // szReader referent id
    readScardContext(request);    // the context's count is not compared with cbContext
    uint32_t dwShareMode = request.getLittleEndian32();
    uint32_t dwPreferredProtocols = request.getLittleEndian32();

    // szReader (ConnectA_Call or ConnectW_Call): a conformant varying string in the call's form.
    auto reader = readString(request, form);
    if (answeredTruncated(request, reply)) return;
    if (!reader) return longReturn(reader.error(), reply);

    uint32_t contextCount = request.getLittleEndian32();
    uint64_t context = readReference(request, contextCount);
    if (answeredTruncated(request, reply)) return;
    if (context == 0) {
        longReturn(rc::invalid_handle, reply);
        return;
    }

    SCARDHANDLE card = 0;
    DWORD activeProtocol = 0;
    LONG result = pcsc().connect(static_cast<SCARDCONTEXT>(context), reader->c_str(), dwShareMode,
                                 dwPreferredProtocols, &card, &activeProtocol);
    if (result != SCARD_S_SUCCESS) {
        writeConnectFailure(reply, static_cast<uint32_t>(result));
        return;
    }
    writeConnectReturn(reply, card, activeProtocol);
}

void reconnect(DataView& request, DataView& reply) {
    // Reconnect_Call: dwShareMode, dwPreferredProtocols, dwInitialization.
    auto call = readHandleCall(request, reply, 3);
    if (!call) return;
    DWORD activeProtocol = 0;
    LONG result =
        pcsc().reconnect(call->card, call->words[0], call->words[1], call->words[2], &activeProtocol);
    // Reconnect_Return: ReturnCode, dwActiveProtocol.
    longReturnWithValue(static_cast<uint32_t>(result), reply,
                        static_cast<uint32_t>(activeProtocol));
}

void disconnect(DataView& request, DataView& reply) {
    auto call = readHandleCall(request, reply, 1);  // dwDisposition
    if (!call) return;
    transmit_counts().forget(call->card);
    longReturn(static_cast<uint32_t>(pcsc().disconnect(call->card, call->words[0])), reply);
}

void beginTransaction(DataView& request, DataView& reply) {
    // dwDisposition is part of the call but SCardBeginTransaction takes none.
    auto call = readHandleCall(request, reply, 1);
    if (!call) return;
    longReturn(static_cast<uint32_t>(pcsc().begin_transaction(call->card)), reply);
}

void endTransaction(DataView& request, DataView& reply) {
    auto call = readHandleCall(request, reply, 1);  // dwDisposition
    if (!call) return;
    longReturn(static_cast<uint32_t>(pcsc().end_transaction(call->card, call->words[0])), reply);
}

}  // namespace kx_agent::smartcard
