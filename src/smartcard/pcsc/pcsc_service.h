#pragma once
// The calls that pcsc-lite and winscard.dll declare alike (no text, no size of their own):
// forwarded once, for both platforms' services. Each platform's service (pcsc_lite.cpp,
// pcsc_winscard.cpp) adds the calls that carry text or that it answers otherwise.
#include "smartcard/pcsc/pcsc.h"

namespace kx_agent::smartcard {

class PcscService : public Pcsc {
public:
    LONG establish_context(DWORD scope, SCARDCONTEXT* context) override {
        return SCardEstablishContext(scope, nullptr, nullptr, context);
    }
    LONG release_context(SCARDCONTEXT context) override { return SCardReleaseContext(context); }
    LONG is_valid_context(SCARDCONTEXT context) override { return SCardIsValidContext(context); }
    LONG cancel(SCARDCONTEXT context) override { return SCardCancel(context); }
    LONG reconnect(SCARDHANDLE card, DWORD share_mode, DWORD preferred_protocols,
                   DWORD initialization, DWORD* active_protocol) override {
        return SCardReconnect(card, share_mode, preferred_protocols, initialization,
                              active_protocol);
    }
    LONG disconnect(SCARDHANDLE card, DWORD disposition) override {
        return SCardDisconnect(card, disposition);
    }
    LONG begin_transaction(SCARDHANDLE card) override { return SCardBeginTransaction(card); }
    LONG end_transaction(SCARDHANDLE card, DWORD disposition) override {
        return SCardEndTransaction(card, disposition);
    }
    LONG transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* send_pci, const BYTE* send,
                  DWORD send_length, SCARD_IO_REQUEST* recv_pci, BYTE* recv,
                  DWORD* recv_length) override {
        return SCardTransmit(card, send_pci, send, send_length, recv_pci, recv, recv_length);
    }
    LONG control(SCARDHANDLE card, DWORD control_code, const void* in, DWORD in_length, void* out,
                 DWORD out_length, DWORD* bytes_returned) override {
        return SCardControl(card, control_code, in, in_length, out, out_length, bytes_returned);
    }
    LONG get_attrib(SCARDHANDLE card, DWORD attr_id, BYTE* attr, DWORD* attr_length) override {
        return SCardGetAttrib(card, attr_id, attr, attr_length);
    }
    LONG set_attrib(SCARDHANDLE card, DWORD attr_id, const BYTE* attr, DWORD attr_length) override {
        return SCardSetAttrib(card, attr_id, attr, attr_length);
    }
};

}  // namespace kx_agent::smartcard
