// SCARD_IOCTL_CONTROL and SCARD_IOCTL_GETATTRIB against the recording fake.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "fake_pcsc.h"
#include "truncated_calls.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kControl = 0x000900D4;
constexpr uint32_t kGetAttrib = 0x000900D8;
constexpr uint32_t kContextReferent = 0x00020030;  // comes back as pvOutBuffer

// The REDIR_SCARDHANDLE of both calls: fixed fields and deferred arrays.
struct CardHandle {
    uint32_t cbContext = 8;
    std::optional<uint32_t> contextCount;
    uint64_t context = 0xA001;
    uint32_t cbHandle = 8;
    std::optional<uint32_t> handleCount;
    uint64_t handle = 0x00010002;

    void fixed(Ndr& n) const {
        n.u32(cbContext).u32(kContextReferent).u32(cbHandle).u32(0x00020002);
    }
    void deferred(Ndr& n) const {
        n.u32(contextCount.value_or(cbContext)).u64(context);
        n.u32(handleCount.value_or(cbHandle)).u64(handle);
    }
};

struct ControlCall {
    CardHandle card;
    uint32_t dwControlCode = 0x42000D48;
    uint32_t cbInBufferSize = 3;
    Bytes input = from_hex("01 02 03");
    uint32_t cbOutBufferSize = 16;

    Bytes message() const {
        Ndr n;
        card.fixed(n);
        n.u32(dwControlCode).u32(cbInBufferSize).u32(cbInBufferSize > 0 ? 0x00020004 : 0);
        n.u32(cbOutBufferSize == 0).u32(cbOutBufferSize);
        card.deferred(n);
        if (cbInBufferSize > 0) n.array(input);
        return call_message(kControl, n.data());
    }
};

struct GetAttribCall {
    CardHandle card;
    uint32_t dwAttrId = 0x00090303;
    uint32_t fpbAttrIsNULL = 0;
    uint32_t cbAttrLen = 32;

    Bytes message() const {
        Ndr n;
        card.fixed(n);
        n.u32(dwAttrId).u32(fpbAttrIsNULL).u32(cbAttrLen);
        card.deferred(n);
        return call_message(kGetAttrib, n.data());
    }
};

// The fake for control calls: also records whether the input was a null pointer. The fake
// copies its output with memcpy even when it has no bytes, so the empty output gets a real
// address to copy from.
class ControlPcsc : public FakePcsc {
public:
    ControlPcsc() { control_out.reserve(1); }

    bool input_null = false;
    LONG control(SCARDHANDLE card, DWORD control_code, const void* in, DWORD in_length, void* out,
                 DWORD out_length, DWORD* bytes_returned) override {
        input_null = in == nullptr;
        return FakePcsc::control(card, control_code, in, in_length, out, out_length,
                                 bytes_returned);
    }
};

std::string head(uint32_t objectBufferLength) {
    Bytes h = Ndr().bytes({3, 3, 0x72, 0x44, 0x43, 0x49}).u32(1).u32(2).u32(0)
                  .u32(objectBufferLength + 16).bytes(from_hex("01 10 08 00 CC CC CC CC"))
                  .u32(objectBufferLength).u32(0).data();
    return to_hex(h);
}

