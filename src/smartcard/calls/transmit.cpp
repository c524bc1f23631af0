// SCARD_IOCTL_TRANSMIT: one command APDU to the card behind a card handle, and its response.
//
// Transmit_Call, fixed part: REDIR_SCARDHANDLE hCard, SCardIO_Request ioSendPci (dwProtocol,
// cbExtraBytes, pbExtraBytes), cbSendLength, pbSendBuffer, pioRecvPci, fpbRecvBufferIsNULL,
// cbRecvLength. Deferred, in that order: the context and handle bytes, the send PCI's extra
// bytes, the send buffer, then the receive PCI (an SCardIO_Request) with its own extra bytes.
//
// Transmit_Return: ReturnCode, pioRecvPci, cbRecvLength, pbRecvBuffer; deferred depth first:
// the receive PCI, its extra bytes, then the response.
//
// The client's SCardIO_Request is rebuilt as the platform's PCI block: SCARD_IO_REQUEST
// (dwProtocol, cbPciLength; two unsigned long, 16 bytes on Linux) with the extra bytes right
// behind it, cbPciLength covering header and extra bytes.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "smartcard/calls/call.h"
#include "smartcard/pcsc/pcsc.h"
#include "smartcard/state/transmit_counts.h"

namespace kx_agent::smartcard {
namespace {

// The receive buffer offered to PC/SC: at most what a send may be ([range] of cbSendLength).
constexpr uint32_t kMaxBufferLength = range::buffer;

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

// The send PCI block as a diagnostic line, each byte as four hex digits and a space.
void dumpPci(std::span<const uint8_t> block) {
    std::string text;
    text.reserve(block.size() * 5);
    char group[8];
    for (uint8_t byte : block) {
        std::snprintf(group, sizeof group, "%04x ", byte);
        text += group;
    }
    diagnostics::client_out(std::move(text));
}

// SCardIO_Request as a call carries it; the extra bytes stay in the message.
struct SCardIO_Request {
    uint32_t dwProtocol = 0;
    uint32_t cbExtraBytes = 0;
    uint32_t pbExtraBytes = 0;
    std::span<const uint8_t> extraBytes;

    void readFixed(NdrReader& in) {
        dwProtocol = in.u32();
        cbExtraBytes = in.u32();
        pbExtraBytes = in.u32();
    }
    // More than 1024 extra bytes is SCARD_E_INVALID_PARAMETER ([range(0, 1024)]), a count
    // without its array SCARD_E_INVALID_VALUE.
    std::expected<void, ReturnCode> check() const {
        if (cbExtraBytes > range::extraBytes) return std::unexpected(rc::invalid_parameter);
        if (cbExtraBytes != 0 && pbExtraBytes == 0) return std::unexpected(rc::invalid_value);
        return {};
    }
};

struct TransmitCall {
    REDIR_SCARDHANDLE hCard;
    SCardIO_Request ioSendPci;
    uint32_t cbSendLength = 0;
    uint32_t pbSendBuffer = 0;
    uint32_t pioRecvPci = 0;
    uint32_t fpbRecvBufferIsNULL = 0;
    uint32_t cbRecvLength = 0;
    std::span<const uint8_t> sendBuffer;  // in the message
    std::optional<SCardIO_Request> recvPci;
};

// The receive PCI as it comes back; its protocol in the client's numbering.
struct RecvPci {
    uint32_t dwProtocol = 0;
    std::vector<uint8_t> extraBytes;
};

struct TransmitReturn {
    smartcard::ReturnCode ReturnCode = rc::success;
    std::optional<RecvPci> pioRecvPci = std::nullopt;
    LengthOrBuffer pbRecvBuffer{};  // cbRecvLength and pbRecvBuffer

