// SCARD_IOCTL_GETSTATUSCHANGEA/W: waits until the state of a reader differs from the state the
// client knows, the time-out runs out or a Cancel on the same context ends the wait.
//
// GetStatusChangeA_Call and GetStatusChangeW_Call: REDIR_SCARDCONTEXT, dwTimeOut, cReaders, the
// rgReaderStates pointer; deferred: the context bytes, then the reader states
// (smartcard/reader_states.h). GetStatusChange_Return: ReturnCode, cReaders, the rgReaderStates
// pointer and its ReaderState_Return records.
#include <algorithm>
#include <expected>
#include <string>
#include <vector>

#include "smartcard/call.h"
#include "smartcard/pcsc.h"
#include "smartcard/reader_states.h"

namespace kx_agent::smartcard {

namespace {
constexpr std::size_t kWireStateSize = 4 + 12 + kWireAtr;  // szReader pointer, three words, ATR
}  // namespace

std::expected<std::vector<ReaderState>, uint32_t> readReaderStates(NdrReader& in,
                                                                   uint32_t cReaders,
                                                                   uint32_t rgReaderStates,
                                                                   CharForm form) {
    std::vector<ReaderState> states;
    if (rgReaderStates == 0) {
        if (cReaders != 0) return std::unexpected(rc::invalid_parameter);
        return states;
    }
    if (auto count = in.arrayCount(cReaders); !count) return std::unexpected(count.error());
    if (in.failed()) return states;
    // Held against what the call holds before anything is allocated.
    if (uint64_t{cReaders} * kWireStateSize > in.remaining()) {
        in.fail();
        return std::unexpected(rc::invalid_parameter);
    }
    states.resize(cReaders);
    std::vector<uint32_t> szReader(cReaders);
    for (uint32_t i = 0; i < cReaders; ++i) {
        ReaderState& state = states[i];
        szReader[i] = in.u32();
        state.dwCurrentState = in.u32();
        state.dwEventState = in.u32();
        state.cbAtr = in.u32();
        if (state.cbAtr > range::atr) return std::unexpected(rc::invalid_parameter);
        // The whole 36-byte field is consumed whatever cbAtr says, so the next record is read
        // where it is.
        auto rgbAtr = in.bytes(kWireAtr);
        std::ranges::copy(rgbAtr, state.rgbAtr.begin());
    }
    for (uint32_t i = 0; i < cReaders && !in.failed(); ++i) {
        if (szReader[i] == 0) return std::unexpected(rc::invalid_parameter);
        auto name = in.string(form);
        if (!name) return std::unexpected(name.error());
        states[i].szReader = std::move(*name);
    }
    return states;
}

std::vector<SCARD_READERSTATE> pcscRecords(const std::vector<ReaderState>& states, bool known) {
    std::vector<SCARD_READERSTATE> records(states.size());  // all zero: no pvUserData, no ATR
    for (std::size_t i = 0; i < states.size(); ++i) {
        SCARD_READERSTATE& record = records[i];
        record.szReader = states[i].szReader.c_str();
        if (!known) {
            record.dwCurrentState = SCARD_STATE_UNAWARE;
            continue;
        }
        // Whole: the upper 16 bits are the event count the service gave (for the notification
        // entry, the number of readers), so a card removed and put back between two waits is
        // seen.
        record.dwCurrentState = states[i].dwCurrentState;
        record.dwEventState = states[i].dwEventState;
        // pcsc-lite's record holds MAX_ATR_SIZE (33) bytes of the 36.
        std::size_t kept = std::min<std::size_t>(states[i].cbAtr, sizeof record.rgbAtr);
        std::copy_n(states[i].rgbAtr.begin(), kept, record.rgbAtr);
        record.cbAtr = static_cast<DWORD>(kept);
    }
    return records;
}

ReaderState_Return stateReturn(uint32_t dwCurrentState, const SCARD_READERSTATE& record) {
    ReaderState_Return state;
    state.dwCurrentState = dwCurrentState;
    state.dwEventState = static_cast<uint32_t>(record.dwEventState);
    std::size_t cbAtr = std::min({static_cast<std::size_t>(record.cbAtr), sizeof record.rgbAtr,
                                  kWireAtr});
    std::copy_n(record.rgbAtr, cbAtr, state.rgbAtr.begin());
    state.cbAtr = static_cast<uint32_t>(cbAtr);
    return state;
}

void GetStatusChangeReturn::encode(NdrWriter& out, CharForm) const {
    auto cReaders = static_cast<uint32_t>(rgReaderStates ? rgReaderStates->size() : 0);
    out.u32(ReturnCode);
    out.u32(cReaders);
    out.pointer(rgReaderStates.has_value());
    if (!rgReaderStates) return;
    out.u32(cReaders);  // the conformant array's maximum count
    for (const ReaderState_Return& state : *rgReaderStates) {
        out.u32(state.dwCurrentState);
        out.u32(state.dwEventState);
        out.u32(state.cbAtr);
        out.bytes(state.rgbAtr);
    }
}

namespace {

struct GetStatusChangeCall {
    REDIR_SCARDCONTEXT Context;
    uint32_t dwTimeOut = 0;
    uint32_t cReaders = 0;
    uint32_t rgReaderStates = 0;
    std::vector<ReaderState> states;
};

std::expected<GetStatusChangeCall, uint32_t> decodeGetStatusChange(NdrReader& in,
                                                                   CharForm form) {
    GetStatusChangeCall call;
    call.Context.readFixed(in);
    call.dwTimeOut = in.u32();
    call.cReaders = in.u32();
    call.rgReaderStates = in.u32();
    // [range(0, 11)]: ten readers and the PnP notification entry. GetStatusChange_Return's own
    // range is 10, which would refuse the answer to the eleventh; all 11 are answered.
    if (call.cReaders > range::statusReaders) return std::unexpected(rc::invalid_parameter);
    if (auto deferred = call.Context.readDeferred(in); !deferred)
        return std::unexpected(deferred.error());
    auto states = readReaderStates(in, call.cReaders, call.rgReaderStates, form);
    if (!states) return std::unexpected(states.error());
    call.states = std::move(*states);
    return call;
}

GetStatusChangeReturn executeGetStatusChange(const GetStatusChangeCall& call, CharForm,
                                             const Services& services) {
    if (call.Context.value == 0) return {rc::invalid_handle};
    std::vector<SCARD_READERSTATE> records = pcscRecords(call.states, true);
    // The time-out goes to PC/SC as it came: 0 answers at once, 0xFFFFFFFF (INFINITE) waits
    // without limit. The wait blocks this call's thread until PC/SC returns.
    LONG result = services.pcsc.get_status_change(static_cast<SCARDCONTEXT>(call.Context.value),
                                                  call.dwTimeOut, records.data(),
                                                  static_cast<DWORD>(records.size()));
    if (result != SCARD_S_SUCCESS) return {static_cast<uint32_t>(result)};
    GetStatusChangeReturn answer{rc::success, std::vector<ReaderState_Return>{}};
    for (std::size_t i = 0; i < records.size(); ++i)
        answer.rgReaderStates->push_back(stateReturn(call.states[i].dwCurrentState, records[i]));
    return answer;
}

}  // namespace

extern const CallHandler getStatusChangeCall =
    typedCall<decodeGetStatusChange, executeGetStatusChange>;

}  // namespace kx_agent::smartcard
