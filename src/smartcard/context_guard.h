#pragma once
// Keeps a closed web client from leaking PC/SC contexts, and from holding its thread in a wait
// after it has gone.
//
// pcscd serves a bounded number of contexts for the whole machine, and a context lives until it
// is released; a browser tab that is closed or loses its network never releases its own. The
// guard sits in front of the PC/SC service and remembers, for every context established over a
// relay connection, which live connections have made or used it (a card handle counts as a use
// of the context it was connected on). When a connection ends, each context that no other live
// connection has used is cancelled and released, and pcsc-lite drops its card handles.
//
// Status-change waits run in slices, and between slices the connection's socket is probed for a
// hang-up, so a wait whose client has gone ends within a slice. The client's time-out keeps its
// meaning (0 asks once, INFINITE waits without limit), and a cancel that lands between two
// slices still ends the wait.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <set>
#include <unordered_map>

#include "smartcard/pcsc.h"
#include "velkin/platform/socket.h"

namespace kx_agent::smartcard {

class ContextGuard;

// One relay connection, for as long as its thread relays calls. Calls made on the thread that
// holds a scope are attributed to its connection.
class ConnectionScope {
public:
    ConnectionScope(ContextGuard& guard, vornic::velkin::net::sys::Socket socket);
    ~ConnectionScope();
    ConnectionScope(const ConnectionScope&) = delete;
    ConnectionScope& operator=(const ConnectionScope&) = delete;

    // True once the peer has closed or reset the connection.
    bool peer_gone() const;
    uint64_t id() const { return id_; }

    static ConnectionScope* current();

private:
    ContextGuard& guard_;
    vornic::velkin::net::sys::Socket socket_;
    uint64_t id_;
    ConnectionScope* previous_;
};

class ContextGuard final : public Pcsc {
public:
    explicit ContextGuard(Pcsc& inner, std::chrono::milliseconds slice = std::chrono::milliseconds(500));

    // Contexts currently remembered.
    std::size_t known_contexts() const;
    // Forgets `connection` as a user; cancels and releases the contexts it leaves without users.
    // Returns how many were released.
    std::size_t end_connection(uint64_t connection);

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

private:
    struct Entry {
        std::set<uint64_t> users;     // live connections that made or used the context
        bool cancel_pending = false;  // a cancel arrived while a sliced wait may be between slices
    };

    void note_context(SCARDCONTEXT context);
    void note_card(SCARDHANDLE card);
    void forget(SCARDCONTEXT context);
    // Clears (false) or takes (true) the pending-cancel mark of a context.
    bool take_cancel(SCARDCONTEXT context);

    Pcsc& inner_;
    std::chrono::milliseconds slice_;
    mutable std::mutex mutex_;  // guards the two maps; never held while PC/SC runs
    std::unordered_map<SCARDCONTEXT, Entry> contexts_;
    std::unordered_map<SCARDHANDLE, SCARDCONTEXT> cards_;
};

}  // namespace kx_agent::smartcard