    void encode(NdrWriter& out, CharForm) const {
        out.u32(ReturnCode.value());
        out.pointer(pioRecvPci.has_value());
        pbRecvBuffer.encodeFixed(out);
        if (pioRecvPci) {
            const auto& extra = pioRecvPci->extraBytes;
            out.u32(pioRecvPci->dwProtocol);
            out.u32(static_cast<uint32_t>(extra.size()));
            out.pointer(!extra.empty());
            if (!extra.empty()) out.conformant(extra);
        }
        pbRecvBuffer.encodeDeferred(out);
    }
};

std::expected<TransmitCall, ReturnCode> decodeTransmit(NdrReader& in, CharForm) {
    TransmitCall call;
    call.hCard.readFixed(in);
    call.ioSendPci.readFixed(in);
    call.cbSendLength = in.u32();
    call.pbSendBuffer = in.u32();
    call.pioRecvPci = in.u32();
    call.fpbRecvBufferIsNULL = in.u32();
    call.cbRecvLength = in.u32();
    // The ranges are refused before any deferred data is read.
    if (call.cbSendLength > range::buffer) return std::unexpected(rc::invalid_parameter);
    if (auto send = call.ioSendPci.check(); !send) return std::unexpected(send.error());
    if (auto deferred = call.hCard.readDeferred(in); !deferred)
        return std::unexpected(deferred.error());

    if (call.ioSendPci.pbExtraBytes != 0)
        call.ioSendPci.extraBytes = in.uncompared(call.ioSendPci.cbExtraBytes);
    // Without a referent the buffer is null, and cbSendLength still goes to PC/SC as sent.
    if (call.pbSendBuffer != 0) {
        auto send = in.conformant(call.cbSendLength);
        if (!send) return std::unexpected(send.error());
        call.sendBuffer = *send;
    }
    if (call.pioRecvPci != 0) {
        SCardIO_Request& pci = call.recvPci.emplace();
        pci.readFixed(in);
        if (auto recv = pci.check(); !recv) return std::unexpected(recv.error());
        if (pci.pbExtraBytes != 0) {
            auto extra = in.conformant(pci.cbExtraBytes);
            if (!extra) return std::unexpected(extra.error());
            pci.extraBytes = *extra;
        }
    }
    // Each byte array is followed by its padding to 4, the last one too, as it always was.
    in.align(4);
    return call;
}

TransmitReturn executeTransmit(const TransmitCall& call, CharForm, const Services& services) {
    PciBlock sendPci(call.ioSendPci.dwProtocol, call.ioSendPci.extraBytes);
    // Five bytes of output for each byte in: only on request, and within the clients' budget.
    if (call.ioSendPci.cbExtraBytes > 0 && diagnostics::verbose()) dumpPci(sendPci.block());
    std::optional<PciBlock> recvPci;
    if (call.recvPci) recvPci.emplace(call.recvPci->dwProtocol, call.recvPci->extraBytes);

    bool hasBuffer = call.cbRecvLength > 0 && call.fpbRecvBufferIsNULL == 0;
    std::vector<BYTE> response(hasBuffer ? std::min(call.cbRecvLength, kMaxBufferLength) : 0);
    DWORD recvLength = response.size();
    const BYTE* send = call.pbSendBuffer != 0 ? call.sendBuffer.data() : nullptr;
    LONG result = services.pcsc.transmit(
        static_cast<SCARDHANDLE>(call.hCard.value), sendPci.get(), send, call.cbSendLength,
        recvPci ? recvPci->get() : nullptr, hasBuffer ? response.data() : nullptr, &recvLength);
    if (result != SCARD_S_SUCCESS) return {ReturnCode::of(result)};
    services.transmits.count(call.hCard.value);

    TransmitReturn answer;
    if (recvPci) {
        auto extra = recvPci->extraAfterCall();
        answer.pioRecvPci = RecvPci{recvPci->protocol(), {extra.begin(), extra.end()}};
    }
    // A count beyond the buffer (or, with no buffer, beyond any response) is not believed.
    auto n = static_cast<uint32_t>(
        std::min<DWORD>(recvLength, hasBuffer ? response.size() : kMaxBufferLength));
    if (hasBuffer) {
        response.resize(n);
        answer.pbRecvBuffer.bytes = std::move(response);
    } else {
        answer.pbRecvBuffer.length = n;
    }
    return answer;
}

}  // namespace

const CallHandler transmitCall = typedCall<decodeTransmit, executeTransmit>;

constexpr std::array kRows = {
    row(ioctl::transmit, transmitCall),
};

std::span<const CallRow> transmitRows() { return kRows; }

}  // namespace kx_agent::smartcard
