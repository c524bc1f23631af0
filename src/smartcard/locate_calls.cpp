// SCARD_IOCTL_LOCATECARDSBYATRA/W: which of the named readers hold a card whose ATR matches one
// of the client's masks. pcsc-lite has no such call: the agent asks for the readers' states at
// once (a status-change query with time-out 0) and sets SCARD_STATE_ATRMATCH itself.
//
// LocateCardsByATR{A,W}_Call: REDIR_SCARDCONTEXT, cAtrs, the rgAtrMasks referent id, cReaders,
// the rgReaderStates referent id. Deferred: the context bytes (padded to 4); the conformant
// array of cAtrs LocateCards_ATRMask (cbAtr, rgbAtr[36], rgbMask[36]: 76 bytes); the conformant
// array of cReaders ReaderState{A,W} (szReader referent id, dwCurrentState, dwEventState,
// cbAtr, rgbAtr[36]: 52 bytes); then each reader's name, in record order.
// LocateCards_Return has the layout of GetStatusChange_Return: ReturnCode, cReaders, the
// rgReaderStates referent id, then cReaders ReaderState_Return of 48 bytes.
#include <algorithm>
#include <array>
#include <expected>
#include <string>
#include <vector>

#include "smartcard/char_form.h"
#include "smartcard/ndr.h"
#include "smartcard/pcsc.h"

namespace kx_agent::smartcard {
namespace {

// [MS-RDPESC] ranges of the call.
constexpr uint32_t kMaxAtrs = 1000;
constexpr uint32_t kMaxReaders = 10;
constexpr std::size_t kWireAtr = 36;
constexpr std::size_t kMaskSize = 4 + 2 * kWireAtr;
constexpr std::size_t kReaderStateSize = 16 + kWireAtr;
constexpr std::size_t kReturnStateSize = 12 + kWireAtr;
constexpr uint32_t kStatesReferent = 0x00020000;
constexpr DWORD kAtrMatch = 0x0040;  // SCARD_STATE_ATRMATCH

struct AtrMask {
    std::size_t cbAtr;
    std::array<uint8_t, kWireAtr> atr;
    std::array<uint8_t, kWireAtr> mask;

