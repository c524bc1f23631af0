// Calls about the PC/SC service and its readers rather than a card:
// SCARD_IOCTL_ACCESSSTARTEDEVENT, GETDEVICETYPEID, GETREADERICON and the reader database calls.
//
// A Windows session opens with the access-started event: it waits until the smart-card service
// runs. The agent answers at once whether the service answers now, by establishing and
// releasing a context. ScardAccessStartedEvent_Call is one unused 32-bit word, which a Windows
// server sends without NDR headers (the dispatcher takes both forms); the return is a Long_Return.
//
// GetDeviceTypeId_Call: REDIR_SCARDCONTEXT, the szReaderName pointer; deferred: the context
// bytes, then the reader name (a wide-character string). GetDeviceTypeId_Return: ReturnCode,
// dwDeviceId.
//
// GetReaderIcon is not carried out (pcsc-lite keeps no icons); it is answered with its own
// GetReaderIcon_Return (ReturnCode, cbDataLen, pbData), zeroed. Nor are the reader and group
// database calls (introduce, forget, add to and remove from a group): pcsc-lite has no such
// database. They are answered with a bare Long_Return.
#include <string>

#include "smartcard/calls/call.h"
#include "smartcard/pcsc/pcsc.h"

namespace kx_agent::smartcard {
namespace {

// SCARD_READER_TYPE_USB: the readers that pcsc-lite serves on Linux are USB (CCID) readers, and
// the agent cannot tell more; Windows only needs the reader to be a known one.
constexpr uint32_t kReaderTypeUsb = 0x20;

struct AccessStartedEventCall {};

std::expected<AccessStartedEventCall, ReturnCode> decodeAccessStarted(NdrReader& in, CharForm) {
    in.u32();  // Unused
    return AccessStartedEventCall{};
}

LongReturn executeAccessStarted(const AccessStartedEventCall&, CharForm, const Services& services) {
    SCARDCONTEXT context = 0;
    LONG result = services.pcsc.establish_context(SCARD_SCOPE_SYSTEM, &context);
    if (result == SCARD_S_SUCCESS) services.pcsc.release_context(context);
    return {ReturnCode::of(result)};
}

struct GetDeviceTypeIdCall {
    REDIR_SCARDCONTEXT Context;
    uint32_t szReaderName = 0;
    std::string reader;
};

struct GetDeviceTypeIdReturn {
    smartcard::ReturnCode ReturnCode = rc::success;
    uint32_t dwDeviceId = 0;

    void encode(NdrWriter& out, CharForm) const {
        out.u32(ReturnCode.value());
        out.u32(dwDeviceId);
    }
};

std::expected<GetDeviceTypeIdCall, ReturnCode> decodeDeviceTypeId(NdrReader& in, CharForm form) {
    GetDeviceTypeIdCall call;
    call.Context.readFixed(in);
    call.szReaderName = in.u32();
    if (auto deferred = call.Context.readDeferred(in); !deferred)
        return std::unexpected(deferred.error());
    if (call.szReaderName == 0) return std::unexpected(rc::invalid_parameter);
    auto reader = in.string(form);
    if (!reader) return std::unexpected(reader.error());
    call.reader = std::move(*reader);
    return call;
}

GetDeviceTypeIdReturn executeDeviceTypeId(const GetDeviceTypeIdCall& call, CharForm,
                                          const Services& services) {
    if (call.Context.value == 0) return {rc::invalid_handle};
    // A reader PC/SC knows answers a status query at once; an unknown one is PC/SC's
    // SCARD_E_UNKNOWN_READER.
    SCARD_READERSTATE state{};
    state.szReader = call.reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    LONG result = services.pcsc.get_status_change(static_cast<SCARDCONTEXT>(call.Context.value), 0,
                                                  &state, 1);
    if (result != SCARD_S_SUCCESS) return {ReturnCode::of(result)};
    return {rc::success, kReaderTypeUsb};
}

struct GetReaderIconReturn {
    smartcard::ReturnCode ReturnCode = rc::success;

    void encode(NdrWriter& out, CharForm) const {
        out.u32(ReturnCode.value());
        out.u32(0);          // cbDataLen
        out.pointer(false);  // pbData
    }
};

}  // namespace

const CallHandler accessStartedEventCall = typedCall<decodeAccessStarted, executeAccessStarted>;
const CallHandler getDeviceTypeIdCall = typedCall<decodeDeviceTypeId, executeDeviceTypeId>;
const CallHandler getReaderIconCall = unsupportedCall<GetReaderIconReturn>;

constexpr CallRow unsupported(uint32_t code) {
    return row(code, unsupportedCall<LongReturn>, CharForm::A, CallOrder::Kind::independent);
}

constexpr std::array kRows = {
    unsupported(ioctl::introduceReaderGroupA),
    unsupported(ioctl::introduceReaderGroupW),
    unsupported(ioctl::forgetReaderGroupA),
    unsupported(ioctl::forgetReaderGroupW),
    unsupported(ioctl::introduceReaderA),
    unsupported(ioctl::introduceReaderW),
    unsupported(ioctl::forgetReaderA),
    unsupported(ioctl::forgetReaderW),
    unsupported(ioctl::addReaderToGroupA),
    unsupported(ioctl::addReaderToGroupW),
    unsupported(ioctl::removeReaderFromGroupA),
    unsupported(ioctl::removeReaderFromGroupW),
    // A Windows server sends this one as 4 bare bytes ([MS-RDPESC] 2.2.2.30): see skipTypeHeaders.
    row(ioctl::accessStartedEvent, accessStartedEventCall, CharForm::A,
        CallOrder::Kind::independent, Timing::atOnce),
    row(ioctl::getReaderIcon, getReaderIconCall, CharForm::W, CallOrder::Kind::independent),
    row(ioctl::getDeviceTypeId, getDeviceTypeIdCall, CharForm::W, CallOrder::Kind::context,
        Timing::atOnce),
};

std::span<const CallRow> serviceCallRows() { return kRows; }

}  // namespace kx_agent::smartcard
