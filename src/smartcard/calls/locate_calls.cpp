// SCARD_IOCTL_LOCATECARDSA/W are not carried out (pcsc-lite has no card database): they are
// answered with their LocateCards_Return, zeroed, and nothing of them is read.
//
// SCARD_IOCTL_LOCATECARDSBYATRA/W: which of the named readers hold a card whose ATR matches one
// of the client's masks. pcsc-lite has no such call: the agent asks for the readers' states at
// once (a status-change query with time-out 0) and sets SCARD_STATE_ATRMATCH itself.
//
// LocateCardsByATR{A,W}_Call: REDIR_SCARDCONTEXT, cAtrs, the rgAtrMasks pointer, cReaders, the
// rgReaderStates pointer. Deferred: the context bytes; the conformant array of cAtrs
// LocateCards_ATRMask (cbAtr, rgbAtr[36], rgbMask[36]: 76 bytes); then the reader states
// (smartcard/calls/reader_states.h). LocateCards_Return has the layout of GetStatusChange_Return.
#include <algorithm>
#include <array>
#include <expected>
#include <span>
#include <vector>

#include "smartcard/calls/call.h"
#include "smartcard/pcsc/pcsc.h"
#include "smartcard/calls/reader_states.h"

namespace kx_agent::smartcard {
namespace {

constexpr std::size_t kMaskSize = 4 + 2 * kWireAtr;
constexpr DWORD kAtrMatch = 0x0040;  // SCARD_STATE_ATRMATCH

struct LocateCards_ATRMask {
    uint32_t cbAtr = 0;  // at most 36
    std::array<uint8_t, kWireAtr> rgbAtr{};
    std::array<uint8_t, kWireAtr> rgbMask{};

    // The card's ATR has the mask's length and agrees with it wherever the mask has a bit.
    bool matches(std::span<const uint8_t> card) const {
        if (card.size() != cbAtr) return false;
        for (std::size_t i = 0; i < cbAtr; ++i)
            if ((card[i] & rgbMask[i]) != (rgbAtr[i] & rgbMask[i])) return false;
        return true;
    }
};

struct LocateCardsByATRCall {
    REDIR_SCARDCONTEXT Context;
    uint32_t cAtrs = 0;
    uint32_t rgAtrMasks = 0;
    uint32_t cReaders = 0;
    uint32_t rgReaderStates = 0;
    std::vector<LocateCards_ATRMask> masks;
    std::vector<ReaderState> states;
};

using LocateCardsReturn = GetStatusChangeReturn;

std::expected<LocateCardsByATRCall, ReturnCode> decodeLocateByAtr(NdrReader& in, CharForm form) {
    LocateCardsByATRCall call;
    call.Context.readFixed(in);
    call.cAtrs = in.u32();
    call.rgAtrMasks = in.u32();
    call.cReaders = in.u32();
    call.rgReaderStates = in.u32();
    if (call.cAtrs > range::atrMasks || call.cReaders > range::locateReaders)
        return std::unexpected(rc::invalid_parameter);
    if (call.cAtrs > 0 && call.rgAtrMasks == 0) return std::unexpected(rc::invalid_parameter);
    if (auto deferred = call.Context.readDeferred(in); !deferred)
        return std::unexpected(deferred.error());

    if (call.rgAtrMasks != 0) {
        if (auto count = in.arrayCount(call.cAtrs); !count) return std::unexpected(count.error());
        if (in.failed()) return call;
        // Held against what the call holds before anything is allocated.
        if (uint64_t{call.cAtrs} * kMaskSize > in.remaining()) {
            in.fail();
            return std::unexpected(rc::invalid_parameter);
        }
        call.masks.resize(call.cAtrs);
        for (LocateCards_ATRMask& mask : call.masks) {
            mask.cbAtr = in.u32();
            if (mask.cbAtr > range::atr) return std::unexpected(rc::invalid_parameter);
            std::ranges::copy(in.bytes(kWireAtr), mask.rgbAtr.begin());
            std::ranges::copy(in.bytes(kWireAtr), mask.rgbMask.begin());
        }
    }
    auto states = readReaderStates(in, call.cReaders, call.rgReaderStates, form);
    if (!states) return std::unexpected(states.error());
    call.states = std::move(*states);
    return call;
}

LocateCardsReturn executeLocateByAtr(const LocateCardsByATRCall& call, CharForm,
                                     const Services& services) {
    if (call.Context.value == 0) return {rc::invalid_handle};
    std::vector<SCARD_READERSTATE> records = pcscRecords(call.states, false);
    LONG result =
        services.pcsc.get_status_change(static_cast<SCARDCONTEXT>(call.Context.value), 0,
                                        records.data(), static_cast<DWORD>(records.size()));
    if (result != SCARD_S_SUCCESS) return {ReturnCode::of(result)};

    LocateCardsReturn answer{rc::success, std::vector<ReaderState_Return>{}};
    for (std::size_t i = 0; i < records.size(); ++i) {
        ReaderState_Return state = stateReturn(call.states[i].dwCurrentState, records[i]);
        std::span<const uint8_t> atr(state.rgbAtr.data(), state.cbAtr);
        bool present = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
        if (present && std::ranges::any_of(call.masks, [&](const LocateCards_ATRMask& mask) {
                return mask.matches(atr);
            }))
            state.dwEventState |= kAtrMatch;
        answer.rgReaderStates->push_back(state);
    }
    return answer;
}

}  // namespace

const CallHandler locateCardsCall = unsupportedCall<LocateCardsReturn>;
const CallHandler locateCardsByATRCall = typedCall<decodeLocateByAtr, executeLocateByAtr>;

constexpr std::array kRows = {
    row(ioctl::locateCardsA, locateCardsCall, CharForm::A, CallOrder::Kind::independent),
    row(ioctl::locateCardsW, locateCardsCall, CharForm::W, CallOrder::Kind::independent),
    row(ioctl::locateCardsByAtrA, locateCardsByATRCall, CharForm::A, CallOrder::Kind::context,
        Timing::atOnce),
    row(ioctl::locateCardsByAtrW, locateCardsByATRCall, CharForm::W, CallOrder::Kind::context,
        Timing::atOnce),
};

std::span<const CallRow> locateCallRows() { return kRows; }

}  // namespace kx_agent::smartcard
