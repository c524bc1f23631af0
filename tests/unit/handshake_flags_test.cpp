// The handshake by which a client asks for replies in any order.
#include <gtest/gtest.h>

#include "server/process.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

TEST(Handshake, FlagsOfferedAreAnsweredWithThoseGranted) {
    struct Case {
        const char* message;
        const char* reply;
    };
    for (auto [message, reply] : {Case{"03 01", "03 02"},        // today's clients: unchanged
                                  Case{"03 01 01", "03 02 01"},  // replies in any order
                                  Case{"03 01 00", "03 02 00"},
                                  Case{"03 01 FF", "03 02 01"},  // unknown bits answered cleared
                                  Case{"03 01 FE", "03 02 00"}, Case{"03 01 01 77", "03 02 01"}}) {
        EXPECT_EQ(to_hex(relay(from_hex(message))), reply) << message;
    }
    const auto granted = [](const char* hex) {
        return server::granted_flags(smartcard::decode(from_hex(hex)));
    };
    EXPECT_EQ(granted("03 01"), std::nullopt);
    EXPECT_EQ(granted("03 01 03"), server::kRepliesInAnyOrder);
    EXPECT_EQ(granted("03 03 01"), std::nullopt);
    EXPECT_EQ(smartcard::decode(from_hex("03 03 00 00")).kind, server::MessageKind::unrecognised);
    EXPECT_EQ(smartcard::decode(from_hex("01 03")).kind, server::MessageKind::unrecognised);
}

}  // namespace
}  // namespace kx_agent::test
