// pcsc-lite, the PC/SC service on Linux.
#include "smartcard/pcsc/pcsc_service.h"
#include "smartcard/pcsc/pcsc_stack.h"

namespace kx_agent::smartcard {
namespace {

class PcscLite final : public PcscService {
public:
    LONG list_reader_groups(SCARDCONTEXT context, char* groups, DWORD* length) override {
        return SCardListReaderGroups(context, groups, length);
    }
    LONG list_readers(SCARDCONTEXT context, const char* groups, char* readers,
                      DWORD* length) override {
        return SCardListReaders(context, groups, readers, length);
    }
    LONG get_status_change(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                           DWORD count) override {
        return SCardGetStatusChange(context, timeout, states, count);
    }
    LONG connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                 DWORD preferred_protocols, SCARDHANDLE* card, DWORD* active_protocol) override {
        return SCardConnect(context, reader, share_mode, preferred_protocols, card,
                            active_protocol);
    }
    LONG status(SCARDHANDLE card, char* names, DWORD* names_length, DWORD* state, DWORD* protocol,
                BYTE* atr, DWORD* atr_length) override {
        return SCardStatus(card, names, names_length, state, protocol, atr, atr_length);
    }
    LONG free_memory(SCARDCONTEXT context, const void* memory) override {
        return SCardFreeMemory(context, memory);
    }
};

}  // namespace

Pcsc& system_pcsc() {
    static PcscLite service;
    return service;
}

// pcsc-lite numbers card states, protocols, control codes and one return code otherwise than
// the Windows numbering the clients speak, and keeps no reader count for PnP waits: the
// handlers reach it through the layers that translate.
Pcsc& ClientLayers::top() { return numbering_; }

}  // namespace kx_agent::smartcard
