// SCARD_IOCTL_TRANSMIT: one command APDU to the card behind a card handle, and its response.
//
// Transmit_Call, fixed part: REDIR_SCARDHANDLE, ioSendPci (dwProtocol, cbExtraBytes,
// pbExtraBytes), cbSendLength, pbSendBuffer, pioRecvPci, fpbRecvBufferIsNULL, cbRecvLength.
// Deferred, in that order: the context and handle bytes (no padding after either), the send
// PCI's extra bytes, the send buffer, then the receive PCI with its own extra bytes; each byte
// array here is followed by padding to a multiple of 4.
//
// The client's SCardIO_Request is rebuilt as the platform's PCI block: SCARD_IO_REQUEST
// (dwProtocol, cbPciLength; two unsigned long, 16 bytes on Linux) with the extra bytes right
// behind it, cbPciLength covering header and extra bytes.
#include <algorithm>
#include <cstdio>
#include <expected>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "smartcard/ndr.h"
#include "smartcard/pcsc.h"
#include "smartcard/transmit_counts.h"

namespace kx_agent::smartcard {
namespace {

// [MS-RDPESC] bounds of Transmit_Call.
constexpr uint32_t kMaxExtraBytes = 1024;
constexpr uint32_t kMaxBufferLength = 66560;  // cbSendLength, and the receive buffer offered

constexpr uint32_t kRecvPciReferent = 0x00020000;
constexpr uint32_t kRecvBufferReferent = 0x00020004;
constexpr uint32_t kRecvExtraReferent = 0x00020008;

constexpr std::size_t kHeaderSize = sizeof(SCARD_IO_REQUEST);

// One PCI block in one allocation, aligned for SCARD_IO_REQUEST.
class PciBlock {
public:
    PciBlock(uint32_t protocol, std::span<const uint8_t> extra)
        : storage_(1 + (extra.size() + kHeaderSize - 1) / kHeaderSize), extra_(extra.size()) {
        storage_[0].dwProtocol = protocol;
        storage_[0].cbPciLength = kHeaderSize + extra.size();
        std::ranges::copy(extra, bytes() + kHeaderSize);
    }

    SCARD_IO_REQUEST* get() { return storage_.data(); }
    uint32_t protocol() const { return static_cast<uint32_t>(storage_[0].dwProtocol); }

    // Header and extra bytes as handed to PC/SC.
    std::span<const uint8_t> block() const { return {bytes(), kHeaderSize + extra_}; }

    // The extra bytes that PC/SC's cbPciLength claims after the call, kept inside the block: a
    // length below the header gives none, one beyond the block no more than the block holds.
    std::span<const uint8_t> extraAfterCall() const {
        std::size_t length = storage_[0].cbPciLength;
        std::size_t e = length > kHeaderSize ? std::min(length - kHeaderSize, extra_) : 0;
        return {bytes() + kHeaderSize, e};
    }

private:
    uint8_t* bytes() { return reinterpret_cast<uint8_t*>(storage_.data()); }
    const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(storage_.data()); }

