#pragma once
// How many transmits have completed on each card handle, for SCARD_IOCTL_GETTRANSMITCOUNT:
// pcsc-lite keeps no such count. A handle's count is dropped when it is disconnected; the
// table holds at most `kMaxHandles` handles (a client that never disconnects cannot grow it
// without bound), and when it is full the handle counted first is forgotten.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace kx_agent::smartcard {

class TransmitCounts {
public:
    static constexpr std::size_t kMaxHandles = 4096;

    explicit TransmitCounts(std::size_t max_handles = kMaxHandles) : max_handles_(max_handles) {}

    void count(uint64_t card);
    uint32_t get(uint64_t card) const;
    void forget(uint64_t card);
    std::size_t handles() const;

private:
    struct Entry {
        uint32_t transmits;
        uint64_t first_seen;
    };

    std::size_t max_handles_;
    mutable std::mutex mutex_;
    std::unordered_map<uint64_t, Entry> counts_;
    uint64_t next_ = 0;
};

// The counts the call handlers use.
TransmitCounts& transmit_counts();

}  // namespace kx_agent::smartcard