TEST(Control, OutputIsPaddedToEightBytes) {
    struct Case {
        Bytes out;
        uint32_t object_length;
        const char* body;  // from ReturnCode on
    };
    const Case cases[] = {
        {from_hex("A1 A2 A3 A4 A5"), 24,
         "00 00 00 00 05 00 00 00 30 00 02 00 05 00 00 00 A1 A2 A3 A4 A5 00 00 00"},
        {Bytes(8, 0xB8), 24,
         "00 00 00 00 08 00 00 00 30 00 02 00 08 00 00 00 B8 B8 B8 B8 B8 B8 B8 B8"},
        {{}, 16, "00 00 00 00 00 00 00 00 30 00 02 00 00 00 00 00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out.size());
        ControlPcsc fake;
        fake.control_out.assign(c.out.begin(), c.out.end());
        Bytes reply = relay(ControlCall{}.message());
        EXPECT_EQ(reply.size(), 38u + c.object_length);
        EXPECT_EQ(to_hex(reply), head(c.object_length) + " " + c.body);
    }
}

TEST(Control, ArgumentsReachPcscAsSent) {
    struct Case {
        const char* name;
        std::function<void(ControlCall&)> change;
        bool input_null;
        std::vector<uint64_t> args;  // control code, input length, output passed, output length
        Bytes data;
    };
    const Case cases[] = {
        {"plain", [](ControlCall&) {}, false, {0x42000D48, 3, 1, 16}, from_hex("01 02 03")},
        {"high code bits", [](ControlCall& c) { c.dwControlCode = 0x80000001; }, false,
         {0x80000001, 3, 1, 16}, from_hex("01 02 03")},
        // The array's own count is the input length.
        {"input count above cbInBufferSize",
         [](ControlCall& c) { c.cbInBufferSize = 4; c.input = from_hex("01 02 03 04 05 06"); },
         false, {0x42000D48, 6, 1, 16}, from_hex("01 02 03 04 05 06")},
        {"no input", [](ControlCall& c) { c.cbInBufferSize = 0; }, true, {0x42000D48, 0, 1, 16},
         {}},
        {"no output", [](ControlCall& c) { c.cbOutBufferSize = 0; }, false,
         {0x42000D48, 3, 0, 0}, from_hex("01 02 03")},
        // pcsc-lite refuses an output buffer over 65548 bytes, so it is offered no more.
        {"output capped", [](ControlCall& c) { c.cbOutBufferSize = 100000; }, false,
         {0x42000D48, 3, 1, 65548}, from_hex("01 02 03")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ControlPcsc fake;
        ControlCall call;
        c.change(call);
        EXPECT_EQ(return_code(relay(call.message())), 0u);
        ASSERT_EQ(fake.count("control"), 1u);
        EXPECT_EQ(fake.last("control")->target, 0x00010002u);
        EXPECT_EQ(fake.last("control")->args, c.args);
        EXPECT_EQ(fake.last("control")->data, c.data);
        EXPECT_EQ(fake.input_null, c.input_null);
    }
}

TEST(Control, LyingByteCountSendsOnlyTheBuffer) {
    ControlPcsc fake;
    fake.control_out = from_hex("A1 A2 A3 A4 A5");
    fake.reported_length = 100;
    Bytes reply = relay(ControlCall{}.message());
    ASSERT_EQ(return_code(reply), 0u);
    EXPECT_EQ(u32_at(reply, 42), 16u);
    EXPECT_EQ(reply.size(), 38u + 16 + 16);

    ControlCall no_output;
    no_output.cbOutBufferSize = 0;
    reply = relay(no_output.message());
    EXPECT_EQ(to_hex(reply), head(16) + " 00 00 00 00 00 00 00 00 30 00 02 00 00 00 00 00");
}

TEST(GetAttrib, AttributeOrItsLength) {
    struct Case {
        const char* name;
        uint32_t fpbAttrIsNULL;
        uint32_t cbAttrLen;
        std::vector<uint64_t> args;  // attribute id, buffer passed, length passed
        const char* bytes;           // the ten attribute bytes as answered
    };
    const char* zeros = "00 00 00 00 00 00 00 00 00 00";
    const char* value = "01 02 03 04 05 06 07 08 09 0A";
    const Case cases[] = {
        {"length only", 1, 32, {0x00090303, 0, 0}, zeros},
        {"value", 0, 32, {0x00090303, 1, 32}, value},
        // SCARD_AUTOALLOCATE: the length, then the attribute in a buffer of that length.
        {"client's autoallocate", 0, 0xFFFFFFFF, {0x00090303, 1, 10}, value},
        {"zero length", 0, 0, {0x00090303, 0, 0}, zeros},
        // pcsc-lite refuses a buffer over 264 bytes; a larger one is no error.
        {"length capped", 0, 100000, {0x00090303, 1, 264}, value},
        {"1 KiB", 0, 1024, {0x00090303, 1, 264}, value},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePcsc fake;
        GetAttribCall call;
        call.fpbAttrIsNULL = c.fpbAttrIsNULL;
        call.cbAttrLen = c.cbAttrLen;
        Bytes reply = relay(call.message());
        EXPECT_EQ(to_hex(reply), head(28) + " 00 00 00 00 0A 00 00 00 80 00 02 00 0A 00 00 00 " +
                                     c.bytes + " 00 00");
        ASSERT_EQ(fake.count("get_attrib"), c.cbAttrLen == 0xFFFFFFFF ? 2u : 1u);
        EXPECT_EQ(fake.last("get_attrib")->target, 0x00010002u);
        EXPECT_EQ(fake.last("get_attrib")->args, c.args);
    }
}

TEST(GetAttrib, IdentifierReachesPcscBitForBit) {
    FakePcsc fake;
    for (uint32_t id : {0x7FFF0003u, 0x80000001u, 0x00010100u}) {
        GetAttribCall call;
        call.dwAttrId = id;
        relay(call.message());
        EXPECT_EQ(fake.last("get_attrib")->args[0], id);
    }
}

TEST(GetAttrib, LyingLengthSendsOnlyTheBuffer) {
    FakePcsc fake;
    fake.reported_length = 100;
    Bytes reply = relay(GetAttribCall{}.message());
    ASSERT_EQ(return_code(reply), 0u);
    EXPECT_EQ(u32_at(reply, 42), 32u);
    EXPECT_EQ(reply.size(), 38u + 16 + 32);
    EXPECT_EQ(reply[54], 0x01);

    // With no buffer, at most the largest attribute of zero bytes.
    fake.reported_length = 0xFFFFFFFF;
    GetAttribCall length_only;
    length_only.fpbAttrIsNULL = 1;
    reply = relay(length_only.message());
    EXPECT_EQ(u32_at(reply, 42), 65536u);
    EXPECT_EQ(reply.size(), 38u + 16 + 65536);
}

TEST(ControlAndGetAttrib, RefusalsAndFailures) {
    struct Case {
        const char* name;
        std::function<void(CardHandle&)> change;
        uint32_t code;
        bool reaches_pcsc;
    };
    const Case cases[] = {
        {"context count differs", [](CardHandle& h) { h.contextCount = 4; }, 0x80100011, false},
        {"handle count differs", [](CardHandle& h) { h.handleCount = 4; }, 0x80100011, false},
        {"zero handle", [](CardHandle& h) { h.handle = 0; }, 0x80100003, false},
        // Only the handle is judged by the agent; the context value goes nowhere.
        {"zero context", [](CardHandle& h) { h.context = 0; }, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ControlPcsc fake;
        ControlCall control;
        GetAttribCall attrib;
        c.change(control.card);
        c.change(attrib.card);
        for (const Bytes& message : {control.message(), attrib.message()}) {
            Bytes reply = relay(message);
            EXPECT_EQ(return_code(reply), c.code);
            if (c.code != 0) {
                EXPECT_EQ(reply.size(), 46u);
            }
        }
        EXPECT_EQ(fake.calls.size(), c.reaches_pcsc ? 2u : 0u);
    }

    // PC/SC's own codes come back in a bare Long_Return: unchanged, but for pcsc-lite's
    // SCARD_E_UNSUPPORTED_FEATURE, which the client knows as 0x80100022.
    FakePcsc fake;
    fake.results["control"] = static_cast<LONG>(0x8010001F);
    fake.results["get_attrib"] = static_cast<LONG>(0x80100069);
    for (auto [message, code] : {std::pair{ControlCall{}.message(), 0x80100022u},
                                 std::pair{GetAttribCall{}.message(), 0x80100069u}}) {
        Bytes reply = relay(message);
        ASSERT_EQ(reply.size(), 46u);
        EXPECT_EQ(return_code(reply), code);
        EXPECT_EQ(u32_at(reply, 42), 0u);
    }
    // A buffer too small for the attribute: the fake answers as pcsc-lite does.
    FakePcsc small;
    GetAttribCall call;
    call.cbAttrLen = 4;
    EXPECT_EQ(return_code(relay(call.message())),
              static_cast<uint32_t>(SCARD_E_INSUFFICIENT_BUFFER));
}

TEST(ControlAndGetAttrib, SizesTheMessageDoesNotHoldAreRefused) {
    FakePcsc fake;
    ControlCall control;
    Bytes message = control.message();
    // Input count 0xFFFFFFFF in place of 3: far beyond the message.
    message[message.size() - 7] = 0xFF;
    message[message.size() - 6] = 0xFF;
    message[message.size() - 5] = 0xFF;
    message[message.size() - 4] = 0xFF;
    Bytes reply = relay(message);
    ASSERT_EQ(reply.size(), 46u);
    EXPECT_EQ(return_code(reply), 0x80100004u);
    EXPECT_TRUE(fake.calls.empty());
}

// Every prefix of a valid call is answered SCARD_E_INVALID_PARAMETER without reaching PC/SC.
TEST(ControlAndGetAttrib, TruncatedCallsNeverReachPcsc) {
    ControlCall no_input;
    no_input.cbInBufferSize = 0;
    for (const Bytes& full :
         {ControlCall{}.message(), no_input.message(), GetAttribCall{}.message()}) {
        EXPECT_EQ(prefixes_not_refused(full), std::vector<std::size_t>{}) << to_hex(full);
    }
}

}  // namespace
}  // namespace kx_agent::test