    std::vector<SCARD_IO_REQUEST> storage_;
    std::size_t extra_;
};

// The send PCI block on standard output, each byte as four hex digits and a space.
void dumpPci(std::span<const uint8_t> block) {
    std::string text;
    text.reserve(block.size() * 5);
    char group[8];
    for (uint8_t byte : block) {
        std::snprintf(group, sizeof group, "%04x ", byte);
        text += group;
    }
    std::cout << text << std::flush;
}

struct TransmitCall {
    ScardReference context;
    ScardReference handle;
    uint32_t sendProtocol;
    uint32_t cbSendExtraBytes;
    uint32_t pbSendExtraBytes;
    uint32_t cbSendLength;
    uint32_t pbSendBuffer;
    uint32_t pioRecvPci;
    uint32_t fpbRecvBufferIsNULL;
    uint32_t cbRecvLength;
};

TransmitCall readFixedPart(DataView& request) {
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
    TransmitCall call{};
    call.context = readScardContext(request);
    call.handle = readScardHandle(request);
    call.sendProtocol = request.getLittleEndian32();
    call.cbSendExtraBytes = request.getLittleEndian32();
    call.pbSendExtraBytes = request.getLittleEndian32();
    call.cbSendLength = request.getLittleEndian32();
    call.pbSendBuffer = request.getLittleEndian32();
    call.pioRecvPci = request.getLittleEndian32();
    call.fpbRecvBufferIsNULL = request.getLittleEndian32();
    call.cbRecvLength = request.getLittleEndian32();
    return call;
}

// A deferred byte array of `count` bytes and its padding. The bytes stay in the message.
std::span<const uint8_t> readPadded(DataView& request, uint32_t count) {
    auto bytes = request.getSpan(count);
    request.skipPositionRead(static_cast<int32_t>(padding(count, 4)));
    return bytes;
}

// The receive PCI of the call, or the code that refuses it.
std::expected<PciBlock, uint32_t> readRecvPci(DataView& request) {
    uint32_t dwProtocol = request.getLittleEndian32();
    uint32_t cbExtraBytes = request.getLittleEndian32();
    uint32_t pbExtraBytes = request.getLittleEndian32();
    if (cbExtraBytes > kMaxExtraBytes || (cbExtraBytes > 0 && pbExtraBytes == 0))
        return std::unexpected(rc::invalid_value);
    std::span<const uint8_t> extra;
    if (pbExtraBytes != 0) {
        if (request.getLittleEndian32() != cbExtraBytes) return std::unexpected(rc::invalid_value);
        extra = readPadded(request, cbExtraBytes);
    }
    return PciBlock(dwProtocol, extra);
}

void writeTransmitReturn(DataView& reply, const std::optional<PciBlock>& recvPci,
                         std::span<const uint8_t> response, bool hasBuffer, uint32_t n) {
    auto extra = recvPci ? recvPci->extraAfterCall() : std::span<const uint8_t>{};
    auto e = static_cast<uint32_t>(extra.size());
    std::size_t pciPart = !recvPci ? 0 : e == 0 ? 12 : 16 + e + padding(e, 4);
    std::size_t bufferPart = hasBuffer ? 4 + n + padding(n, 4) : 0;
    writeReplyHead(reply, static_cast<uint32_t>(16 + pciPart + bufferPart + 4));

    reply.setLittleEndian32(rc::success);
    reply.setLittleEndian32(recvPci ? kRecvPciReferent : 0);
    reply.setLittleEndian32(n);  // cbRecvLength
    reply.setLittleEndian32(hasBuffer ? kRecvBufferReferent : 0);
    if (recvPci) {
        reply.setLittleEndian32(recvPci->protocol());
        reply.setLittleEndian32(e);
        reply.setLittleEndian32(e > 0 ? kRecvExtraReferent : 0);
        if (e > 0) {
            reply.setLittleEndian32(e);
            reply.setBytes(extra);
            reply.skipPositionWrite(padding(e, 4));
        }
    }
    if (hasBuffer) {
        reply.setLittleEndian32(n);
        reply.setBytes(response.first(n));
        reply.skipPositionWrite(padding(n, 4));
    }
    reply.skipPositionWrite(4);  // trailer
    reply.markEnd();
}

}  // namespace

void transmit(DataView& request, DataView& reply) {
    TransmitCall call = readFixedPart(request);
    if (answeredTruncated(request, reply)) return;
    // The ranges are refused before any deferred data is read.
    if (call.cbSendExtraBytes > kMaxExtraBytes || call.cbSendLength > kMaxBufferLength ||
        (call.cbSendExtraBytes > 0 && call.pbSendExtraBytes == 0)) {
        longReturn(rc::invalid_value, reply);
        return;
    }
    auto card = decodeCardReference(request, call.context.cb, call.handle.cb);
    if (!card) {
        longReturn(card.error(), reply);
        return;
    }

    std::span<const uint8_t> sendExtra;
    if (call.pbSendExtraBytes != 0) {
        request.skipPositionRead(4);  // the array's own count; cbExtraBytes is what counts
        sendExtra = readPadded(request, call.cbSendExtraBytes);
        if (answeredTruncated(request, reply)) return;
    }
    PciBlock sendPci(call.sendProtocol, sendExtra);
    if (call.cbSendExtraBytes > 0) dumpPci(sendPci.block());

    // Without a referent the buffer is null, and cbSendLength still goes to PC/SC as sent.
    const BYTE* sendBuffer = nullptr;
    if (call.pbSendBuffer != 0) {
        if (request.getLittleEndian32() != call.cbSendLength) {
            longReturn(rc::invalid_value, reply);
            return;
        }
        sendBuffer = readPadded(request, call.cbSendLength).data();
    }

    std::optional<PciBlock> recvPci;
    if (call.pioRecvPci != 0) {
        auto block = readRecvPci(request);
        if (!block) {
            longReturn(block.error(), reply);
            return;
        }
        recvPci.emplace(std::move(*block));
    }
    if (answeredTruncated(request, reply)) return;

    bool hasBuffer = call.cbRecvLength > 0 && call.fpbRecvBufferIsNULL == 0;
    std::vector<BYTE> response(hasBuffer ? std::min(call.cbRecvLength, kMaxBufferLength) : 0);
    DWORD recvLength = response.size();
    LONG result = pcsc().transmit(static_cast<SCARDHANDLE>(card->handle), sendPci.get(),
                                  sendBuffer, call.cbSendLength,
                                  recvPci ? recvPci->get() : nullptr,
                                  hasBuffer ? response.data() : nullptr, &recvLength);
    if (result != SCARD_S_SUCCESS) {
        longReturn(static_cast<uint32_t>(result), reply);
        return;
    }
    transmit_counts().count(card->handle);
    // A count beyond the buffer (or, with no buffer, beyond any response) is not believed.
    auto n = static_cast<uint32_t>(
        std::min<DWORD>(recvLength, hasBuffer ? response.size() : kMaxBufferLength));
    writeTransmitReturn(reply, recvPci, response, hasBuffer, n);
}

}  // namespace kx_agent::smartcard
