#pragma once
// The check that a call cut short is refused: every prefix of a valid call, from the end of its
// CompletionId on, must be answered with a 46-byte Long_Return carrying
// SCARD_E_INVALID_PARAMETER and must not reach PC/SC.
#include <cstddef>
#include <vector>

#include "fake_pcsc.h"
#include "wire.h"

namespace kx_agent::test {

// The prefix lengths of `full` that were not refused that way; empty when all were.
inline std::vector<std::size_t> prefixes_not_refused(const Bytes& full) {
    std::vector<std::size_t> wrong;
    for (std::size_t n = 14; n < full.size(); ++n) {
        FakePcsc fake;
        Bytes reply = relay(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n)));
        if (reply.size() != 46 || return_code(reply) != 0x80100004 || !fake.calls.empty())
            wrong.push_back(n);
    }
    return wrong;
}

}  // namespace kx_agent::test
