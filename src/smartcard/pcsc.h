#pragma once
// The one seam through which the call handlers reach the PC/SC service.
//
// The methods mirror the PC/SC functions one for one, with pcsc-lite's own types (on Linux
// DWORD, SCARDCONTEXT and SCARDHANDLE are 64-bit, SCARD_IO_REQUEST is 16 bytes and
// SCARD_READERSTATE holds a 33-byte ATR). The real implementation forwards to pcsc-lite; unit
// tests install a recording fake with `set_pcsc`. The handlers reach whichever is installed
// through `pcsc()`, which puts the client's numbering over it (smartcard/windows_numbering.h).
#include <PCSC/winscard.h>

namespace kx_agent::smartcard {

class Pcsc {
public:
    virtual ~Pcsc() = default;

    virtual LONG establish_context(DWORD scope, SCARDCONTEXT* context) = 0;
    virtual LONG release_context(SCARDCONTEXT context) = 0;
    virtual LONG is_valid_context(SCARDCONTEXT context) = 0;
    virtual LONG cancel(SCARDCONTEXT context) = 0;
    virtual LONG list_reader_groups(SCARDCONTEXT context, char* groups, DWORD* length) = 0;
    virtual LONG list_readers(SCARDCONTEXT context, const char* groups, char* readers,
                              DWORD* length) = 0;
    virtual LONG get_status_change(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                                   DWORD count) = 0;
    virtual LONG connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                         DWORD preferred_protocols, SCARDHANDLE* card, DWORD* active_protocol) = 0;
    virtual LONG reconnect(SCARDHANDLE card, DWORD share_mode, DWORD preferred_protocols,
                           DWORD initialization, DWORD* active_protocol) = 0;
    virtual LONG disconnect(SCARDHANDLE card, DWORD disposition) = 0;
    virtual LONG begin_transaction(SCARDHANDLE card) = 0;
    virtual LONG end_transaction(SCARDHANDLE card, DWORD disposition) = 0;
    // `names` follows SCardStatus: with *names_length == SCARD_AUTOALLOCATE it is the address of
    // a char* that receives a buffer to be freed with free_memory.
    virtual LONG status(SCARDHANDLE card, char* names, DWORD* names_length, DWORD* state,
                        DWORD* protocol, BYTE* atr, DWORD* atr_length) = 0;
    virtual LONG free_memory(SCARDCONTEXT context, const void* memory) = 0;
    virtual LONG transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* send_pci, const BYTE* send,
                          DWORD send_length, SCARD_IO_REQUEST* recv_pci, BYTE* recv,
                          DWORD* recv_length) = 0;
    virtual LONG control(SCARDHANDLE card, DWORD control_code, const void* in, DWORD in_length,
                         void* out, DWORD out_length, DWORD* bytes_returned) = 0;
    virtual LONG get_attrib(SCARDHANDLE card, DWORD attr_id, BYTE* attr, DWORD* attr_length) = 0;
    virtual LONG set_attrib(SCARDHANDLE card, DWORD attr_id, const BYTE* attr,
                            DWORD attr_length) = 0;
};

// The service the handlers use: the installed service, seen in the client's ([MS-RDPESC],
// Windows) numbering.
Pcsc& pcsc();
// The installed service as it is: pcsc-lite unless another has been installed.
Pcsc& installed_pcsc();
// Installs `service` (null restores pcsc-lite) and returns the one it replaces.
Pcsc* set_pcsc(Pcsc* service);
// The pcsc-lite implementation.
Pcsc& pcsc_lite();

}  // namespace kx_agent::smartcard
