// SCARD_IOCTL_CONTROL and SCARD_IOCTL_GETATTRIB: calls that reach past the card to the reader
// and its driver. The control code and the attribute identifier go to PC/SC as the client sent
// them (the seam puts them into the service's numbering).
//
// Control_Call, fixed part: REDIR_SCARDHANDLE, dwControlCode, cbInBufferSize, pvInBuffer,
// fpvOutBufferIsNULL, cbOutBufferSize; deferred: the context and handle bytes, then the input
// array. GetAttrib_Call: REDIR_SCARDHANDLE, dwAttrId, fpbAttrIsNULL, cbAttrLen; deferred: the
// context and handle bytes. No padding is skipped anywhere in either call.
#include <algorithm>
#include <span>
#include <vector>

#include "smartcard/ndr.h"
#include "smartcard/pcsc.h"

namespace kx_agent::smartcard {
namespace {

// [MS-RDPESC] bounds: the control buffers and the attribute value.
constexpr uint32_t kMaxControlOutput = 66560;
constexpr uint32_t kMaxAttribute = 65536;

constexpr uint32_t kAttrReferent = 0x00020080;
// SCARD_AUTOALLOCATE in the 32-bit interface the client speaks.
constexpr uint32_t kWireAutoAllocate = 0xFFFFFFFF;

}  // namespace

void control(DataView& request, DataView& reply) {
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
    ScardReference context = readScardContext(request);
    ScardReference handle = readScardHandle(request);
    uint32_t dwControlCode = request.getLittleEndian32();
    uint32_t cbInBufferSize = request.getLittleEndian32();
    request.skipPositionRead(4);  // pvInBuffer referent id
    request.skipPositionRead(4);  // fpvOutBufferIsNULL: cbOutBufferSize alone decides
    uint32_t cbOutBufferSize = request.getLittleEndian32();
    if (answeredTruncated(request, reply)) return;

    auto card = decodeCardReference(request, context.cb, handle.cb);
    if (!card) {
        longReturn(card.error(), reply);
        return;
    }
    // The array's own count, not cbInBufferSize, is the input length; the bytes stay in the
    // message.
    const void* input = nullptr;
    std::size_t inputLength = 0;
    if (cbInBufferSize > 0) {
        auto bytes = request.getSpan(request.getLittleEndian32());
        input = bytes.data();
        inputLength = bytes.size();
    }
    if (answeredTruncated(request, reply)) return;

    std::vector<uint8_t> output(std::min(cbOutBufferSize, kMaxControlOutput));
    DWORD bytesReturned = output.size();
    LONG result = pcsc().control(static_cast<SCARDHANDLE>(card->handle), dwControlCode, input,
                                 inputLength, output.empty() ? nullptr : output.data(),
                                 output.size(), &bytesReturned);
    if (result != SCARD_S_SUCCESS) {
        longReturn(static_cast<uint32_t>(result), reply);
        return;
    }
    // Only what the buffer holds is sent, whatever count the driver reports. The referent id
    // of pvOutBuffer repeats the request's pbContext referent, also for an empty answer.
    std::size_t n = std::min<DWORD>(bytesReturned, output.size());
    writeByteArrayReturn(reply, context.referent, std::span(output).first(n), 8);
}

void getAttrib(DataView& request, DataView& reply) {
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
    ScardReference context = readScardContext(request);
    ScardReference handle = readScardHandle(request);
    uint32_t dwAttrId = request.getLittleEndian32();
    uint32_t fpbAttrIsNULL = request.getLittleEndian32();
    uint32_t cbAttrLen = request.getLittleEndian32();
    if (answeredTruncated(request, reply)) return;

    auto card = decodeCardReference(request, context.cb, handle.cb);
    if (!card) {
        longReturn(card.error(), reply);
        return;
    }
    if (answeredTruncated(request, reply)) return;

    auto scardHandle = static_cast<SCARDHANDLE>(card->handle);
    std::vector<BYTE> attribute;
    DWORD attrLength = 0;
    LONG result = SCARD_S_SUCCESS;
    if (fpbAttrIsNULL != 0 || cbAttrLen == 0) {
        // The length alone: no buffer.
        result = pcsc().get_attrib(scardHandle, dwAttrId, nullptr, &attrLength);
        if (result == SCARD_S_SUCCESS)
            attribute.resize(std::min<DWORD>(attrLength, kMaxAttribute));  // sent as zeros
    } else {
        // SCARD_AUTOALLOCATE (0xFFFFFFFF) asks for the attribute whatever its size: its length
        // is asked first, then the attribute in a buffer of that length.
        if (cbAttrLen == kWireAutoAllocate) {
            result = pcsc().get_attrib(scardHandle, dwAttrId, nullptr, &attrLength);
            cbAttrLen = static_cast<uint32_t>(std::min<DWORD>(attrLength, kMaxAttribute));
        }
        if (result == SCARD_S_SUCCESS) {
            // One byte more than announced keeps the pointer non-null for an attribute of
            // length 0, which PC/SC would otherwise take for a length query.
            attribute.resize(std::min(cbAttrLen, kMaxAttribute) + 1);
            attrLength = attribute.size() - 1;
            result = pcsc().get_attrib(scardHandle, dwAttrId, attribute.data(), &attrLength);
            // Never more than the buffer holds, whatever length PC/SC reports.
            attribute.resize(std::min<DWORD>(attrLength, attribute.size() - 1));
        }
    }
    if (result != SCARD_S_SUCCESS) {
        longReturn(static_cast<uint32_t>(result), reply);
        return;
    }
    writeByteArrayReturn(reply, kAttrReferent, attribute, 4);
}

}  // namespace kx_agent::smartcard
