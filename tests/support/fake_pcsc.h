#pragma once
// A recording stand-in for the PC/SC service: it records every call with the exact arguments
// it received and answers with scripted results and outputs. It comes with the services a test
// hands to the calls (`services()`): the client's layers over the fake through a record of
// contexts of its own (client_stack.h), and a card cache and transmit counts of its own, so that
// every test starts with all three empty. While it lives it is the fake that relay() (wire.h) uses.
//
// Outputs follow pcsc-lite's rules where handlers rely on them: a null buffer asks for the
// length alone, a buffer shorter than the data gives SCARD_E_INSUFFICIENT_BUFFER, and
// SCARD_AUTOALLOCATE makes the service allocate (freed through free_memory). Tests that need
// other behaviour override the virtual methods in a subclass of their own.
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "smartcard/pcsc/pcsc.h"
#include "smartcard/calls/services.h"
#include "client_stack.h"

namespace kx_agent::test {

struct PcscCall {
    std::string function;
    uint64_t target = 0;         // the context or card handle passed
    std::vector<uint64_t> args;  // the other integer arguments, in order
    std::string text;            // reader name (connect) or names of the reader states
    std::vector<uint8_t> data;   // bytes passed in (send buffer, control input)
};

class FakePcsc : public smartcard::Pcsc {
public:
    // `installed`: relay() uses this fake while it lives (the latest one made, when several do).
    explicit FakePcsc(bool installed = true);
    ~FakePcsc() override;
    FakePcsc(const FakePcsc&) = delete;
    FakePcsc& operator=(const FakePcsc&) = delete;

    std::vector<PcscCall> calls;
    // Result by function name ("establish_context", "transmit", ...); success when absent.
    std::map<std::string, LONG> results;
    // False: calls are answered but not recorded, and `results` is read without the lock (a
    // benchmark's millions of calls; its results do not change while calls run).
    bool keep_calls = true;

    SCARDCONTEXT context = 0x0000A001;                   // handed out by establish_context
    std::string readers{"Reader A\0\0", 10};             // multi-string of list_readers
    std::string groups{"SCard$DefaultReaders\0\0", 22};  // multi-string of list_reader_groups
    SCARDHANDLE card = 0x00010002;                       // handed out by connect
    DWORD active_protocol = SCARD_PROTOCOL_T1;
    std::string status_names{"Reader A\0\0", 10};
    DWORD status_state = SCARD_PRESENT | SCARD_POWERED | SCARD_NEGOTIABLE;
    std::vector<uint8_t> atr{0x3B, 0x80, 0x80, 0x01, 0x01};
    std::vector<uint8_t> response{0x90, 0x00};  // transmit
    std::vector<uint8_t> recv_pci_extra;        // extra bytes written after the receive PCI
    std::optional<DWORD> recv_pci_length;       // cbPciLength written into the receive PCI
    std::vector<uint8_t> control_out;           // control
    std::vector<uint8_t> attribute{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};  // get_attrib
    // get_status_change: event state given to every entry (its known state | SCARD_STATE_CHANGED
    // when absent); the ATR above goes into every entry.
    std::optional<DWORD> event_state;
    // When set, the length reported back by list_readers, list_reader_groups, status, transmit, control and
    // get_attrib, whatever the buffer held: lets tests play a service that lies.
    std::optional<DWORD> reported_length;

    smartcard::CardCache cache;
    smartcard::TransmitCounts transmits;
    // The client's layers over this fake, the cache and the counts above.
    const smartcard::Services& services() const { return stack_.services(); }
    // The installed fake that lives; null when none does.
    static FakePcsc* installed();

    // Calls made to `function` (both safe while other threads call the fake; the record that
    // `last` points to stays valid while no call is made).
    std::size_t count(const std::string& function) const;
    const PcscCall* last(const std::string& function) const;

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
    // Records the identifier and length as args, the value as data.
    LONG set_attrib(SCARDHANDLE card, DWORD attr_id, const BYTE* attr, DWORD attr_length) override;

    // Buffers allocated for SCARD_AUTOALLOCATE and not yet freed.
    std::size_t outstanding_allocations() const { return allocations_; }

protected:
    // Records the call (while calls are kept) and answers its scripted result.
    LONG record(PcscCall call);
    LONG record(std::string_view function, uint64_t target, std::initializer_list<uint64_t> args,
                std::string_view text = {});
    // The scripted result of `function`.
    LONG scripted(std::string_view function) const;
    // Copies `data` to `buffer` under pcsc-lite's length rules; returns the result.
    LONG deliver(std::string_view function, const void* data, std::size_t size, void* buffer,
                 DWORD* length);

    // Calls may come from several threads (a connection that runs calls side by side): the
    // record is taken under this lock.
    mutable std::mutex mutex_;

private:
    ClientStack stack_{*this, cache, transmits};
    bool installed_;
    FakePcsc* previous_ = nullptr;
    std::atomic<std::size_t> allocations_{0};
};

}  // namespace kx_agent::test
