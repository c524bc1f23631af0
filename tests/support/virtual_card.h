#pragma once
// The virtual card of the integration tests: vsmartcard's vicc, inserted into a reader of the
// virtual reader driver (vpcd) by starting it and removed by stopping it.
#include <gtest/gtest.h>
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
    // Whether the reader already held a card when insert() began: one this object did not put
    // there, which remove() cannot take out.
    bool found_a_card() const { return found_a_card_; }
    const char* reader() const { return port_ == 35963 ? kFirstReader : kSecondReader; }

private:
    int port_;
    pid_t pid_ = -1;
    int lock_fd_ = -1;
    bool found_a_card_ = false;
};

// Succeeds when the card's reader holds no card but the one `card` inserted. Otherwise it fails
// with a message that says so plainly: a virtual card left running on this machine (a stray
// vicc) stays in the reader, and a test that removes the card would fail for no fault of the
// code. Call it before relying on a removal.
testing::AssertionResult holds_no_foreign_card(const VirtualCard& card);

// True when pcscd answers and shows the virtual readers.
bool pcsc_stack_available();
// Waits (at most `timeout_ms`) until the reader's card presence is `present`.
bool wait_for_card(const char* reader, bool present, int timeout_ms);

}  // namespace kx_agent::test
