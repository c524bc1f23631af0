// SCARD_IOCTL_GETSTATUSCHANGEA/W: waits until the state of a reader differs from the state the
// client knows, the time-out runs out or a Cancel on the same context ends the wait.
//
// GetStatusChangeA_Call and GetStatusChangeW_Call: REDIR_SCARDCONTEXT, dwTimeOut, cReaders, the
// rgReaderStates pointer; deferred: the context bytes, then the reader states
// (smartcard/calls/reader_states.h). GetStatusChange_Return: ReturnCode, cReaders, the rgReaderStates
// pointer and its ReaderState_Return records.
#include <algorithm>
#include <expected>
#include <string>
#include <vector>

#include "smartcard/calls/call.h"
#include "smartcard/pcsc/pcsc.h"
#include "smartcard/calls/reader_states.h"

namespace kx_agent::smartcard {

namespace {

struct GetStatusChangeCall {
    REDIR_SCARDCONTEXT Context;
    uint32_t dwTimeOut = 0;
    uint32_t cReaders = 0;
    uint32_t rgReaderStates = 0;
    std::vector<ReaderState> states;
};

std::expected<GetStatusChangeCall, ReturnCode> decodeGetStatusChange(NdrReader& in, CharForm form) {
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
    if (result != SCARD_S_SUCCESS) return {ReturnCode::of(result)};
    GetStatusChangeReturn answer{rc::success, std::vector<ReaderState_Return>{}};
    for (std::size_t i = 0; i < records.size(); ++i)
        answer.rgReaderStates->push_back(stateReturn(call.states[i].dwCurrentState, records[i]));
    return answer;
}

}  // namespace

const CallHandler getStatusChangeCall = typedCall<decodeGetStatusChange, executeGetStatusChange>;

constexpr std::array kRows = {
    row(ioctl::getStatusChangeA, getStatusChangeCall),
    row(ioctl::getStatusChangeW, getStatusChangeCall, CharForm::W),
};

std::span<const CallRow> statusChangeRows() { return kRows; }

}  // namespace kx_agent::smartcard
