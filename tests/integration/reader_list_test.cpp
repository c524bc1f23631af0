// SCARD_IOCTL_LISTREADERSA against the real pcscd and the virtual readers.
#include <gtest/gtest.h>
#include <PCSC/winscard.h>

#include <string>

#include "virtual_card.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kEstablish = ioctl::establishContext;
constexpr uint32_t kRelease = ioctl::releaseContext;
constexpr uint32_t kListReaders = ioctl::listReadersA;

class ReaderListOnPcscd : public testing::Test {
protected:
    void SetUp() override {
        Bytes reply = relay(call_message(kEstablish, Ndr().u32(SCARD_SCOPE_SYSTEM).data()));
        ASSERT_EQ(reply.size(), 62u);
        ASSERT_EQ(return_code(reply), 0u);
        reference_.assign(reply.end() - 8, reply.end());
    }
    void TearDown() override {
        if (!reference_.empty())
            relay(call_message(kRelease, Ndr().u32(8).u32(0x00020000).array(reference_).data()));
    }

    Bytes list(uint32_t fmszReadersIsNULL, uint32_t cchReaders) {
        return relay(call_message(kListReaders, Ndr()
                                                    .u32(8)
                                                    .u32(0x00020000)
                                                    .u32(0)
                                                    .u32(0)
                                                    .u32(fmszReadersIsNULL)
                                                    .u32(cchReaders)
                                                    .array(reference_)
                                                    .data()));
    }

    Bytes reference_;
};

// The multi-string of a successful reply.
std::string readers_of(const Bytes& reply) {
    uint32_t n = u32_at(reply, 42);
    EXPECT_EQ(u32_at(reply, 50), n);
    EXPECT_EQ(reply.size(), 38 + 16 + n + (8 - n % 8) % 8);
    return std::string(reply.begin() + 54, reply.begin() + 54 + n);
}

// The zeroed ListReaders_Return: cBytes 0 and a null msz, padded to 16.
Bytes zeroed(LONG code) {
    Bytes reply = from_hex(
        "03 03 72 44 43 49 01 00 00 00 02 00 00 00 00 00 00 00 20 00 00 00 "
        "01 10 08 00 CC CC CC CC 10 00 00 00 00 00 00 00");
    Bytes body = Ndr().u32(static_cast<uint32_t>(code)).zeros(12).data();
    reply.insert(reply.end(), body.begin(), body.end());
    return reply;
}

TEST_F(ReaderListOnPcscd, ClientAsksTheLengthThenGetsBothVirtualReaders) {
    Bytes lengthReply = list(1, 0);
    ASSERT_EQ(return_code(lengthReply), 0u);
    uint32_t n = u32_at(lengthReply, 42);
    std::string asked = readers_of(lengthReply);  // the names come with the length

    Bytes listReply = list(0, n);
    ASSERT_EQ(return_code(listReply), 0u);
    std::string names = readers_of(listReply);
    ASSERT_EQ(names.size(), n);
    EXPECT_EQ(asked, names);
    EXPECT_NE(names.find(std::string(kFirstReader) + '\0'), std::string::npos);
    EXPECT_NE(names.find(std::string(kSecondReader) + '\0'), std::string::npos);
    EXPECT_EQ(names.substr(names.size() - 2), std::string(2, '\0'));

    // A client that lets the service allocate gets the same list.
    Bytes autoReply = list(0, 0xFFFFFFFF);
    ASSERT_EQ(return_code(autoReply), 0u);
    EXPECT_EQ(readers_of(autoReply), names);

    // A buffer of 0 characters asks the length, read as deployed servers (xrdp) read it: they
    // skip cBytes and the msz pointer and take the conformant array's count as the length.
    Bytes zeroReply = list(0, 0);
    ASSERT_EQ(return_code(zeroReply), 0u);
    EXPECT_EQ(u32_at(zeroReply, 50), n);
    EXPECT_EQ(u32_at(zeroReply, 42), n);  // cBytes, as [MS-RDPESC] reads it
    EXPECT_EQ(readers_of(zeroReply), names);

    // A buffer one byte short is refused, in the zeroed ListReaders_Return.
    Bytes shortReply = list(0, n - 1);
    EXPECT_EQ(shortReply, zeroed(SCARD_E_INSUFFICIENT_BUFFER));

    // Without a context the list is the same ([MS-RDPESC] allows a null context here).
    Bytes noContext = relay(call_message(
        kListReaders, Ndr().u32(0).u32(0).u32(0).u32(0).u32(0).u32(0xFFFFFFFF).data()));
    ASSERT_EQ(return_code(noContext), 0u);
    EXPECT_EQ(readers_of(noContext), names);
}

TEST_F(ReaderListOnPcscd, ReleasedContextIsRefusedByPcsc) {
    relay(call_message(kRelease, Ndr().u32(8).u32(0x00020000).array(reference_).data()));
    Bytes reply = list(0, 1024);
    reference_.clear();
    EXPECT_EQ(reply, zeroed(SCARD_E_INVALID_HANDLE));
}

}  // namespace
}  // namespace kx_agent::test
