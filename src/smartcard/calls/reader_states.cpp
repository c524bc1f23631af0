// The reader-state records of GetStatusChange and LocateCardsByATR, both ways
// (smartcard/calls/reader_states.h).
#include "smartcard/calls/reader_states.h"

#include <algorithm>
#include <expected>
#include <vector>

#include "smartcard/pcsc/pcsc.h"

namespace kx_agent::smartcard {

namespace {
constexpr std::size_t kWireStateSize = 4 + 12 + kWireAtr;  // szReader pointer, three words, ATR
}  // namespace

std::expected<std::vector<ReaderState>, ReturnCode> readReaderStates(NdrReader& in,
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
    std::size_t cbAtr =
        std::min({static_cast<std::size_t>(record.cbAtr), sizeof record.rgbAtr, kWireAtr});
    std::copy_n(record.rgbAtr, cbAtr, state.rgbAtr.begin());
    state.cbAtr = static_cast<uint32_t>(cbAtr);
    return state;
}

void GetStatusChangeReturn::encode(NdrWriter& out, CharForm) const {
    auto cReaders = static_cast<uint32_t>(rgReaderStates ? rgReaderStates->size() : 0);
    out.u32(ReturnCode.value());
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

}  // namespace kx_agent::smartcard
