#pragma once
// The client's numbering, [MS-RDPESC]'s and so Windows', over a PC/SC service that numbers
// some things otherwise (pcsc-lite). Every difference is translated here, both ways, and
// nowhere else: the handlers speak the client's numbering only.
//
// - Card state (Status, State): pcsc-lite's bit field (with an event counter in its upper bits)
//   becomes the [MS-RDPESC] enumeration SCARD_UNKNOWN 0 .. SCARD_SPECIFIC 6, the most advanced
//   state set; a powered card with a protocol in use is SCARD_SPECIFIC, as Windows reports it
//   (pcsc-lite leaves it at negotiable).
// - Protocols (connect, reconnect, status, transmit PCIs): SCARD_PROTOCOL_RAW is 0x10000 for the
//   client and 4 for pcsc-lite; the client's SCARD_PROTOCOL_DEFAULT (0x80000000) asks for T=0
//   or T=1.
// - Return codes: pcsc-lite's 0x8010001F (its SCARD_E_UNSUPPORTED_FEATURE, which Windows reads
//   as SCARD_E_UNEXPECTED) goes out as SCARD_E_UNSUPPORTED_FEATURE, 0x80100022.
// - Control codes: a Windows SCARD_CTL_CODE(n), 0x00310000 | (n << 2) (FILE_DEVICE_SMARTCARD,
//   METHOD_BUFFERED, FILE_ANY_ACCESS), is pcsc-lite's 0x42000000 + n; pcsc-lite codes pass as
//   they are. The feature list that CM_IOCTL_GET_FEATURE_REQUEST (n = 3400) answers to a Windows
//   client carries its control codes in the Windows form.
// - Sizes: pcsc-lite refuses an attribute buffer over 264 bytes and a receive buffer over 65548
//   bytes, so it is offered at most those; what it answers fits the client's larger buffer.
//
// - The reader count of "\\?PnP?\Notification" waits, which pcsc-lite does not keep
//   (smartcard/pcsc/pnp_reader_count.h).
#include <cstdint>

#include "smartcard/pcsc/pcsc.h"

namespace kx_agent::smartcard {

namespace numbering {

inline constexpr uint32_t kPcscLiteUnsupported = 0x8010001F;
inline constexpr uint32_t kUnsupportedFeature = 0x80100022;

// The tables, one function a direction.
uint32_t resultToClient(uint32_t code);
// `protocol`: the card's active protocol (0: none).
uint32_t cardStateToClient(uint32_t bits, uint32_t protocol);
uint32_t protocolsToService(uint32_t protocols);
uint32_t protocolsToClient(uint32_t protocols);
uint32_t controlCodeToService(uint32_t code);
uint32_t controlCodeToClient(uint32_t code);

}  // namespace numbering

class WindowsNumbering final : public ForwardingPcsc {
public:
    using ForwardingPcsc::ForwardingPcsc;

    // Protocols, both ways.
    LONG connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                 DWORD preferred_protocols, SCARDHANDLE* card, DWORD* active_protocol) override;
    LONG reconnect(SCARDHANDLE card, DWORD share_mode, DWORD preferred_protocols,
                   DWORD initialization, DWORD* active_protocol) override;
    LONG transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* send_pci, const BYTE* send,
                  DWORD send_length, SCARD_IO_REQUEST* recv_pci, BYTE* recv,
                  DWORD* recv_length) override;
    // The card state and protocol.
    LONG status(SCARDHANDLE card, char* names, DWORD* names_length, DWORD* state, DWORD* protocol,
                BYTE* atr, DWORD* atr_length) override;
    // The reader count of PnP notification waits.
    LONG get_status_change(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                           DWORD count) override;
    // pcsc-lite's buffer limit.
    LONG get_attrib(SCARDHANDLE card, DWORD attr_id, BYTE* attr, DWORD* attr_length) override;
    // Control codes and the feature list.
    LONG control(SCARDHANDLE card, DWORD control_code, const void* in, DWORD in_length, void* out,
                 DWORD out_length, DWORD* bytes_returned) override;

protected:
    // Every return code.
    LONG result(LONG code) override;
};

}  // namespace kx_agent::smartcard
