#pragma once
// The one seam through which the call handlers reach the PC/SC service.
//
// The methods mirror the PC/SC functions one for one, with the platform service's own types
// (smartcard/pcsc/pcsc_api.h). Text is UTF-8. The service at the bottom is the platform's,
// pcsc-lite or winscard.dll, or a test's fake; layers over it (smartcard/pcsc/pcsc_stack.h says
// which, in order) derive from ForwardingPcsc and override only what they change. The handlers
// are handed the top of a stack with each call (smartcard/calls/services.h).
#include "smartcard/pcsc/pcsc_api.h"

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

// A layer over another service: every call goes to the service underneath as it came, and its
// result back through `result`. A layer overrides the calls it changes, and the hooks:
// - `use_context` / `use_card`, before each call made on a context or a card handle (not
//   establish_context, release_context and free_memory, which make no use of one);
// - `result`, on the result of every call forwarded here.
// A layer's own override calls the service underneath itself (`inner_`), or the forwarder here
// (ForwardingPcsc::connect ...) to keep the hooks.
class ForwardingPcsc : public Pcsc {
public:
    explicit ForwardingPcsc(Pcsc& inner) : inner_(inner) {}

    LONG establish_context(DWORD scope, SCARDCONTEXT* context) override {
        return result(inner_.establish_context(scope, context));
    }
    LONG release_context(SCARDCONTEXT context) override {
        return result(inner_.release_context(context));
    }
    LONG is_valid_context(SCARDCONTEXT context) override {
        use_context(context);
        return result(inner_.is_valid_context(context));
    }
    LONG cancel(SCARDCONTEXT context) override {
        use_context(context);
        return result(inner_.cancel(context));
    }
    LONG list_reader_groups(SCARDCONTEXT context, char* groups, DWORD* length) override {
        use_context(context);
        return result(inner_.list_reader_groups(context, groups, length));
    }
    LONG list_readers(SCARDCONTEXT context, const char* groups, char* readers,
                      DWORD* length) override {
        use_context(context);
        return result(inner_.list_readers(context, groups, readers, length));
    }
    LONG get_status_change(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                           DWORD count) override {
        use_context(context);
        return result(inner_.get_status_change(context, timeout, states, count));
    }
    LONG connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                 DWORD preferred_protocols, SCARDHANDLE* card, DWORD* active_protocol) override {
        use_context(context);
        return result(inner_.connect(context, reader, share_mode, preferred_protocols, card,
                                     active_protocol));
    }
    LONG reconnect(SCARDHANDLE card, DWORD share_mode, DWORD preferred_protocols,
                   DWORD initialization, DWORD* active_protocol) override {
        use_card(card);
        return result(inner_.reconnect(card, share_mode, preferred_protocols, initialization,
                                       active_protocol));
    }
    LONG disconnect(SCARDHANDLE card, DWORD disposition) override {
        use_card(card);
        return result(inner_.disconnect(card, disposition));
    }
    LONG begin_transaction(SCARDHANDLE card) override {
        use_card(card);
        return result(inner_.begin_transaction(card));
    }
    LONG end_transaction(SCARDHANDLE card, DWORD disposition) override {
        use_card(card);
        return result(inner_.end_transaction(card, disposition));
    }
    LONG status(SCARDHANDLE card, char* names, DWORD* names_length, DWORD* state, DWORD* protocol,
                BYTE* atr, DWORD* atr_length) override {
        use_card(card);
        return result(inner_.status(card, names, names_length, state, protocol, atr, atr_length));
    }
    LONG free_memory(SCARDCONTEXT context, const void* memory) override {
        return result(inner_.free_memory(context, memory));
    }
    LONG transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* send_pci, const BYTE* send,
                  DWORD send_length, SCARD_IO_REQUEST* recv_pci, BYTE* recv,
                  DWORD* recv_length) override {
        use_card(card);
        return result(
            inner_.transmit(card, send_pci, send, send_length, recv_pci, recv, recv_length));
    }
    LONG control(SCARDHANDLE card, DWORD control_code, const void* in, DWORD in_length, void* out,
                 DWORD out_length, DWORD* bytes_returned) override {
        use_card(card);
        return result(
            inner_.control(card, control_code, in, in_length, out, out_length, bytes_returned));
    }
    LONG get_attrib(SCARDHANDLE card, DWORD attr_id, BYTE* attr, DWORD* attr_length) override {
        use_card(card);
        return result(inner_.get_attrib(card, attr_id, attr, attr_length));
    }
    LONG set_attrib(SCARDHANDLE card, DWORD attr_id, const BYTE* attr, DWORD attr_length) override {
        use_card(card);
        return result(inner_.set_attrib(card, attr_id, attr, attr_length));
    }

protected:
    virtual void use_context(SCARDCONTEXT) {}
    virtual void use_card(SCARDHANDLE) {}
    virtual LONG result(LONG code) { return code; }

    Pcsc& inner_;
};

// The platform's service: pcsc-lite on Linux, winscard.dll on Windows.
Pcsc& system_pcsc();

}  // namespace kx_agent::smartcard
