// SCARD_IOCTL_CONTROL and SCARD_IOCTL_GETATTRIB against the recording fake.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>

#include "fake_pcsc.h"
#include "truncated_calls.h"
#include "wire.h"

namespace kx_agent::test {
namespace {

constexpr uint32_t kControl = ioctl::control;
constexpr uint32_t kGetAttrib = ioctl::getAttrib;
constexpr uint32_t kContextReferent = 0x00020030;

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
    std::optional<uint32_t> pvInBuffer;  // a referent when there is input
    std::optional<uint32_t> inputCount;  // the input's size

    Bytes message() const {
        Ndr n;
        card.fixed(n);
        uint32_t referent = pvInBuffer.value_or(cbInBufferSize > 0 ? 0x00020004 : 0);
        n.u32(dwControlCode).u32(cbInBufferSize).u32(referent);
        n.u32(cbOutBufferSize == 0).u32(cbOutBufferSize);
        card.deferred(n);
        if (referent != 0)
            n.u32(inputCount.value_or(static_cast<uint32_t>(input.size()))).bytes(input);
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
    Bytes h = Ndr()
                  .bytes({3, 3, 0x72, 0x44, 0x43, 0x49})
                  .u32(1)
                  .u32(2)
                  .u32(0)
                  .u32(objectBufferLength + 16)
                  .bytes(from_hex("01 10 08 00 CC CC CC CC"))
                  .u32(objectBufferLength)
                  .u32(0)
                  .data();
    return to_hex(h);
}

// Control_Return and GetAttrib_Return zeroed: the code, a count of 0 and a null pointer, padded
// to 16 bytes.
std::string zeroed_reply(uint32_t code) {
    return head(16) + " " + to_hex(Ndr().u32(code).zeros(12).data());
}

TEST(Control, OutputIsPaddedToEightBytes) {
    struct Case {
        Bytes out;
        uint32_t object_length;
        const char* body;  // from ReturnCode on
    };
    const Case cases[] = {
        {from_hex("A1 A2 A3 A4 A5"), 24,
         "00 00 00 00 05 00 00 00 00 00 02 00 05 00 00 00 A1 A2 A3 A4 A5 00 00 00"},
        {Bytes(8, 0xB8), 24,
         "00 00 00 00 08 00 00 00 00 00 02 00 08 00 00 00 B8 B8 B8 B8 B8 B8 B8 B8"},
        {{}, 16, "00 00 00 00 00 00 00 00 00 00 02 00 00 00 00 00"},
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
        {"high code bits",
         [](ControlCall& c) { c.dwControlCode = 0x80000001; },
         false,
         {0x80000001, 3, 1, 16},
         from_hex("01 02 03")},
        // The array's own count is the input length.
        {"input count above cbInBufferSize",
         [](ControlCall& c) {
             c.cbInBufferSize = 4;
             c.input = from_hex("01 02 03 04 05 06");
         },
         false,
         {0x42000D48, 6, 1, 16},
         from_hex("01 02 03 04 05 06")},
        {"no input",
         [](ControlCall& c) { c.cbInBufferSize = 0; },
         true,
         {0x42000D48, 0, 1, 16},
         {}},
        {"no output",
         [](ControlCall& c) { c.cbOutBufferSize = 0; },
         false,
         {0x42000D48, 3, 0, 0},
         from_hex("01 02 03")},
        // pcsc-lite refuses an output buffer over 65548 bytes, so it is offered no more.
        {"output capped",
         [](ControlCall& c) { c.cbOutBufferSize = 100000; },
         false,
         {0x42000D48, 3, 1, 65548},
         from_hex("01 02 03")},
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
    EXPECT_EQ(to_hex(reply), head(16) + " 00 00 00 00 00 00 00 00 00 00 02 00 00 00 00 00");
}

// A length query is answered with cbAttrLen and a null pbAttr ([MS-RDPESC] 2.2.2.21).
TEST(GetAttrib, AttributeOrItsLength) {
    struct Case {
        const char* name;
        uint32_t fpbAttrIsNULL;
        uint32_t cbAttrLen;
        std::vector<uint64_t> args;  // attribute id, buffer passed, length passed
    };
    const std::string length_only = head(16) + " 00 00 00 00 0A 00 00 00 00 00 00 00 00 00 00 00";
    const std::string value = head(32) +
                              " 00 00 00 00 0A 00 00 00 00 00 02 00 0A 00 00 00 "
                              "01 02 03 04 05 06 07 08 09 0A 00 00 00 00 00 00";
    const Case cases[] = {
        {"length only", 1, 32, {0x00090303, 0, 0}},
        {"value", 0, 32, {0x00090303, 1, 32}},
        // SCARD_AUTOALLOCATE: the length, then the attribute in a buffer of that length.
        {"client's autoallocate", 0, 0xFFFFFFFF, {0x00090303, 1, 10}},
        {"zero length", 0, 0, {0x00090303, 0, 0}},
        // pcsc-lite refuses a buffer over 264 bytes; a larger one is no error.
        {"length capped", 0, 100000, {0x00090303, 1, 264}},
        {"1 KiB", 0, 1024, {0x00090303, 1, 264}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePcsc fake;
        GetAttribCall call;
        call.fpbAttrIsNULL = c.fpbAttrIsNULL;
        call.cbAttrLen = c.cbAttrLen;
        Bytes reply = relay(call.message());
        EXPECT_EQ(to_hex(reply), c.args[1] == 0 ? length_only : value);
        ASSERT_EQ(fake.count("get_attrib"), c.cbAttrLen == 0xFFFFFFFF ? 2u : 1u);
        EXPECT_EQ(fake.last("get_attrib")->target, 0x00010002u);
        EXPECT_EQ(fake.last("get_attrib")->args, c.args);
    }
}

// The attributes that Windows' resource manager answers itself come from the agent when the
// driver does not know them: the reader's name and the card's ATR and protocol from
// SCardStatus, the channel as a USB one.
TEST(GetAttrib, ResourceManagerAttributesWhenTheDriverRefuses) {
    auto value = [](const Bytes& v) {
        auto n = static_cast<uint32_t>(v.size());
        Bytes body = Ndr().u32(0).u32(n).u32(0x00020000).u32(n).bytes(v).pad(8).data();
        return head(static_cast<uint32_t>(body.size())) + " " + to_hex(body);
    };
    auto length = [](uint32_t n) {
        return head(16) + " " + to_hex(Ndr().u32(0).u32(n).zeros(8).data());
    };
    const Bytes name_a = from_hex("52 65 61 64 65 72 20 41 00");  // "Reader A" and its NUL
    const Bytes name_w = from_hex("52 00 65 00 61 00 64 00 65 00 72 00 20 00 41 00 00 00");
    constexpr uint32_t kNameA = 0x7FFF0003, kNameW = 0x7FFF0005, kAtr = 0x00090303,
                       kProtocol = 0x00080201, kChannel = 0x00020110;
    constexpr LONG kUnsupported = static_cast<LONG>(0x80100022);
    constexpr LONG kNotTransacted = static_cast<LONG>(0x80100016);
    constexpr LONG kRemoved = static_cast<LONG>(0x80100069);
    constexpr LONG kInsufficient = static_cast<LONG>(0x80100008);
    struct Case {
        const char* name;
        uint32_t id;
        uint32_t fpbAttrIsNULL;
        uint32_t cbAttrLen;
        LONG driver;  // the driver's answer
        std::string reply;
        bool asks_status = true;
        LONG status = SCARD_S_SUCCESS;
        DWORD protocol = SCARD_PROTOCOL_T1;
    };
    const Case cases[] = {
        {"friendly name A", kNameA, 0, 64, kUnsupported, value(name_a)},
        {"friendly name W", kNameW, 0, 64, kUnsupported, value(name_w)},
        {"ATR, older pcsc-lite's refusal", kAtr, 0, 64, kNotTransacted,
         value(from_hex("3B 80 80 01 01"))},
        {"protocol T=1", kProtocol, 0, 4, kUnsupported, value(from_hex("02 00 00 00"))},
        {"protocol raw", kProtocol, 0, 4, kUnsupported, value(from_hex("00 00 01 00")), true,
         SCARD_S_SUCCESS, SCARD_PROTOCOL_RAW},
        {"channel", kChannel, 0, 4, kUnsupported, value(from_hex("00 00 20 00")), false},
        {"length query", kNameW, 1, 64, kUnsupported, length(18)},
        {"length 0", kAtr, 0, 0, kUnsupported, length(5)},
        {"autoallocate", kAtr, 0, 0xFFFFFFFF, kUnsupported, value(from_hex("3B 80 80 01 01"))},
        {"buffer too small", kNameA, 0, 8, kUnsupported, zeroed_reply(0x80100008)},
        // pcsc-lite's own answer to the name, whatever the buffer.
        {"pcsc-lite's name refused", kNameA, 0, 64, kInsufficient, value(name_a)},
        {"pcsc-lite's name refused, length query", kNameA, 1, 0, kInsufficient, length(9)},
        {"pcsc-lite's name refused, buffer too small", kNameA, 0, 8, kInsufficient,
         zeroed_reply(0x80100008)},
        {"an attribute the agent does not answer", 0x00010100, 0, 64, kUnsupported,
         zeroed_reply(0x80100022), false},
        {"the driver's other failures stand", kAtr, 0, 64, kRemoved, zeroed_reply(0x80100069),
         false},
        {"status fails", kAtr, 0, 64, kUnsupported, zeroed_reply(0x80100069), true, kRemoved},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePcsc fake;
        fake.results["get_attrib"] = c.driver;
        if (c.status != SCARD_S_SUCCESS) fake.results["status"] = c.status;
        fake.active_protocol = c.protocol;
        GetAttribCall call;
        call.dwAttrId = c.id;
        call.fpbAttrIsNULL = c.fpbAttrIsNULL;
        call.cbAttrLen = c.cbAttrLen;
        EXPECT_EQ(to_hex(relay(call.message())), c.reply);
        EXPECT_EQ(fake.count("get_attrib"), 1u);
        EXPECT_EQ(fake.count("status"), c.asks_status ? 1u : 0u);
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

    // With no buffer, at most the largest attribute, as a number only.
    fake.reported_length = 0xFFFFFFFF;
    GetAttribCall length_only;
    length_only.fpbAttrIsNULL = 1;
    reply = relay(length_only.message());
    EXPECT_EQ(u32_at(reply, 42), 65536u);
    EXPECT_EQ(reply.size(), 38u + 16);
}

Bytes control_with(auto change) {
    ControlCall call;
    change(call);
    return call.message();
}
Bytes attrib_with(auto change) {
    GetAttribCall call;
    change(call);
    return call.message();
}

// Every failure is the call's zeroed _Return with its code. PC/SC's own codes pass unchanged,
// but for pcsc-lite's SCARD_E_UNSUPPORTED_FEATURE, which the client knows as 0x80100022.
TEST(ControlAndGetAttrib, RefusalsAndFailures) {
    struct Case {
        const char* name;
        Bytes message;
        std::map<std::string, LONG> results;  // scripted PC/SC results
        uint32_t code;
        std::size_t pcsc_calls;
    };
    const Case cases[] = {
        {"Control, context count differs",
         control_with([](ControlCall& c) { c.card.contextCount = 4; }),
         {},
         0x80100011,
         0},
        {"GetAttrib, context count differs",
         attrib_with([](GetAttribCall& c) { c.card.contextCount = 4; }),
         {},
         0x80100011,
         0},
        {"Control, handle count differs",
         control_with([](ControlCall& c) { c.card.handleCount = 4; }),
         {},
         0x80100011,
         0},
        {"GetAttrib, handle count differs",
         attrib_with([](GetAttribCall& c) { c.card.handleCount = 4; }),
         {},
         0x80100011,
         0},
        {"Control, zero handle",
         control_with([](ControlCall& c) { c.card.handle = 0; }),
         {},
         0x80100003,
         0},
        {"GetAttrib, zero handle",
         attrib_with([](GetAttribCall& c) { c.card.handle = 0; }),
         {},
         0x80100003,
         0},
        {"Control, input count beyond the message",
         control_with([](ControlCall& c) { c.inputCount = 0xFFFFFFFF; }),
         {},
         0x80100004,
         0},
        {"Control, input announced but not sent",
         control_with([](ControlCall& c) { c.pvInBuffer = 0; }),
         {},
         0x80100004,
         0},
        // [range(0, 66560)] of cbInBufferSize, and of the input the array carries.
        {"Control, input of 66561 bytes",
         control_with([](ControlCall& c) {
             c.cbInBufferSize = 66561;
             c.input = Bytes(66561, 1);
         }),
         {},
         0x80100004,
         0},
        {"Control, an input array of 66561 bytes",
         control_with([](ControlCall& c) {
             c.input = Bytes(66561, 1);
             c.inputCount = 66561;
         }),
         {},
         0x80100004,
         0},
        {"Control, card removed",
         ControlCall{}.message(),
         {{"control", 0x80100069}},
         0x80100069,
         1},
        {"GetAttrib, card removed",
         GetAttribCall{}.message(),
         {{"get_attrib", 0x80100069}},
         0x80100069,
         1},
        // A buffer too small for the attribute: the fake answers as pcsc-lite does.
        {"GetAttrib, buffer too small",
         attrib_with([](GetAttribCall& c) { c.cbAttrLen = 4; }),
         {},
         0x80100008,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ControlPcsc fake;
        fake.results = c.results;
        EXPECT_EQ(to_hex(relay(c.message)), zeroed_reply(c.code));
        EXPECT_EQ(fake.calls.size(), c.pcsc_calls);
    }

    // Only the handle is judged by the agent; the context value goes nowhere.
    ControlPcsc fake;
    EXPECT_EQ(return_code(relay(control_with([](ControlCall& c) { c.card.context = 0; }))), 0u);
    EXPECT_EQ(return_code(relay(attrib_with([](GetAttribCall& c) { c.card.context = 0; }))), 0u);
    EXPECT_EQ(fake.calls.size(), 2u);
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
