#include "smartcard/windows_numbering.h"

#include <algorithm>
#include <cstring>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "smartcard/reader_list.h"

namespace kx_agent::smartcard {

namespace numbering {
namespace {

// [MS-RDPESC] 2.2.5 card states, in order of advance; pcsc-lite's bit for each.
constexpr uint32_t kStateBits[] = {0x0001 /* unknown */,   0x0002 /* absent */,
                                   0x0004 /* present */,   0x0008 /* swallowed */,
                                   0x0010 /* powered */,   0x0020 /* negotiable */,
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
constexpr DWORD kMaxAttribute = 264;
constexpr DWORD kMaxReceive = 65548;
constexpr uint32_t kGetFeatureRequest = 0x42000000 + 3400;  // CM_IOCTL_GET_FEATURE_REQUEST
constexpr uint32_t kNoReaders = 0x8010002E;                 // SCARD_E_NO_READERS_AVAILABLE
constexpr uint32_t kStateChanged = 0x0002;  // SCARD_STATE_CHANGED
constexpr std::string_view kPnpNotification = "\\\\?PnP?\\Notification";

LONG toClient(LONG result) {
    return static_cast<LONG>(numbering::resultToClient(static_cast<uint32_t>(result)));
}

// The number of readers the service knows now.
std::expected<uint32_t, LONG> readerCount(Pcsc& service, SCARDCONTEXT context) {
    auto list = listOf(service, context, ListOf::readers);
    if (!list && static_cast<uint32_t>(list.error()) == kNoReaders) return 0;
    if (!list) return std::unexpected(list.error());
    uint32_t count = 0;
    std::string_view rest(*list);
    while (!rest.empty() && rest.front() != '\0') {
        ++count;
        std::size_t end = rest.find('\0');
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    return count;
}

bool isPnpNotification(const SCARD_READERSTATE& state) {
    return state.szReader != nullptr && kPnpNotification == state.szReader;
}

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

LONG WindowsNumbering::establish_context(DWORD scope, SCARDCONTEXT* context) {
    return toClient(inner().establish_context(scope, context));
}

LONG WindowsNumbering::release_context(SCARDCONTEXT context) {
    return toClient(inner().release_context(context));
}

LONG WindowsNumbering::is_valid_context(SCARDCONTEXT context) {
    return toClient(inner().is_valid_context(context));
}

LONG WindowsNumbering::cancel(SCARDCONTEXT context) { return toClient(inner().cancel(context)); }

LONG WindowsNumbering::list_reader_groups(SCARDCONTEXT context, char* groups, DWORD* length) {
    return toClient(inner().list_reader_groups(context, groups, length));
}

LONG WindowsNumbering::list_readers(SCARDCONTEXT context, const char* groups, char* readers,
                                    DWORD* length) {
    return toClient(inner().list_readers(context, groups, readers, length));
}

LONG WindowsNumbering::get_status_change(SCARDCONTEXT context, DWORD timeout,
                                         SCARD_READERSTATE* states, DWORD count) {
    std::span<SCARD_READERSTATE> entries(states, count);
    auto pnp = [&](auto&& each) {
        for (SCARD_READERSTATE& entry : entries)
            if (isPnpNotification(entry)) each(entry);
    };
    bool hasPnp = std::ranges::any_of(entries, isPnpNotification);
    if (!hasPnp) return toClient(inner().get_status_change(context, timeout, states, count));

    auto before = readerCount(inner(), context);
    if (!before) return toClient(before.error());
    bool differs = false;
    pnp([&](SCARD_READERSTATE& entry) {
        differs |= static_cast<uint32_t>(entry.dwCurrentState >> 16) != *before;
    });

    // The client's known states, kept to be restored: the service is told the count it has now,
    // so that it waits for the next reader to come or go.
    std::vector<DWORD> known;
    pnp([&](SCARD_READERSTATE& entry) {
        known.push_back(entry.dwCurrentState);
        entry.dwCurrentState = (entry.dwCurrentState & 0xFFFF) | DWORD{*before} << 16;
    });
    // A client that knows another count is answered at once, with the other readers' states as
    // they are now.
    LONG result = inner().get_status_change(context, differs ? 0 : timeout, states, count);
    std::size_t k = 0;
    pnp([&](SCARD_READERSTATE& entry) { entry.dwCurrentState = known[k++]; });
    if (differs && static_cast<uint32_t>(result) == static_cast<uint32_t>(SCARD_E_TIMEOUT))
        result = SCARD_S_SUCCESS;
    if (result != SCARD_S_SUCCESS) return toClient(result);

    auto after = differs ? before : readerCount(inner(), context);
    if (!after) return toClient(after.error());
    pnp([&](SCARD_READERSTATE& entry) {
        bool changed = static_cast<uint32_t>(entry.dwCurrentState >> 16) != *after;
        entry.dwEventState = DWORD{*after} << 16 | (changed ? kStateChanged : 0);
        entry.cbAtr = 0;
        std::memset(entry.rgbAtr, 0, sizeof entry.rgbAtr);
    });
    return SCARD_S_SUCCESS;
}

LONG WindowsNumbering::connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                               DWORD preferred_protocols, SCARDHANDLE* card,
                               DWORD* active_protocol) {
    LONG result = inner().connect(context, reader, share_mode,
                                  protocolsToService(static_cast<uint32_t>(preferred_protocols)),
                                  card, active_protocol);
    *active_protocol = protocolsToClient(static_cast<uint32_t>(*active_protocol));
    return toClient(result);
}

LONG WindowsNumbering::reconnect(SCARDHANDLE card, DWORD share_mode, DWORD preferred_protocols,
                                 DWORD initialization, DWORD* active_protocol) {
    LONG result = inner().reconnect(card, share_mode,
                                    protocolsToService(static_cast<uint32_t>(preferred_protocols)),
                                    initialization, active_protocol);
    *active_protocol = protocolsToClient(static_cast<uint32_t>(*active_protocol));
    return toClient(result);
}

LONG WindowsNumbering::disconnect(SCARDHANDLE card, DWORD disposition) {
    return toClient(inner().disconnect(card, disposition));
}

LONG WindowsNumbering::begin_transaction(SCARDHANDLE card) {
    return toClient(inner().begin_transaction(card));
}

LONG WindowsNumbering::end_transaction(SCARDHANDLE card, DWORD disposition) {
    return toClient(inner().end_transaction(card, disposition));
}

LONG WindowsNumbering::status(SCARDHANDLE card, char* names, DWORD* names_length, DWORD* state,
                              DWORD* protocol, BYTE* atr, DWORD* atr_length) {
    LONG result = inner().status(card, names, names_length, state, protocol, atr, atr_length);
    *state = numbering::cardStateToClient(static_cast<uint32_t>(*state),
                                          static_cast<uint32_t>(*protocol));
    *protocol = protocolsToClient(static_cast<uint32_t>(*protocol));
    return toClient(result);
}

LONG WindowsNumbering::free_memory(SCARDCONTEXT context, const void* memory) {
    return toClient(inner().free_memory(context, memory));
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

    DWORD length = recv != nullptr ? std::min(*recv_length, kMaxReceive) : *recv_length;
    LONG result = inner().transmit(card, sendBlock.data(), send, send_length, recv_pci, recv,
                                   &length);
    *recv_length = length;
    // pcsc-lite hands the receive PCI back with its driver's protocol number (T=1 comes back as
    // 1, the client's T=0). A transmit that succeeds ran on the send PCI's protocol, since
    // pcsc-lite refuses any other with SCARD_E_PROTO_MISMATCH: that is the receive PCI's.
    if (recv_pci != nullptr)
        recv_pci->dwProtocol = result == SCARD_S_SUCCESS
                                   ? send_pci->dwProtocol
                                   : protocolsToClient(static_cast<uint32_t>(recv_pci->dwProtocol));
    return toClient(result);
}

LONG WindowsNumbering::control(SCARDHANDLE card, DWORD control_code, const void* in,
                               DWORD in_length, void* out, DWORD out_length,
                               DWORD* bytes_returned) {
    auto code = static_cast<uint32_t>(control_code);
    uint32_t serviceCode = controlCodeToService(code);
    DWORD offered = out != nullptr ? std::min(out_length, kMaxReceive) : out_length;
    LONG result = inner().control(card, serviceCode, in, in_length, out, offered, bytes_returned);
    // Only a client that asked in the Windows form gets the features in that form.
    if (result == SCARD_S_SUCCESS && out != nullptr && serviceCode == kGetFeatureRequest &&
        code != serviceCode) {
        featuresToClient({static_cast<uint8_t*>(out), std::min(*bytes_returned, offered)});
    }
    return toClient(result);
}

LONG WindowsNumbering::get_attrib(SCARDHANDLE card, DWORD attr_id, BYTE* attr,
                                  DWORD* attr_length) {
    DWORD length = *attr_length;
    if (attr != nullptr && length != SCARD_AUTOALLOCATE) length = std::min(length, kMaxAttribute);
    LONG result = inner().get_attrib(card, attr_id, attr, &length);
    *attr_length = length;
    return toClient(result);
}

LONG WindowsNumbering::set_attrib(SCARDHANDLE card, DWORD attr_id, const BYTE* attr,
                                  DWORD attr_length) {
    return toClient(inner().set_attrib(card, attr_id, attr, attr_length));
}

}  // namespace kx_agent::smartcard
