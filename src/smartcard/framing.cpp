// Outer framing of a relayed call, the reply head, and the dispatch of a call by its I/O control
// code: one table row per [MS-RDPESC] SCARD_IOCTL_ code (smartcard/calls/call.h, each family
// file lists its own) names the call, its handler (decoder, executor and _Return), its character
// form, how it is ordered beside the other calls of a connection and whether it returns at once.
#include <algorithm>
#include <array>
#include <cassert>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics.h"
#include "smartcard/calls/call.h"
#include "smartcard/wire/ndr.h"
#include "smartcard/smartcard.h"

namespace kx_agent::smartcard {
namespace {

constexpr uint16_t kComponentCore = 0x4472;       // RDPDR_CTYP_CORE
constexpr uint16_t kPacketIoCompletion = 0x4943;  // PAKID_CORE_DEVICE_IOCOMPLETION
constexpr std::size_t kDeviceIdOffset = 6;
constexpr std::size_t kCompletionIdOffset = 10;
constexpr std::size_t kOutputBufferLengthOffset = 18;
constexpr std::size_t kObjectBufferLengthOffset = 30;
// The prefix (2) and the reply head (36) in front of the object buffer: where the _Return's
// first field, ReturnCode, starts.
constexpr std::size_t kReplyHeadSize = 38;
constexpr std::size_t kReplyRoom = 256;

// Every [MS-RDPESC] SCARD_IOCTL_ code the relay knows: the rows of every family, in ascending
// order of their codes, gathered once.
std::vector<CallRow> gatherCalls() {
    constexpr std::array families = {
        contextCallRows,    readerListRows, statusChangeRows, locateCallRows,
        cardConnectionRows, cardStatusRows, cardQueryRows,    transmitRows,
        controlAttribRows,  cacheCallRows,  serviceCallRows,
    };
    std::vector<CallRow> calls;
    for (auto rows : families) calls.insert(calls.end(), rows().begin(), rows().end());
    std::ranges::sort(calls, {}, &CallRow::code);
    // A code listed by two families would answer by whichever sorted first.
    assert(std::ranges::adjacent_find(calls, {}, &CallRow::code) == calls.end());
    return calls;
}

const std::vector<CallRow>& calls() {
    static const std::vector<CallRow> table = gatherCalls();
    return table;
}

const CallRow* findCall(uint32_t code) {
    const auto& table = calls();
    auto it = std::ranges::lower_bound(table, code, {}, &CallRow::code);
    return it != table.end() && it->code == code ? &*it : nullptr;
}

// What follows CompletionId: the two NDR type headers (readTypeHeaders) and the object buffer
// holding the call. A Windows server sends
// SCARD_IOCTL_ACCESSSTARTEDEVENT without either ([MS-RDPESC] 2.2.2.30: "an uninitialized 4-byte
// buffer ... There is no corresponding serialized structure"), so a body of exactly 4 bytes is
// that call as it stands; the headered form is taken as well.
constexpr uint32_t kAccessStartedEvent = 0x000900E0;
constexpr std::size_t kBareAccessStartedSize = 4;

void skipTypeHeaders(uint32_t ioControlCode, DataView& request) {
    if (ioControlCode == kAccessStartedEvent && request.remaining() == kBareAccessStartedSize)
        return;
    readTypeHeaders(request);
}

// The reply's first bytes: the prefix (3, 3), the [MS-RDPEFS] device I/O completion head and the
// NDR type headers, with both lengths 0 for now. Written in one piece.
constexpr std::array<uint8_t, kReplyHeadSize> kReplyHead = {
    3, 3,                    // a reply to a call
    0x72, 0x44, 0x43, 0x49,  // RDPDR_CTYP_CORE, PAKID_CORE_DEVICE_IOCOMPLETION
    0, 0, 0, 0, 0, 0, 0, 0,  // DeviceId and CompletionId
    0, 0, 0, 0,              // IoStatus: the outcome travels in ReturnCode alone
    0, 0, 0, 0,              // OutputBufferLength
    // [MS-RPCE] 2.2.6.1 Common Type Header: version 1, little-endian, 8 bytes, filler.
    1, 0x10, 8, 0, 0xCC, 0xCC, 0xCC, 0xCC,
    // 2.2.6.2 Private Type Header: ObjectBufferLength and a zero filler.
    0, 0, 0, 0, 0, 0, 0, 0};
static_assert(kReplyHead[2] == (kComponentCore & 0xFF) && kReplyHead[3] == kComponentCore >> 8 &&
              kReplyHead[4] == (kPacketIoCompletion & 0xFF) &&
              kReplyHead[5] == kPacketIoCompletion >> 8);

// Writes the reply: the prefix, the head, the _Return through `body`, then the lengths the head
// carries, measured from what was written, and the call's ids.
template <class Body>
void answer(DataView& reply, const CallHead& head, Body body) {
    // Room for the _Return of most calls too, so that the reply is not moved while it is built.
    if (auto* bytes = reply.output()) bytes->reserve(kReplyRoom);
    reply.declareLength(kReplyHeadSize + 16);
    reply.setBytes(kReplyHead);
    NdrWriter out(reply);
    body(out);
    uint32_t objectBufferLength = out.finish();
    reply.setLittleEndian32AtPosition(kOutputBufferLengthOffset, 16 + objectBufferLength);
    reply.setLittleEndian32AtPosition(kObjectBufferLengthOffset, objectBufferLength);
    reply.length = kReplyHeadSize + objectBufferLength;
    reply.markEnd();
    reply.setLittleEndian32AtPosition(kDeviceIdOffset, head.deviceId);
    reply.setLittleEndian32AtPosition(kCompletionIdOffset, head.completionId);
}

constexpr uint8_t kClass = 3;
constexpr uint8_t kHandshake = 1;
constexpr uint8_t kCall = 3;

}  // namespace

void handshake(std::vector<uint8_t>& reply) {
    reply.push_back(3);
    reply.push_back(2);
}

DecodedMessage decode(const std::vector<uint8_t>& message) {
    DecodedMessage decoded;
    decoded.bytes = message;
    if (message.size() < 2 || message[0] != kClass) return decoded;
    if (message[1] == kHandshake) {
        decoded.kind = MessageKind::handshake;
        if (message.size() > 2) decoded.flags = message[2];
        return decoded;
    }
    if (message[1] != kCall) return decoded;
    if (message.size() < kCallHeadSize) {
        decoded.cutShort = true;
        return decoded;
    }
    decoded.kind = MessageKind::call;
    DataView request(message, 2);
    CallHead& head = decoded.head;
    head.ioControlCode = request.getLittleEndian32();
    head.deviceId = request.getLittleEndian32();
    head.completionId = request.getLittleEndian32();
    head.row = findCall(head.ioControlCode);
    if (head.row == nullptr) return decoded;
    const CallRow& row = *head.row;
    decoded.atOnce = row.timing == Timing::atOnce;
    skipTypeHeaders(head.ioControlCode, request);
    NdrReader in(request);
    const uint64_t context = row.handler->decode(in, row.form, decoded.call);
    decoded.said = in.takeSaid();
    if (row.kind == CallOrder::Kind::independent || context == 0) return decoded;
    decoded.order = {row.kind, context};
    if (row.kind == CallOrder::Kind::context || row.kind == CallOrder::Kind::endTransaction)
        decoded.lane = context;
    return decoded;
}

std::string_view DecodedMessage::name() const {
    return head.row != nullptr ? head.row->name : std::string_view{};
}

ReturnCode DecodedMessage::run(DataView& reply, const Services& services) const {
    assert(kind == MessageKind::call);
    if (!said.empty()) diagnostics::client_out(said);
    const CallRow* row = head.row;
    // The code comes from the remote session, where any program may send one call after another.
    if (row == nullptr && diagnostics::verbose())
        diagnostics::client_out("Unknown smarcard operation: " +
                                std::to_string(head.ioControlCode));
    ReturnCode returnCode = rc::unsupported_feature;
    answer(reply, head, [&](NdrWriter& out) {
        if (row == nullptr) return LongReturn{returnCode}.encode(out, CharForm::A);
        returnCode = row->handler->run(call, out, row->form, services);
    });
    return returnCode;
}

void process_smartcard(const std::vector<uint8_t>& message, DataView& reply,
                       const Services& services) {
    decode(message).run(reply, services);
}

void refuse_smartcard(const CallHead& head, DataView& reply, ReturnCode code) {
    answer(reply, head, [&](NdrWriter& out) {
        if (head.row == nullptr) return LongReturn{code}.encode(out, CharForm::A);
        head.row->handler->refuse(out, head.row->form, code);
    });
}

}  // namespace kx_agent::smartcard
