#pragma once
// The check that a call cut short is refused: every prefix of a valid call, from the end of its
// CompletionId on, must be answered with the call's own _Return, zeroed, carrying
// SCARD_E_INVALID_PARAMETER, and must not reach PC/SC.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "fake_pcsc.h"
#include "wire.h"

namespace kx_agent::test {

// The prefix lengths of `full` that were not refused that way; empty when all were.
inline std::vector<std::size_t> prefixes_not_refused(const Bytes& full) {
    std::vector<std::size_t> wrong;
    Bytes refused;
    for (std::size_t n = 14; n < full.size(); ++n) {
        FakePcsc fake;
        Bytes reply = relay(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n)));
        // The first prefix gives the call's zeroed _Return; every longer one must give it too.
        if (n == 14) refused = reply;
        bool zeroed =
            reply.size() >= 46 && return_code(reply) == 0x80100004 &&
            std::all_of(reply.begin() + 42, reply.end(), [](uint8_t b) { return b == 0; });
        if (!zeroed || reply != refused || !fake.calls.empty()) wrong.push_back(n);
    }
    return wrong;
}

}  // namespace kx_agent::test
