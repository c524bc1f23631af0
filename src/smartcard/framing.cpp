// Outer framing of a relayed call, the reply head, the Long_Return reply and the dispatch of a
// call by its I/O control code.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "diagnostics.h"
#include "smartcard/call.h"
#include "smartcard/ndr.h"
#include "utilities.h"

namespace kx_agent::smartcard {
namespace {

constexpr uint16_t kComponentCore = 0x4472;       // RDPDR_CTYP_CORE
constexpr uint16_t kPacketIoCompletion = 0x4943;  // PAKID_CORE_DEVICE_IOCOMPLETION
constexpr std::size_t kDeviceIdOffset = 6;
constexpr std::size_t kCompletionIdOffset = 10;

using Handler = void (*)(DataView&, DataView&);
using FormHandler = void (*)(CharForm, DataView&, DataView&);

// A row of a call that exists in two character forms names its one handler and the form.
template <FormHandler handler, CharForm form>
void inForm(DataView& request, DataView& reply) {
    handler(form, request, reply);
}

using Kind = CallOrder::Kind;

struct Call {
    uint32_t code;
    std::string_view name;
    const CallHandler* handler;
    CharForm form = CharForm::A;
    // How the call is ordered beside the others of a connection that runs calls side by side.
    Kind kind = Kind::context;
    // A hand-written handler that writes its whole reply (a call not yet typed); null otherwise.
    Handler legacy = nullptr;
};

constexpr Call typed(uint32_t code, std::string_view name, const CallHandler& handler,
                     CharForm form = CharForm::A, Kind kind = Kind::context) {
    return Call{code, name, &handler, form, kind, nullptr};
}
constexpr Call unsupported(uint32_t code, std::string_view name) {
    return Call{code, name, &unsupportedCall<LongReturn>, CharForm::A, Kind::independent, nullptr};
}
constexpr Call handwritten(uint32_t code, std::string_view name, Handler handler) {
    return Call{code, name, nullptr, CharForm::A, Kind::context, handler};
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
    // A Windows server sends this one as 4 bare bytes ([MS-RDPESC] 2.2.2.30); see bareCall.
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

const Call* findCall(uint32_t code) {
    auto it = std::ranges::lower_bound(kCalls, code, {}, &Call::code);
    return it != kCalls.end() && it->code == code ? &*it : nullptr;
}

// Where the calls that work on a context carry it: the context's deferred reference bytes follow
// the fixed part of the ..._Call (`fixed` bytes after the two type headers), behind the reader
// or lookup name for the connect and cache calls (a string of `nameUnit`-byte characters). The
// W rows have the layout of their A rows. Calls absent here touch no context.
struct ContextAt {
    uint32_t code;
    uint8_t fixed;
    uint8_t nameUnit;  // 0: no name before the context
    CallOrder::Kind kind = CallOrder::Kind::context;
};
constexpr std::array kContextAt = {
    ContextAt{0x00090018, 8, 0},   // ReleaseContext
    ContextAt{0x0009001C, 8, 0},   // IsValidContext
    ContextAt{0x00090020, 16, 0},  // ListReaderGroupsA
    ContextAt{0x00090024, 16, 0},  // ListReaderGroupsW
    ContextAt{0x00090028, 24, 0},  // ListReadersA
    ContextAt{0x0009002C, 24, 0},  // ListReadersW
    ContextAt{0x000900A0, 20, 0},  // GetStatusChangeA
    ContextAt{0x000900A4, 20, 0},  // GetStatusChangeW
    ContextAt{0x000900A8, 8, 0, CallOrder::Kind::cancel},
    ContextAt{0x000900AC, 20, 1},  // ConnectA
    ContextAt{0x000900B0, 20, 2},  // ConnectW
    ContextAt{0x000900B4, 28, 0},  // Reconnect
    ContextAt{0x000900B8, 20, 0},  // Disconnect
    ContextAt{0x000900BC, 20, 0},  // BeginTransaction
    ContextAt{0x000900C0, 20, 0},  // EndTransaction
    ContextAt{0x000900C4, 24, 0},  // State
    ContextAt{0x000900C8, 28, 0},  // StatusA
    ContextAt{0x000900CC, 28, 0},  // StatusW
    ContextAt{0x000900D0, 48, 0},  // Transmit
    ContextAt{0x000900D4, 36, 0},  // Control
    ContextAt{0x000900D8, 28, 0},  // GetAttrib
    ContextAt{0x000900DC, 28, 0},  // SetAttrib
    ContextAt{0x000900E8, 24, 0},  // LocateCardsByATRA
    ContextAt{0x000900EC, 24, 0},  // LocateCardsByATRW
    ContextAt{0x000900F0, 28, 1},  // ReadCacheA: the lookup name comes first
    ContextAt{0x000900F4, 28, 2},  // ReadCacheW
    ContextAt{0x000900F8, 28, 1},  // WriteCacheA
    ContextAt{0x000900FC, 28, 2},  // WriteCacheW
    ContextAt{0x00090100, 16, 0},  // GetTransmitCount
    ContextAt{0x00090108, 12, 0},  // GetDeviceTypeId
};
static_assert(std::ranges::is_sorted(kContextAt, {}, &ContextAt::code));

CallOrder legacyCallOrder(const std::vector<uint8_t>& message, uint32_t ioControlCode) {
    DataView request(message, 6);
    auto row = std::ranges::lower_bound(kContextAt, ioControlCode, {}, &ContextAt::code);
    if (row == kContextAt.end() || row->code != ioControlCode) return {};
    // Device and completion ids, the two type headers, the fixed part.
    request.skipPositionRead(8 + 16 + row->fixed);
    if (row->nameUnit != 0) {
        request.skipPositionRead(8);  // maximum count and offset
        uint32_t units = request.getLittleEndian32();
        if (units > request.remaining() / row->nameUnit) return {};
        std::size_t bytes = std::size_t{units} * row->nameUnit;
        request.skipPositionRead(static_cast<int32_t>(bytes + padding(bytes, 4)));
    }
    uint32_t count = request.getLittleEndian32();
    if (count != 4 && count != 8) return {};
    uint64_t context = utilities::as_u32_le(request.getSpan(count));
    if (request.failed()) return {};
    return {row->kind, context};
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

void writeHeader(uint32_t objectBufferLength, DataView& reply) {
    // [MS-RPCE] 2.2.6.1 Common Type Header: version 1, little-endian, 8 bytes, filler.
    reply.setByte(1);
    reply.setByte(0x10);
    reply.setLittleEndian16(8);
    reply.setLittleEndian32(0xCCCCCCCC);
    // 2.2.6.2 Private Type Header.
    reply.setLittleEndian32(objectBufferLength);
    reply.setLittleEndian32(0);
}

void writeReplyHead(DataView& reply, uint32_t objectBufferLength) {
    reply.declareLength(kReplyHeadSize + objectBufferLength);
    reply.setLittleEndian16(kComponentCore);
    reply.setLittleEndian16(kPacketIoCompletion);
    reply.skipPositionWrite(8);  // DeviceId and CompletionId, patched in by process_smartcard
    reply.setLittleEndian32(0);  // IoStatus
    reply.setLittleEndian32(16 + objectBufferLength);
    writeHeader(objectBufferLength, reply);
}

void longReturnWithValue(uint32_t code, DataView& reply, uint32_t value) {
    writeReplyHead(reply, 8);
    reply.setLittleEndian32(code);
    reply.setLittleEndian32(value);
    reply.markEnd();
}

void longReturn(uint32_t code, DataView& reply) { longReturnWithValue(code, reply, 0); }

void readCommonTypeHeader(DataView& request) { request.skipPositionRead(8); }
void readPrivateTypeHeader(DataView& request) { request.skipPositionRead(8); }

ScardReference readScardContext(DataView& request) {
    uint32_t cb = request.getLittleEndian32();
    return {cb, request.getLittleEndian32()};
}

ScardReference readScardHandle(DataView& request) { return readScardContext(request); }

bool answeredTruncated(DataView& request, DataView& reply) {
    if (!request.failed()) return false;
    longReturn(rc::invalid_parameter, reply);
    return true;
}

void writeByteArrayReturn(DataView& reply, uint32_t referent, std::span<const uint8_t> bytes,
                          std::size_t alignment) {
    auto n = static_cast<uint32_t>(bytes.size());
    std::size_t pad = padding(n, alignment);
    writeReplyHead(reply, static_cast<uint32_t>(16 + n + pad));
    reply.setLittleEndian32(rc::success);
    reply.setLittleEndian32(n);
    reply.setLittleEndian32(referent);
    reply.setLittleEndian32(n);  // conformant array maximum count
    reply.setBytes(bytes);
    reply.skipPositionWrite(pad);
    reply.markEnd();
}

uint64_t readReference(DataView& request, uint32_t count) {
    return utilities::as_u32_le(request.getSpan(count));
}

std::expected<CardReference, uint32_t> decodeCardReference(DataView& request, uint32_t cbContext,
                                                           uint32_t cbHandle) {
    if (request.getLittleEndian32() != cbContext) return std::unexpected(rc::invalid_value);
    uint64_t context = readReference(request, cbContext);
    if (request.getLittleEndian32() != cbHandle) return std::unexpected(rc::invalid_value);
    uint64_t handle = readReference(request, cbHandle);
    if (handle == 0) return std::unexpected(rc::invalid_handle);
    return CardReference{context, handle};
}

namespace {

// What follows CompletionId: the two NDR type headers and the object buffer holding the call.
// A Windows server sends SCARD_IOCTL_ACCESSSTARTEDEVENT without either ([MS-RDPESC] 2.2.2.30:
// "an uninitialized 4-byte buffer ... There is no corresponding serialized structure"), so a
// body of exactly 4 bytes is that call as it stands; the headered form is taken as well.
constexpr uint32_t kAccessStartedEvent = 0x000900E0;
constexpr std::size_t kBareAccessStartedSize = 4;

void skipTypeHeaders(uint32_t ioControlCode, DataView& request) {
    if (ioControlCode == kAccessStartedEvent && request.remaining() == kBareAccessStartedSize)
        return;
    readCommonTypeHeader(request);
    readPrivateTypeHeader(request);
}

// The reply head with its two lengths left at 0 (patched once the object buffer is written).
constexpr std::size_t kOutputBufferLengthOffset = 18;
constexpr std::size_t kObjectBufferLengthOffset = 30;

}  // namespace

CallOrder callOrder(const std::vector<uint8_t>& message) {
    DataView request(message, 2);
    uint32_t ioControlCode = request.getLittleEndian32();
    const Call* call = findCall(ioControlCode);
    if (call == nullptr || call->kind == Kind::independent) return {};
    if (call->handler == nullptr) return legacyCallOrder(message, ioControlCode);
    request.skipPositionRead(8);  // DeviceId, CompletionId
    skipTypeHeaders(ioControlCode, request);
    NdrReader in(request);
    uint64_t context = call->handler->waitsOn(in, call->form);
    if (context == 0) return {};
    return {call->kind, context};
}

namespace {

// Writes the reply head and, through `body`, the _Return; then the lengths the head carries.
template <class Body>
void answer(DataView& reply, uint32_t deviceId, uint32_t completionId, Body body) {
    writeReplyHead(reply, 0);
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

}  // namespace

void process_smartcard(const std::vector<uint8_t>& message, DataView& reply) {
    DataView request(message, 2);
    reply.setByte(3);
    reply.setByte(3);
    uint32_t ioControlCode = request.getLittleEndian32();
    uint32_t deviceId = request.getLittleEndian32();
    uint32_t completionId = request.getLittleEndian32();

    const Call* call = findCall(ioControlCode);
    if (call == nullptr)
        diagnostics::out("Unknown smarcard operation: " + std::to_string(ioControlCode));
    if (call != nullptr && call->legacy != nullptr) {
        call->legacy(request, reply);
        // A call that ran short on a path that answered early is answered the same way as
        // one the handler found short.
        if (request.failed()) {
            reply.truncate(2);
            longReturn(rc::invalid_parameter, reply);
        }
        reply.setLittleEndian32AtPosition(kDeviceIdOffset, deviceId);
        reply.setLittleEndian32AtPosition(kCompletionIdOffset, completionId);
        return;
    }
    answer(reply, deviceId, completionId, [&](NdrWriter& out) {
        if (call == nullptr) return LongReturn{rc::unsupported_feature}.encode(out, CharForm::A);
        skipTypeHeaders(ioControlCode, request);
        NdrReader in(request);
        call->handler->run(in, out, call->form);
    });
}

void refuse_smartcard(const std::vector<uint8_t>& message, DataView& reply, uint32_t code) {
    DataView request(message, 2);
    reply.setByte(3);
    reply.setByte(3);
    uint32_t ioControlCode = request.getLittleEndian32();
    uint32_t deviceId = request.getLittleEndian32();
    uint32_t completionId = request.getLittleEndian32();
    const Call* call = findCall(ioControlCode);
    answer(reply, deviceId, completionId, [&](NdrWriter& out) {
        if (call == nullptr || call->handler == nullptr) return LongReturn{code}.encode(out, CharForm::A);
        call->handler->refuse(out, call->form, code);
    });
}

}  // namespace kx_agent::smartcard
