// SCARD_IOCTL_GETSTATUSCHANGEA/W: waits until the state of a reader differs from the state the
// client knows, the time-out runs out or a Cancel on the same context ends the wait.
//
// GetStatusChangeA_Call and GetStatusChangeW_Call: REDIR_SCARDCONTEXT, dwTimeOut, cReaders,
// rgReaderStates referent id; deferred: the context bytes, the conformant array of cReaders
// ReaderStateA/W records of 52 bytes (szReader referent id, dwCurrentState, dwEventState, cbAtr,
// rgbAtr[36]), then each record's szReader string in record order (maximum count, offset,
// actual count L, L characters with the NUL, padding to 4); the forms differ only in the
// characters of those strings.
// GetStatusChange_Return: ReturnCode, cReaders, rgReaderStates referent id, then the conformant
// array of ReaderState_Return records of 48 bytes (the ReaderStateA record without szReader).
#include <algorithm>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "smartcard/char_form.h"
#include "smartcard/ndr.h"
#include "smartcard/pcsc.h"

namespace kx_agent::smartcard {
namespace {

constexpr std::size_t kWireAtrSize = 36;
constexpr std::size_t kWireStateSize = 52;
constexpr std::size_t kReturnStateSize = 48;

struct ReaderStates {
    std::vector<SCARD_READERSTATE> records;  // handed to PC/SC
    std::vector<std::string> names;          // own the names the records point to
    std::vector<uint32_t> knownStates;       // dwCurrentState as the client sent it
};

// The ReaderStateA records and then their names. A count the message cannot hold is
// SCARD_E_INVALID_PARAMETER before anything is allocated; a record or name cut short fails the
// request view, which the caller answers.
std::expected<ReaderStates, uint32_t> readReaderStates(DataView& request, uint32_t cReaders,
                                                       CharForm form) {
    if (uint64_t{cReaders} * kWireStateSize > request.remaining())
        return std::unexpected(rc::invalid_parameter);
    ReaderStates states;
    states.records.resize(cReaders);  // all zero: no pvUserData, no ATR
    states.knownStates.reserve(cReaders);
    for (SCARD_READERSTATE& record : states.records) {
        request.skipPositionRead(4);  // szReader referent id
        uint32_t dwCurrentState = request.getLittleEndian32();
        states.knownStates.push_back(dwCurrentState);
        // Whole: the upper 16 bits are the event count the service gave (for the notification
        // entry, the number of readers), so a card removed and put back between two waits is
        // seen.
        record.dwCurrentState = dwCurrentState;
        record.dwEventState = request.getLittleEndian32();
        uint32_t cbAtr = std::min<uint32_t>(request.getLittleEndian32(), kWireAtrSize);
        // The whole 36-byte field is consumed whatever cbAtr says, so the next record is read
        // where it is; pcsc-lite's record holds MAX_ATR_SIZE (33) bytes of it.
        auto rgbAtr = request.getSpan(kWireAtrSize);
        std::size_t kept = std::min<std::size_t>(cbAtr, sizeof record.rgbAtr);
        if (!rgbAtr.empty()) std::copy_n(rgbAtr.begin(), kept, record.rgbAtr);
        record.cbAtr = kept;
    }

    states.names.reserve(cReaders);
    for (uint32_t i = 0; i < cReaders; ++i) {
        auto name = readString(request, form);
        if (!name) return std::unexpected(name.error());
        states.names.push_back(std::move(*name));
    }

    for (uint32_t i = 0; i < cReaders; ++i) states.records[i].szReader = states.names[i].c_str();
    return states;
}

void writeReaderState(DataView& reply, uint32_t dwCurrentState, const SCARD_READERSTATE& record) {
    reply.setLittleEndian32(dwCurrentState);
    reply.setLittleEndian32(static_cast<uint32_t>(record.dwEventState));
    std::size_t cbAtr = std::min<std::size_t>(record.cbAtr, kWireAtrSize);
    reply.setLittleEndian32(static_cast<uint32_t>(cbAtr));
    // Beyond pcsc-lite's 33 bytes the 36-byte field is zero.
    reply.setBytes(std::span<const uint8_t>(record.rgbAtr, sizeof record.rgbAtr));
    reply.skipPositionWrite(kWireAtrSize - sizeof record.rgbAtr);
}

}  // namespace

void getStatusChange(CharForm form, DataView& request, DataView& reply) {
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
    // cbContext is not used: the deferred array's own count says how many bytes follow.
    ScardReference ref = readScardContext(request);
    uint32_t dwTimeOut = request.getLittleEndian32();
    uint32_t cReaders = request.getLittleEndian32();
    request.skipPositionRead(4);  // rgReaderStates referent id
    uint32_t k = request.getLittleEndian32();
    uint64_t context = readReference(request, k);
    if (answeredTruncated(request, reply)) return;
    if (context == 0) {
        longReturn(rc::invalid_handle, reply);
        return;
    }
    uint32_t count = request.getLittleEndian32();
    if (answeredTruncated(request, reply)) return;
    if (count != cReaders) {
        longReturn(rc::invalid_value, reply);
        return;
    }
    auto states = readReaderStates(request, cReaders, form);
    if (!states) {
        longReturn(states.error(), reply);
        return;
    }
    if (answeredTruncated(request, reply)) return;

    // The time-out goes to PC/SC as it came: 0 answers at once, 0xFFFFFFFF (INFINITE) waits
    // without limit. The wait blocks this connection's thread until PC/SC returns.
    LONG result = pcsc().get_status_change(static_cast<SCARDCONTEXT>(context), dwTimeOut,
                                           states->records.data(), cReaders);
    if (result != SCARD_S_SUCCESS) {
        longReturn(static_cast<uint32_t>(result), reply);
        return;
    }

    writeReplyHead(reply, static_cast<uint32_t>(16 + kReturnStateSize * cReaders));
    reply.setLittleEndian32(rc::success);
    reply.setLittleEndian32(cReaders);
    // The client gets its pbContext referent id back as the array's referent id.
    reply.setLittleEndian32(ref.referent);
    reply.setLittleEndian32(cReaders);  // conformant array maximum count
    for (uint32_t i = 0; i < cReaders; ++i)
        writeReaderState(reply, states->knownStates[i], states->records[i]);
    reply.markEnd();
}

}  // namespace kx_agent::smartcard
