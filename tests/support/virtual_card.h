#pragma once
// The virtual card of the integration tests: vsmartcard's vicc, inserted into a reader of the
// virtual reader driver (vpcd) by starting it and removed by stopping it.
#include <string>
#include <sys/types.h>

namespace kx_agent::test {

inline constexpr const char* kFirstReader = "Virtual PCD 00 00";
inline constexpr const char* kSecondReader = "Virtual PCD 00 01";

// Holding a VirtualCard also holds a machine-wide lock (/tmp/tolvane-card.lock), so that test
// processes that run at the same time never insert or remove each other's card.
class VirtualCard {
public:
    // port 35963 is the first reader, 35964 the second.
    explicit VirtualCard(int port = 35963);
    ~VirtualCard();
    VirtualCard(const VirtualCard&) = delete;
    VirtualCard& operator=(const VirtualCard&) = delete;

    // Starts vicc and waits (at most 15 s) until PC/SC sees the card; false if it did not.
    bool insert();
    // Stops vicc and waits until PC/SC sees the reader empty.
    void remove();
    bool inserted() const { return pid_ > 0; }
    const char* reader() const { return port_ == 35963 ? kFirstReader : kSecondReader; }

private:
    int port_;
    pid_t pid_ = -1;
    int lock_fd_ = -1;
};

// True when pcscd answers and shows the virtual readers.
bool pcsc_stack_available();
// Waits (at most `timeout_ms`) until the reader's card presence is `present`.
bool wait_for_card(const char* reader, bool present, int timeout_ms);

}  // namespace kx_agent::test
