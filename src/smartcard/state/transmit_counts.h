#pragma once
// How many transmits have completed on each reader since its card was inserted, for
// SCARD_IOCTL_GETTRANSMITCOUNT: pcsc-lite keeps no such count, and Windows' count is the
// reader's, not a handle's.
//
// A card handle is placed on its reader when it is connected, with the number of the card's
// insertion: the reader's event counter (the upper 16 bits of a reader state's dwEventState,
// which pcsc-lite and winscard both keep), read once at connect and at reconnect, never on a
// transmit. A handle that comes with another insertion than the reader's last one starts the
// reader's count again. A transmit on a handle counts on its reader; a handle the table does not
// hold has no count. The table holds at most `kMaxHandles` handles (a client that never
// disconnects cannot grow it without bound; when it is full the handle placed first is
// forgotten) and the readers of its handles, with at most `kMaxIdleReaders` more readers whose
// handles have all gone, kept so that a reader's count survives a disconnect. Which context a
// handle belongs to is the record's (smartcard/pcsc/context_guard.h): a released context's
// handles are forgotten here by it.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kx_agent::smartcard {

class TransmitCounts {
public:
    static constexpr std::size_t kMaxHandles = 4096;
    static constexpr std::size_t kMaxIdleReaders = 64;

    explicit TransmitCounts(std::size_t max_handles = kMaxHandles) : max_handles_(max_handles) {}

    // `card` is connected to `reader`, whose card's insertion is `insertion` (nullopt when it
    // could not be read: the reader's last one is assumed).
    void connected(uint64_t card, std::string reader, std::optional<uint32_t> insertion);
    std::optional<std::string> readerOf(uint64_t card) const;
    void count(uint64_t card);
    // The reader's count; nullopt for a handle the table does not hold.
    std::optional<uint32_t> get(uint64_t card) const;
    // The handle is gone (disconnected, or its context released); its reader keeps its count.
    void forget(uint64_t card);
    std::size_t handles() const;
    std::size_t readers() const;

private:
    struct Reader {
        std::optional<uint32_t> insertion;
        uint32_t transmits = 0;
        std::size_t handles = 0;
    };
    using Readers = std::unordered_map<std::string, Reader>;
    struct Handle {
        Readers::value_type* reader;  // in readers_, which keeps a reader while it has handles
        uint64_t placed;              // order of placing, for the eviction of the oldest
    };

    void dropHandle(std::unordered_map<uint64_t, Handle>::iterator handle);

    std::size_t max_handles_;
    mutable std::mutex mutex_;
    std::unordered_map<uint64_t, Handle> handles_;
    Readers readers_;
    std::size_t idle_ = 0;  // readers without handles
    uint64_t next_ = 0;
};

}  // namespace kx_agent::smartcard
