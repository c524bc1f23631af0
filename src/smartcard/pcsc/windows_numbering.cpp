#include "smartcard/pcsc/windows_numbering.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "smartcard/pcsc/pnp_reader_count.h"

namespace kx_agent::smartcard {

namespace numbering {
namespace {

// [MS-RDPESC] 2.2.5 card states, in order of advance; pcsc-lite's bit for each.
constexpr uint32_t kStateBits[] = {0x0001 /* unknown */,
                                   0x0002 /* absent */,
                                   0x0004 /* present */,
                                   0x0008 /* swallowed */,
                                   0x0010 /* powered */,
                                   0x0020 /* negotiable */,
                                   0x0040 /* specific */};
constexpr uint32_t kPowered = 4;   // SCARD_POWERED
constexpr uint32_t kSpecific = 6;  // SCARD_SPECIFIC

constexpr uint32_t kClientRaw = 0x00010000;
constexpr uint32_t kClientDefault = 0x80000000;
constexpr uint32_t kServiceRaw = 0x0004;
constexpr uint32_t kT0T1 = 0x0003;

constexpr uint32_t kWindowsSmartcardDevice = 0x00310000;  // FILE_DEVICE_SMARTCARD << 16
constexpr uint32_t kPcscLiteControlBase = 0x42000000;
// The function numbers that the Windows form can carry: bits 2 to 15.
constexpr uint32_t kFunctionLimit = 0x4000;

}  // namespace

uint32_t resultToClient(uint32_t code) {
    return code == kPcscLiteUnsupported ? kUnsupportedFeature : code;
}

uint32_t cardStateToClient(uint32_t bits, uint32_t protocol) {
    uint32_t state = std::size(kStateBits) - 1;
    while (state > 0 && (bits & kStateBits[state]) == 0) --state;  // 0: SCARD_UNKNOWN
    // pcsc-lite leaves a card whose protocol is in use at negotiable; Windows reports it as
    // specific ([MS-RDPESC] 2.2.4: "specific communication protocols have been established").
    if (protocol != 0 && state >= kPowered) return kSpecific;
    return state;
}

uint32_t protocolsToService(uint32_t protocols) {
    uint32_t out = protocols & ~(kClientRaw | kClientDefault);
    if ((protocols & kClientRaw) != 0) out |= kServiceRaw;
    if ((protocols & kClientDefault) != 0) out |= kT0T1;
    return out;
}

uint32_t protocolsToClient(uint32_t protocols) {
    uint32_t out = protocols & ~kServiceRaw;
    if ((protocols & kServiceRaw) != 0) out |= kClientRaw;
    return out;
}

uint32_t controlCodeToService(uint32_t code) {
    // Device type FILE_DEVICE_SMARTCARD, METHOD_BUFFERED (low two bits 0).
    if ((code & 0xFFFF0003) != kWindowsSmartcardDevice) return code;
    return kPcscLiteControlBase + ((code & 0xFFFF) >> 2);
}

uint32_t controlCodeToClient(uint32_t code) {
    if (code < kPcscLiteControlBase || code - kPcscLiteControlBase >= kFunctionLimit) return code;
    return kWindowsSmartcardDevice | (code - kPcscLiteControlBase) << 2;
}

}  // namespace numbering

namespace {

using numbering::controlCodeToClient;
using numbering::controlCodeToService;
using numbering::protocolsToClient;
using numbering::protocolsToService;

// pcsc-lite's limits (MAX_BUFFER_SIZE, MAX_BUFFER_SIZE_EXTENDED).
constexpr DWORD kPcscLiteMaxAttribute = 264;
constexpr DWORD kPcscLiteMaxReceive = 65548;
constexpr uint32_t kGetFeatureRequest = 0x42000000 + 3400;  // CM_IOCTL_GET_FEATURE_REQUEST

// The reply that CM_IOCTL_GET_FEATURE_REQUEST gives is a list of TLVs (tag, length, value)
// whose 4-byte values are big-endian control codes; each becomes the client's form.
void featuresToClient(std::span<uint8_t> tlvs) {
    std::size_t i = 0;
    while (i + 2 <= tlvs.size()) {
        std::size_t length = tlvs[i + 1];
        if (i + 2 + length > tlvs.size()) break;
        if (length == 4) {
            uint8_t* value = tlvs.data() + i + 2;
            uint32_t code = uint32_t{value[0]} << 24 | uint32_t{value[1]} << 16 |
                            uint32_t{value[2]} << 8 | value[3];
            code = controlCodeToClient(code);
            for (int b = 0; b < 4; ++b) value[b] = static_cast<uint8_t>(code >> (24 - 8 * b));
        }
        i += 2 + length;
    }
}

}  // namespace

LONG WindowsNumbering::result(LONG code) {
    return static_cast<LONG>(numbering::resultToClient(static_cast<uint32_t>(code)));
}

LONG WindowsNumbering::connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                               DWORD preferred_protocols, SCARDHANDLE* card,
                               DWORD* active_protocol) {
    LONG code = ForwardingPcsc::connect(
        context, reader, share_mode, protocolsToService(static_cast<uint32_t>(preferred_protocols)),
        card, active_protocol);
    *active_protocol = protocolsToClient(static_cast<uint32_t>(*active_protocol));
    return code;
}

