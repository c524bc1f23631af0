#include <atomic>

#include "smartcard/pcsc.h"
#include "smartcard/windows_numbering.h"

namespace kx_agent::smartcard {
namespace {

class PcscLite final : public Pcsc {
public:
    LONG establish_context(DWORD scope, SCARDCONTEXT* context) override {
        return SCardEstablishContext(scope, nullptr, nullptr, context);
    }
    LONG release_context(SCARDCONTEXT context) override { return SCardReleaseContext(context); }
    LONG is_valid_context(SCARDCONTEXT context) override { return SCardIsValidContext(context); }
    LONG cancel(SCARDCONTEXT context) override { return SCardCancel(context); }
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
    LONG status(SCARDHANDLE card, char* names, DWORD* names_length, DWORD* state, DWORD* protocol,
                BYTE* atr, DWORD* atr_length) override {
        return SCardStatus(card, names, names_length, state, protocol, atr, atr_length);
    }
    LONG free_memory(SCARDCONTEXT context, const void* memory) override {
        return SCardFreeMemory(context, memory);
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
    LONG set_attrib(SCARDHANDLE card, DWORD attr_id, const BYTE* attr,
                    DWORD attr_length) override {
        return SCardSetAttrib(card, attr_id, attr, attr_length);
    }
};

std::atomic<Pcsc*> installed{nullptr};

}  // namespace

Pcsc& pcsc_lite() {
    static PcscLite service;
    return service;
}

Pcsc& installed_pcsc() {
    Pcsc* service = installed.load(std::memory_order_acquire);
    return service != nullptr ? *service : pcsc_lite();
}

Pcsc& pcsc() {
    // pcsc-lite numbers card states, protocols, control codes and one return code otherwise
    // than the Windows numbering the clients speak: the handlers reach it through the layer that
    // translates. (A service that speaks the client's numbering itself needs no layer.)
    static WindowsNumbering layer(installed_pcsc);
    return layer;
}

Pcsc* set_pcsc(Pcsc* service) {
    Pcsc* previous = installed.exchange(service, std::memory_order_acq_rel);
    return previous != nullptr ? previous : &pcsc_lite();
}

}  // namespace kx_agent::smartcard
