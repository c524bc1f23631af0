// Context calls against the real pcscd.
#include <gtest/gtest.h>
#include <PCSC/winscard.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "virtual_card.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

TEST(ContextCallsOnPcscd, EstablishValidateReleaseValidate) {
    Bytes reply =
        relay(call_message(ioctl::establishContext, Ndr().u32(SCARD_SCOPE_SYSTEM).data()));
    ASSERT_EQ(reply.size(), 62u);
    ASSERT_EQ(return_code(reply), 0u);
    Bytes reference(reply.end() - 8, reply.end());

    auto context_call = [&](uint32_t code) {
        return relay(call_message(code, Ndr().u32(8).u32(0x00020000).array(reference).data()));
    };
    EXPECT_EQ(return_code(context_call(ioctl::isValidContext)), 0u);
    EXPECT_EQ(return_code(context_call(ioctl::releaseContext)), 0u);
    EXPECT_EQ(return_code(context_call(ioctl::isValidContext)),
              static_cast<uint32_t>(SCARD_E_INVALID_HANDLE));
}

TEST(ContextCallsOnPcscd, NoServiceIsReportedInTheZeroedReturn) {
    // pcsc-lite finds its daemon through PCSCLITE_CSOCK_NAME; nothing listens on this path. The
    // library reads the variable once per process, so the check runs in a child process.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("PCSCLITE_CSOCK_NAME", "/tmp/tolvane-no-pcscd-here.comm", 1);
        Bytes reply =
            relay(call_message(ioctl::establishContext, Ndr().u32(SCARD_SCOPE_SYSTEM).data()));
        // A failure relay() reports here is the child's: it counts through the exit status.
        _exit(!testing::Test::HasFailure() && reply.size() == 54 && return_code(reply) == 0x8010001D
                  ? 0
                  : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kx_agent::test
