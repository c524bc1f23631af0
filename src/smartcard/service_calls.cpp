// Calls about the PC/SC service and its readers rather than a card:
// SCARD_IOCTL_ACCESSSTARTEDEVENT and SCARD_IOCTL_GETDEVICETYPEID.
//
// A Windows session opens with the access-started event: it waits until the smart-card service
// runs. The agent answers at once whether the service answers now, by establishing and
// releasing a context. ScardAccessStartedEvent_Call is one unused 32-bit word; the return is a
// bare Long_Return.
//
// GetDeviceTypeId_Call: REDIR_SCARDCONTEXT, the szReaderName referent id; deferred: the context
// bytes, then the reader name (a wide-character string). GetDeviceTypeId_Return: ReturnCode,
// dwDeviceId (the Long_Return shape).
#include "smartcard/char_form.h"
#include "smartcard/ndr.h"
#include "smartcard/pcsc.h"

namespace kx_agent::smartcard {
namespace {

// SCARD_READER_TYPE_USB: the readers that pcsc-lite serves on Linux are USB (CCID) readers, and
// the agent cannot tell more; Windows only needs the reader to be a known one.
constexpr uint32_t kReaderTypeUsb = 0x20;

}  // namespace

void accessStartedEvent(DataView& request, DataView& reply) {
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
    request.getLittleEndian32();  // Unused
    if (answeredTruncated(request, reply)) return;
    SCARDCONTEXT context = 0;
    LONG result = pcsc().establish_context(SCARD_SCOPE_SYSTEM, &context);
    if (result == SCARD_S_SUCCESS) pcsc().release_context(context);
    longReturn(static_cast<uint32_t>(result), reply);
}

void getDeviceTypeId(DataView& request, DataView& reply) {
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
    ScardReference ref = readScardContext(request);
    uint32_t szReaderName = request.getLittleEndian32();
    if (answeredTruncated(request, reply)) return;
    uint32_t count = request.getLittleEndian32();
    if (answeredTruncated(request, reply)) return;
    if (count != ref.cb) return longReturn(rc::invalid_value, reply);
    uint64_t context = readReference(request, count);
    request.skipPositionRead(static_cast<int32_t>(padding(count, 4)));
    if (answeredTruncated(request, reply)) return;
    if (szReaderName == 0) return longReturn(rc::invalid_parameter, reply);
    auto reader = readString(request, CharForm::W);
    if (answeredTruncated(request, reply)) return;
    if (!reader) return longReturn(reader.error(), reply);
    if (context == 0) return longReturn(rc::invalid_handle, reply);

    // A reader PC/SC knows answers a status query at once; an unknown one is PC/SC's
    // SCARD_E_UNKNOWN_READER.
    SCARD_READERSTATE state{};
    state.szReader = reader->c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    LONG result = pcsc().get_status_change(static_cast<SCARDCONTEXT>(context), 0, &state, 1);
    if (result != SCARD_S_SUCCESS) return longReturn(static_cast<uint32_t>(result), reply);
    // GetDeviceTypeId_Return: ReturnCode, dwDeviceId.
    longReturnWithValue(rc::success, reply, kReaderTypeUsb);
}

}  // namespace kx_agent::smartcard
