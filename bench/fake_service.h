#pragma once
// A PC/SC service that answers at once, for timing the decoding and encoding of a call alone.
// Its answers have the shapes the real service gives for the virtual readers: two readers, a
// card with an 11-byte ATR in the first, T=1.
#include "smartcard/pcsc.h"

namespace kx_agent::bench {

class InstantPcsc final : public smartcard::Pcsc {
public:
    LONG establish_context(DWORD scope, SCARDCONTEXT* context) override;
    LONG release_context(SCARDCONTEXT context) override;
    LONG is_valid_context(SCARDCONTEXT context) override;
    LONG cancel(SCARDCONTEXT context) override;
    LONG list_reader_groups(SCARDCONTEXT context, char* groups, DWORD* length) override;
    LONG list_readers(SCARDCONTEXT context, const char* groups, char* readers,
                      DWORD* length) override;
    LONG get_status_change(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                           DWORD count) override;
    LONG connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                 DWORD preferred_protocols, SCARDHANDLE* card, DWORD* active_protocol) override;
    LONG reconnect(SCARDHANDLE card, DWORD share_mode, DWORD preferred_protocols,
                   DWORD initialization, DWORD* active_protocol) override;
    LONG disconnect(SCARDHANDLE card, DWORD disposition) override;
    LONG begin_transaction(SCARDHANDLE card) override;
    LONG end_transaction(SCARDHANDLE card, DWORD disposition) override;
    LONG status(SCARDHANDLE card, char* names, DWORD* names_length, DWORD* state, DWORD* protocol,
                BYTE* atr, DWORD* atr_length) override;
    LONG free_memory(SCARDCONTEXT context, const void* memory) override;
    LONG transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* send_pci, const BYTE* send,
                  DWORD send_length, SCARD_IO_REQUEST* recv_pci, BYTE* recv,
                  DWORD* recv_length) override;
    LONG control(SCARDHANDLE card, DWORD control_code, const void* in, DWORD in_length, void* out,
                 DWORD out_length, DWORD* bytes_returned) override;
    LONG get_attrib(SCARDHANDLE card, DWORD attr_id, BYTE* attr, DWORD* attr_length) override;
    LONG set_attrib(SCARDHANDLE card, DWORD attr_id, const BYTE* attr,
                    DWORD attr_length) override;

    static constexpr SCARDCONTEXT kContext = 0x0000A001;
    static constexpr SCARDHANDLE kCard = 0x00010002;
};

}  // namespace kx_agent::bench
