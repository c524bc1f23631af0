// Outer framing of a relayed call, the reply head, and the dispatch of a call by its I/O control
// code: one table row per [MS-RDPESC] SCARD_IOCTL_ code names the call, its handler (decoder,
// executor and _Return, smartcard/call.h), its character form and how it is ordered beside the
// other calls of a connection.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "diagnostics.h"
#include "smartcard/call.h"
#include "smartcard/ndr.h"
#include "smartcard/smartcard.h"

namespace kx_agent::smartcard {
namespace {

constexpr uint16_t kComponentCore = 0x4472;       // RDPDR_CTYP_CORE
constexpr uint16_t kPacketIoCompletion = 0x4943;  // PAKID_CORE_DEVICE_IOCOMPLETION
constexpr std::size_t kDeviceIdOffset = 6;
constexpr std::size_t kCompletionIdOffset = 10;
constexpr std::size_t kOutputBufferLengthOffset = 18;
constexpr std::size_t kObjectBufferLengthOffset = 30;
// The prefix (2) and the reply head (36) in front of the object buffer.
constexpr std::size_t kReplyHeadSize = 38;

using Kind = CallOrder::Kind;

struct Call {
    uint32_t code;
    std::string_view name;
    const CallHandler* handler;
    CharForm form = CharForm::A;
    // How the call is ordered beside the others of a connection that runs calls side by side.
    Kind kind = Kind::context;
};

constexpr Call typed(uint32_t code, std::string_view name, const CallHandler& handler,
                     CharForm form = CharForm::A, Kind kind = Kind::context) {
    return Call{code, name, &handler, form, kind};
}
// A call with a bare Long_Return that is not carried out.
constexpr Call unsupported(uint32_t code, std::string_view name) {
    return Call{code, name, &unsupportedCall<LongReturn>, CharForm::A, Kind::independent};
}

constexpr auto A = CharForm::A;
constexpr auto W = CharForm::W;

// Every [MS-RDPESC] SCARD_IOCTL_ code the relay knows, in ascending order. A call in two
// character forms has one handler, its rows naming the form. The reader and group database
// calls are not carried out: pcsc-lite has no such database.
constexpr std::array kCalls = {
    typed(0x00090014, "SCARD_IOCTL_ESTABLISHCONTEXT", establishContextCall, A, Kind::independent),
    typed(0x00090018, "SCARD_IOCTL_RELEASECONTEXT", releaseContextCall),
    typed(0x0009001C, "SCARD_IOCTL_ISVALIDCONTEXT", isValidContextCall),
    typed(0x00090020, "SCARD_IOCTL_LISTREADERGROUPSA", listReaderGroupsCall, A),
    typed(0x00090024, "SCARD_IOCTL_LISTREADERGROUPSW", listReaderGroupsCall, W),
    typed(0x00090028, "SCARD_IOCTL_LISTREADERSA", listReadersCall, A),
    typed(0x0009002C, "SCARD_IOCTL_LISTREADERSW", listReadersCall, W),
    unsupported(0x00090050, "SCARD_IOCTL_INTRODUCEREADERGROUPA"),
    unsupported(0x00090054, "SCARD_IOCTL_INTRODUCEREADERGROUPW"),
    unsupported(0x00090058, "SCARD_IOCTL_FORGETREADERGROUPA"),
    unsupported(0x0009005C, "SCARD_IOCTL_FORGETREADERGROUPW"),
    unsupported(0x00090060, "SCARD_IOCTL_INTRODUCEREADERA"),
    unsupported(0x00090064, "SCARD_IOCTL_INTRODUCEREADERW"),
    unsupported(0x00090068, "SCARD_IOCTL_FORGETREADERA"),
    unsupported(0x0009006C, "SCARD_IOCTL_FORGETREADERW"),
    unsupported(0x00090070, "SCARD_IOCTL_ADDREADERTOGROUPA"),
    unsupported(0x00090074, "SCARD_IOCTL_ADDREADERTOGROUPW"),
    unsupported(0x00090078, "SCARD_IOCTL_REMOVEREADERFROMGROUPA"),
    unsupported(0x0009007C, "SCARD_IOCTL_REMOVEREADERFROMGROUPW"),
    typed(0x00090098, "SCARD_IOCTL_LOCATECARDSA", locateCardsCall, A, Kind::independent),
    typed(0x0009009C, "SCARD_IOCTL_LOCATECARDSW", locateCardsCall, W, Kind::independent),
    typed(0x000900A0, "SCARD_IOCTL_GETSTATUSCHANGEA", getStatusChangeCall, A),
    typed(0x000900A4, "SCARD_IOCTL_GETSTATUSCHANGEW", getStatusChangeCall, W),
    typed(0x000900A8, "SCARD_IOCTL_CANCEL", cancelCall, A, Kind::cancel),
    typed(0x000900AC, "SCARD_IOCTL_CONNECTA", connectCall, A),
    typed(0x000900B0, "SCARD_IOCTL_CONNECTW", connectCall, W),
    typed(0x000900B4, "SCARD_IOCTL_RECONNECT", reconnectCall),
    typed(0x000900B8, "SCARD_IOCTL_DISCONNECT", disconnectCall),
    typed(0x000900BC, "SCARD_IOCTL_BEGINTRANSACTION", beginTransactionCall),
    typed(0x000900C0, "SCARD_IOCTL_ENDTRANSACTION", endTransactionCall),
    typed(0x000900C4, "SCARD_IOCTL_STATE", stateCall),
    typed(0x000900C8, "SCARD_IOCTL_STATUSA", statusCall, A),
    typed(0x000900CC, "SCARD_IOCTL_STATUSW", statusCall, W),
    typed(0x000900D0, "SCARD_IOCTL_TRANSMIT", transmitCall),
    typed(0x000900D4, "SCARD_IOCTL_CONTROL", controlCall),
    typed(0x000900D8, "SCARD_IOCTL_GETATTRIB", getAttribCall),
    typed(0x000900DC, "SCARD_IOCTL_SETATTRIB", setAttribCall),
    // A Windows server sends this one as 4 bare bytes ([MS-RDPESC] 2.2.2.30): see skipTypeHeaders.
    typed(0x000900E0, "SCARD_IOCTL_ACCESSSTARTEDEVENT", accessStartedEventCall, A, Kind::independent),
    typed(0x000900E8, "SCARD_IOCTL_LOCATECARDSBYATRA", locateCardsByATRCall, A),
    typed(0x000900EC, "SCARD_IOCTL_LOCATECARDSBYATRW", locateCardsByATRCall, W),
    typed(0x000900F0, "SCARD_IOCTL_READCACHEA", readCacheCall, A),
    typed(0x000900F4, "SCARD_IOCTL_READCACHEW", readCacheCall, W),
    typed(0x000900F8, "SCARD_IOCTL_WRITECACHEA", writeCacheCall, A),
    typed(0x000900FC, "SCARD_IOCTL_WRITECACHEW", writeCacheCall, W),
    typed(0x00090100, "SCARD_IOCTL_GETTRANSMITCOUNT", getTransmitCountCall),
    typed(0x00090104, "SCARD_IOCTL_GETREADERICON", getReaderIconCall, W, Kind::independent),
    typed(0x00090108, "SCARD_IOCTL_GETDEVICETYPEID", getDeviceTypeIdCall, W),
};
static_assert(std::ranges::is_sorted(kCalls, {}, &Call::code));

// The codes of returnsAtOnce, in ascending order.
constexpr std::array kAtOnce = {
    0x00090014u,  // ESTABLISHCONTEXT
    0x00090018u,  // RELEASECONTEXT
    0x0009001Cu,  // ISVALIDCONTEXT
    0x00090020u, 0x00090024u,  // LISTREADERGROUPSA/W
    0x00090028u, 0x0009002Cu,  // LISTREADERSA/W
    0x000900A8u,  // CANCEL
    0x000900C4u,  // STATE
    0x000900C8u, 0x000900CCu,  // STATUSA/W
    0x000900E0u,  // ACCESSSTARTEDEVENT
    0x000900E8u, 0x000900ECu,  // LOCATECARDSBYATRA/W: a status query with time-out 0
    0x000900F0u, 0x000900F4u, 0x000900F8u, 0x000900FCu,  // READCACHEA/W, WRITECACHEA/W
    0x00090100u,  // GETTRANSMITCOUNT
    0x00090108u,  // GETDEVICETYPEID: a status query with time-out 0
};
static_assert(std::ranges::is_sorted(kAtOnce));

const Call* findCall(uint32_t code) {
    auto it = std::ranges::lower_bound(kCalls, code, {}, &Call::code);
    return it != kCalls.end() && it->code == code ? &*it : nullptr;
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

// The [MS-RDPEFS] device I/O completion head and the NDR type headers, both lengths 0 for now.
void writeReplyHead(DataView& reply) {
    reply.declareLength(kReplyHeadSize + 16);
    reply.setLittleEndian16(kComponentCore);
    reply.setLittleEndian16(kPacketIoCompletion);
    reply.skipPositionWrite(8);  // DeviceId and CompletionId
    reply.setLittleEndian32(0);  // IoStatus: the outcome travels in ReturnCode alone
    reply.setLittleEndian32(0);  // OutputBufferLength
    // [MS-RPCE] 2.2.6.1 Common Type Header: version 1, little-endian, 8 bytes, filler.
    reply.setByte(1);
    reply.setByte(0x10);
    reply.setLittleEndian16(8);
    reply.setLittleEndian32(0xCCCCCCCC);
    // 2.2.6.2 Private Type Header: ObjectBufferLength and a zero filler.
    reply.setLittleEndian32(0);
    reply.setLittleEndian32(0);
}

// Writes the reply after its prefix: the head, the _Return through `body`, then the lengths the
// head carries, measured from what was written, and the request's ids.
template <class Body>
void answer(DataView& reply, uint32_t deviceId, uint32_t completionId, Body body) {
    writeReplyHead(reply);
    NdrWriter out(reply);
    body(out);
    uint32_t objectBufferLength = out.finish();
    reply.setLittleEndian32AtPosition(kOutputBufferLengthOffset, 16 + objectBufferLength);
    reply.setLittleEndian32AtPosition(kObjectBufferLengthOffset, objectBufferLength);
    reply.length = kReplyHeadSize + objectBufferLength;
    reply.markEnd();
    reply.setLittleEndian32AtPosition(kDeviceIdOffset, deviceId);
    reply.setLittleEndian32AtPosition(kCompletionIdOffset, completionId);
}

struct Frame {
    uint32_t ioControlCode;
    uint32_t deviceId;
    uint32_t completionId;
};

Frame readFrame(DataView& request) {
    Frame frame{};
    frame.ioControlCode = request.getLittleEndian32();
    frame.deviceId = request.getLittleEndian32();
    frame.completionId = request.getLittleEndian32();
    return frame;
}

}  // namespace

std::string_view callName(uint32_t ioControlCode) {
    const Call* call = findCall(ioControlCode);
    return call != nullptr ? call->name : std::string_view{};
}

void handshake(std::vector<uint8_t>& reply) {
    reply.push_back(3);
    reply.push_back(2);
}

CallOrder callOrder(const std::vector<uint8_t>& message) {
    DataView request(message, 2);
    Frame frame = readFrame(request);
    const Call* call = findCall(frame.ioControlCode);
    if (call == nullptr || call->kind == Kind::independent) return {};
    skipTypeHeaders(frame.ioControlCode, request);
    NdrReader in(request);
    uint64_t context = call->handler->waitsOn(in, call->form);
    if (context == 0) return {};
    return {call->kind, context};
}

bool returnsAtOnce(const std::vector<uint8_t>& message) {
    DataView request(message, 2);
    Frame frame = readFrame(request);
    return !request.failed() && std::ranges::binary_search(kAtOnce, frame.ioControlCode);
}

void process_smartcard(const std::vector<uint8_t>& message, DataView& reply,
                       const Services& services) {
    DataView request(message, 2);
    reply.setByte(3);
    reply.setByte(3);
    Frame frame = readFrame(request);
    const Call* call = findCall(frame.ioControlCode);
    if (call == nullptr)
        diagnostics::out("Unknown smarcard operation: " + std::to_string(frame.ioControlCode));
    answer(reply, frame.deviceId, frame.completionId, [&](NdrWriter& out) {
        if (call == nullptr) return LongReturn{rc::unsupported_feature}.encode(out, CharForm::A);
        skipTypeHeaders(frame.ioControlCode, request);
        NdrReader in(request);
        call->handler->run(in, out, call->form, services);
    });
}

void refuse_smartcard(const std::vector<uint8_t>& message, DataView& reply, uint32_t code) {
    DataView request(message, 2);
    reply.setByte(3);
    reply.setByte(3);
    Frame frame = readFrame(request);
    const Call* call = findCall(frame.ioControlCode);
    answer(reply, frame.deviceId, frame.completionId, [&](NdrWriter& out) {
        if (call == nullptr) return LongReturn{code}.encode(out, CharForm::A);
        call->handler->refuse(out, call->form, code);
    });
}

}  // namespace kx_agent::smartcard
