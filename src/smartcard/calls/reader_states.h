#pragma once
// The reader states that GetStatusChange and LocateCardsByATR carry, both ways.
//
// A call carries them as the conformant array of ReaderStateA/W records of 52 bytes (the
// szReader pointer, dwCurrentState, dwEventState, cbAtr, rgbAtr[36]), then each record's
// szReader string in record order; the forms differ only in the characters of those strings.
// The answer, GetStatusChange_Return and LocateCards_Return alike, is ReturnCode, cReaders, the
// rgReaderStates pointer, then the conformant array of ReaderState_Return records of 48 bytes
// (the record without szReader).
#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "smartcard/wire/ndr.h"
#include "smartcard/pcsc/pcsc_api.h"

namespace kx_agent::smartcard {

inline constexpr std::size_t kWireAtr = 36;  // rgbAtr of the records, [range(0, 36)] cbAtr

// ReaderStateA / ReaderStateW.
struct ReaderState {
    std::string szReader;  // in UTF-8
    uint32_t dwCurrentState = 0;
    uint32_t dwEventState = 0;
    uint32_t cbAtr = 0;  // at most 36
    std::array<uint8_t, kWireAtr> rgbAtr{};
};

// The deferred rgReaderStates of a call that announced `cReaders` of them behind the pointer
// `rgReaderStates`: the array's count must be cReaders (else SCARD_E_INVALID_VALUE), a count the
// call cannot hold fails the reader, and a null pointer or null szReader where a reader is due,
// or a cbAtr beyond 36, is SCARD_E_INVALID_PARAMETER.
std::expected<std::vector<ReaderState>, ReturnCode> readReaderStates(NdrReader& in,
                                                                     uint32_t cReaders,
                                                                     uint32_t rgReaderStates,
                                                                     CharForm form);

// The PC/SC records of `states`, pointing at their names (`states` must outlive them). With
// `known` each carries the client's known state, event state and ATR; without, each reader is
// asked as if its state were unknown, so none is left out for being unchanged.
std::vector<SCARD_READERSTATE> pcscRecords(const std::vector<ReaderState>& states, bool known);

struct ReaderState_Return {
    uint32_t dwCurrentState = 0;
    uint32_t dwEventState = 0;
    uint32_t cbAtr = 0;
    std::array<uint8_t, kWireAtr> rgbAtr{};
};

// A record as PC/SC left it, with the known state as the client sent it: the ATR's cbAtr bytes,
// zero after them.
ReaderState_Return stateReturn(uint32_t dwCurrentState, const SCARD_READERSTATE& record);

// GetStatusChange_Return, and LocateCards_Return, which has its layout. Zeroed: cReaders 0 and a
// null rgReaderStates; a success always points to its array, if empty.
struct GetStatusChangeReturn {
    smartcard::ReturnCode ReturnCode = rc::success;
    std::optional<std::vector<ReaderState_Return>> rgReaderStates{};

    void encode(NdrWriter& out, CharForm) const;
};

}  // namespace kx_agent::smartcard