    // The card's ATR has the mask's length and agrees with it wherever the mask has a bit.
    bool matches(std::span<const uint8_t> card) const {
        if (card.size() != cbAtr) return false;
        for (std::size_t i = 0; i < cbAtr; ++i)
            if ((card[i] & mask[i]) != (atr[i] & mask[i])) return false;
        return true;
    }
};

std::vector<AtrMask> readMasks(DataView& request, uint32_t cAtrs) {
    std::vector<AtrMask> masks;
    masks.reserve(cAtrs);
    for (uint32_t i = 0; i < cAtrs && !request.failed(); ++i) {
        AtrMask& mask = masks.emplace_back();
        mask.cbAtr = std::min<std::size_t>(request.getLittleEndian32(), kWireAtr);
        auto atr = request.getSpan(kWireAtr);
        auto bits = request.getSpan(kWireAtr);
        if (request.failed()) break;
        std::ranges::copy(atr, mask.atr.begin());
        std::ranges::copy(bits, mask.mask.begin());
    }
    return masks;
}

void writeState(DataView& reply, uint32_t dwCurrentState, const SCARD_READERSTATE& record,
                DWORD extra) {
    reply.setLittleEndian32(dwCurrentState);
    reply.setLittleEndian32(static_cast<uint32_t>(record.dwEventState | extra));
    std::size_t cbAtr = std::min<std::size_t>(record.cbAtr, sizeof record.rgbAtr);
    reply.setLittleEndian32(static_cast<uint32_t>(cbAtr));
    reply.setBytes(std::span<const uint8_t>(record.rgbAtr, cbAtr));
    reply.skipPositionWrite(kWireAtr - cbAtr);
}

}  // namespace

void locateCardsByATR(CharForm form, DataView& request, DataView& reply) {
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
    ScardReference ref = readScardContext(request);
    uint32_t cAtrs = request.getLittleEndian32();
    uint32_t rgAtrMasks = request.getLittleEndian32();
    uint32_t cReaders = request.getLittleEndian32();
    uint32_t rgReaderStates = request.getLittleEndian32();
    if (answeredTruncated(request, reply)) return;
    if (cAtrs > kMaxAtrs || cReaders > kMaxReaders) return longReturn(rc::invalid_value, reply);
    if ((cAtrs > 0 && rgAtrMasks == 0) || (cReaders > 0 && rgReaderStates == 0))
        return longReturn(rc::invalid_parameter, reply);

    uint32_t contextCount = request.getLittleEndian32();
    if (answeredTruncated(request, reply)) return;
    if (contextCount != ref.cb) return longReturn(rc::invalid_value, reply);
    uint64_t context = readReference(request, contextCount);
    request.skipPositionRead(static_cast<int32_t>(padding(contextCount, 4)));

    std::vector<AtrMask> masks;
    if (rgAtrMasks != 0) {
        uint32_t count = request.getLittleEndian32();
        if (answeredTruncated(request, reply)) return;
        if (count != cAtrs) return longReturn(rc::invalid_value, reply);
        // Counts are held against what the call holds before anything is allocated.
        if (uint64_t{cAtrs} * kMaskSize > request.remaining())
            return longReturn(rc::invalid_parameter, reply);
        masks = readMasks(request, cAtrs);
    }

    std::vector<SCARD_READERSTATE> records(cReaders);
    std::vector<uint32_t> knownStates(cReaders);
    std::vector<std::string> names(cReaders);
    if (rgReaderStates != 0) {
        uint32_t count = request.getLittleEndian32();
        if (answeredTruncated(request, reply)) return;
        if (count != cReaders) return longReturn(rc::invalid_value, reply);
        std::vector<uint32_t> nameReferents(cReaders);
        for (uint32_t i = 0; i < cReaders; ++i) {
            nameReferents[i] = request.getLittleEndian32();
            knownStates[i] = request.getLittleEndian32();
            request.skipPositionRead(static_cast<int32_t>(kReaderStateSize - 8));
        }
        for (uint32_t i = 0; i < cReaders && !request.failed(); ++i) {
            if (nameReferents[i] == 0) return longReturn(rc::invalid_parameter, reply);
            auto name = readString(request, form);
            if (request.failed()) break;
            if (!name) return longReturn(name.error(), reply);
            names[i] = std::move(*name);
        }
    }
    if (answeredTruncated(request, reply)) return;
    if (context == 0) return longReturn(rc::invalid_handle, reply);

    // The states now: every reader is asked as if its state were unknown, so none is left out
    // for being unchanged.
    for (uint32_t i = 0; i < cReaders; ++i) {
        records[i].szReader = names[i].c_str();
        records[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    LONG result = pcsc().get_status_change(static_cast<SCARDCONTEXT>(context), 0, records.data(),
                                           cReaders);
    if (result != SCARD_S_SUCCESS) return longReturn(static_cast<uint32_t>(result), reply);

    writeReplyHead(reply, static_cast<uint32_t>(16 + kReturnStateSize * cReaders));
    reply.setLittleEndian32(rc::success);
    reply.setLittleEndian32(cReaders);
    reply.setLittleEndian32(kStatesReferent);
    reply.setLittleEndian32(cReaders);  // conformant array maximum count
    for (uint32_t i = 0; i < cReaders; ++i) {
        const SCARD_READERSTATE& record = records[i];
        std::span<const uint8_t> atr(record.rgbAtr,
                                     std::min<std::size_t>(record.cbAtr, sizeof record.rgbAtr));
        bool present = (record.dwEventState & SCARD_STATE_PRESENT) != 0;
        bool match = present && std::ranges::any_of(masks, [&](const AtrMask& mask) {
                         return mask.matches(atr);
                     });
        writeState(reply, knownStates[i], record, match ? kAtrMatch : 0);
    }
    reply.markEnd();
}

}  // namespace kx_agent::smartcard