LONG WindowsNumbering::reconnect(SCARDHANDLE card, DWORD share_mode, DWORD preferred_protocols,
                                 DWORD initialization, DWORD* active_protocol) {
    LONG code = ForwardingPcsc::reconnect(
        card, share_mode, protocolsToService(static_cast<uint32_t>(preferred_protocols)),
        initialization, active_protocol);
    *active_protocol = protocolsToClient(static_cast<uint32_t>(*active_protocol));
    return code;
}

LONG WindowsNumbering::status(SCARDHANDLE card, char* names, DWORD* names_length, DWORD* state,
                              DWORD* protocol, BYTE* atr, DWORD* atr_length) {
    LONG code = ForwardingPcsc::status(card, names, names_length, state, protocol, atr, atr_length);
    *state = numbering::cardStateToClient(static_cast<uint32_t>(*state),
                                          static_cast<uint32_t>(*protocol));
    *protocol = protocolsToClient(static_cast<uint32_t>(*protocol));
    return code;
}

LONG WindowsNumbering::transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* send_pci,
                                const BYTE* send, DWORD send_length, SCARD_IO_REQUEST* recv_pci,
                                BYTE* recv, DWORD* recv_length) {
    // The send PCI block (header and the extra bytes its cbPciLength covers, as the caller
    // built it) is copied so that its protocol can be the service's.
    std::size_t size = std::max<std::size_t>(sizeof *send_pci, send_pci->cbPciLength);
    std::vector<SCARD_IO_REQUEST> sendBlock((size + sizeof *send_pci - 1) / sizeof *send_pci);
    std::memcpy(sendBlock.data(), send_pci, size);
    sendBlock[0].dwProtocol = protocolsToService(static_cast<uint32_t>(send_pci->dwProtocol));
    if (recv_pci != nullptr)
        recv_pci->dwProtocol = protocolsToService(static_cast<uint32_t>(recv_pci->dwProtocol));

    DWORD length = recv != nullptr ? std::min(*recv_length, kPcscLiteMaxReceive) : *recv_length;
    LONG code = ForwardingPcsc::transmit(card, sendBlock.data(), send, send_length, recv_pci, recv,
                                         &length);
    *recv_length = length;
    // pcsc-lite hands the receive PCI back with its driver's protocol number (T=1 comes back as
    // 1, the client's T=0). A transmit that succeeds ran on the send PCI's protocol, since
    // pcsc-lite refuses any other with SCARD_E_PROTO_MISMATCH: that is the receive PCI's.
    if (recv_pci != nullptr)
        recv_pci->dwProtocol = code == SCARD_S_SUCCESS
                                   ? send_pci->dwProtocol
                                   : protocolsToClient(static_cast<uint32_t>(recv_pci->dwProtocol));
    return code;
}

LONG WindowsNumbering::control(SCARDHANDLE card, DWORD control_code, const void* in,
                               DWORD in_length, void* out, DWORD out_length,
                               DWORD* bytes_returned) {
    auto asked = static_cast<uint32_t>(control_code);
    uint32_t serviceCode = controlCodeToService(asked);
    DWORD offered = out != nullptr ? std::min(out_length, kPcscLiteMaxReceive) : out_length;
    LONG code =
        ForwardingPcsc::control(card, serviceCode, in, in_length, out, offered, bytes_returned);
    // Only a client that asked in the Windows form gets the features in that form.
    if (code == SCARD_S_SUCCESS && out != nullptr && serviceCode == kGetFeatureRequest &&
        asked != serviceCode) {
        featuresToClient({static_cast<uint8_t*>(out), std::min(*bytes_returned, offered)});
    }
    return code;
}

LONG WindowsNumbering::get_status_change(SCARDCONTEXT context, DWORD timeout,
                                         SCARD_READERSTATE* states, DWORD count) {
    use_context(context);
    return result(pnpStatusChange(inner_, context, timeout, states, count));
}

LONG WindowsNumbering::get_attrib(SCARDHANDLE card, DWORD attr_id, BYTE* attr, DWORD* attr_length) {
    DWORD length = *attr_length;
    if (attr != nullptr && length != SCARD_AUTOALLOCATE)
        length = std::min(length, kPcscLiteMaxAttribute);
    LONG code = ForwardingPcsc::get_attrib(card, attr_id, attr, &length);
    *attr_length = length;
    return code;
}

}  // namespace kx_agent::smartcard
