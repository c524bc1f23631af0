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
#include "smartcard/ndr.h"
#include "smartcard/pcsc.h"

namespace kx_agent::smartcard {

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

}  // namespace kx_agent::smartcard
