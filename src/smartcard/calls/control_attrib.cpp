// SCARD_IOCTL_CONTROL and SCARD_IOCTL_GETATTRIB: calls that reach past the card to the reader
// and its driver. The control code and the attribute identifier go to PC/SC as the client sent
// them (the seam puts them into the service's numbering).
//
// Control_Call, fixed part: REDIR_SCARDHANDLE hCard, dwControlCode, cbInBufferSize, pvInBuffer,
// fpvOutBufferIsNULL, cbOutBufferSize; deferred: the context and handle bytes, then the input
// array. Control_Return: ReturnCode, cbOutBufferSize, pvOutBuffer and its array.
//
// GetAttrib_Call: REDIR_SCARDHANDLE hCard, dwAttrId, fpbAttrIsNULL, cbAttrLen; deferred: the
// context and handle bytes. GetAttrib_Return: ReturnCode, cbAttrLen, pbAttr and its array.
//
// A few attributes are answered on Windows by the resource manager rather than the reader's
// driver, so a Windows application counts on them with any reader. pcsc-lite leaves most of them
// to the driver, which may know none of them; when it refuses one, the agent answers it from
// what PC/SC tells of the card handle (SCardStatus).
#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "smartcard/calls/call.h"
#include "smartcard/pcsc/pcsc.h"

namespace kx_agent::smartcard {
namespace {

constexpr uint32_t kMaxControlOutput = range::returnedControl;
constexpr uint32_t kMaxAttribute = range::returnedAttribute;

// The attributes that the agent answers when the driver does not, in Windows' numbers.
constexpr uint32_t kAttrChannelId = 0x00020110;            // SCARD_ATTR_CHANNEL_ID
constexpr uint32_t kAttrCurrentProtocolType = 0x00080201;  // SCARD_ATTR_CURRENT_PROTOCOL_TYPE
constexpr uint32_t kAttrAtrString = 0x00090303;            // SCARD_ATTR_ATR_STRING
constexpr uint32_t kAttrFriendlyNameA = 0x7FFF0003;        // SCARD_ATTR_DEVICE_FRIENDLY_NAME_A
constexpr uint32_t kAttrFriendlyNameW = 0x7FFF0005;        // SCARD_ATTR_DEVICE_FRIENDLY_NAME_W
// SCARD_ATTR_CHANNEL_ID is 0xDDDDCCCC, DDDD the channel type: SCARD_READER_TYPE_USB, which the
// readers pcsc-lite serves are (CCID); the device number is not known.
constexpr uint32_t kUsbChannel = 0x0020u << 16;
// Bounds of what SCardStatus hands back: pcsc-lite's reader names are at most 128 bytes.
constexpr std::size_t kNamesRoom = 1024;

struct ControlCall {
    REDIR_SCARDHANDLE hCard;
    uint32_t dwControlCode = 0;
    uint32_t cbInBufferSize = 0;
    uint32_t pvInBuffer = 0;
    uint32_t fpvOutBufferIsNULL = 0;  // cbOutBufferSize alone decides
    uint32_t cbOutBufferSize = 0;
    std::span<const uint8_t> inBuffer;  // in the message
};

using ControlReturn = LengthOrBufferReturn;  // cbOutBufferSize and pvOutBuffer

std::expected<ControlCall, ReturnCode> decodeControl(NdrReader& in, CharForm) {
    ControlCall call;
    call.hCard.readFixed(in);
    call.dwControlCode = in.u32();
    call.cbInBufferSize = in.u32();
    call.pvInBuffer = in.u32();
    call.fpvOutBufferIsNULL = in.u32();
    call.cbOutBufferSize = in.u32();
    if (call.cbInBufferSize > range::buffer) return std::unexpected(rc::invalid_parameter);
    if (auto deferred = call.hCard.readDeferred(in); !deferred)
        return std::unexpected(deferred.error());
    if (call.pvInBuffer != 0) {
        // The array's own count, not cbInBufferSize, is the input length.
        auto input = in.sized(range::buffer);
        if (!input) return std::unexpected(input.error());
        call.inBuffer = *input;
    } else if (call.cbInBufferSize > 0) {
        return std::unexpected(rc::invalid_parameter);  // input announced, none sent
    }
    return call;
}

ControlReturn executeControl(const ControlCall& call, CharForm, const Services& services) {
    std::vector<uint8_t> output(std::min(call.cbOutBufferSize, kMaxControlOutput));
    DWORD bytesReturned = output.size();
    const void* input = call.inBuffer.empty() ? nullptr : call.inBuffer.data();
    LONG result = services.pcsc.control(
        static_cast<SCARDHANDLE>(call.hCard.value), call.dwControlCode, input, call.inBuffer.size(),
        output.empty() ? nullptr : output.data(), output.size(), &bytesReturned);
    if (result != SCARD_S_SUCCESS) return {ReturnCode::of(result)};
    // Only what the buffer holds is sent, whatever count the driver reports; an empty answer
    // is an empty array.
    output.resize(std::min<DWORD>(bytesReturned, output.size()));
    return {rc::success, {.bytes = std::move(output)}};
}

struct GetAttribCall {
    REDIR_SCARDHANDLE hCard;
    uint32_t dwAttrId = 0;
    uint32_t fpbAttrIsNULL = 0;
    uint32_t cbAttrLen = 0;

    // [MS-RDPESC] 2.2.2.21: fpbAttrIsNULL, or a cbAttrLen of 0, asks for the length alone.
    bool lengthOnly() const { return fpbAttrIsNULL != 0 || cbAttrLen == 0; }
};

// A length query is answered with cbAttrLen and a null pbAttr (2.2.2.21).
using GetAttribReturn = LengthOrBufferReturn;  // cbAttrLen and pbAttr

std::expected<GetAttribCall, ReturnCode> decodeGetAttrib(NdrReader& in, CharForm) {
    GetAttribCall call;
    call.hCard.readFixed(in);
    call.dwAttrId = in.u32();
    call.fpbAttrIsNULL = in.u32();
    call.cbAttrLen = in.u32();
    if (auto deferred = call.hCard.readDeferred(in); !deferred)
        return std::unexpected(deferred.error());
    return call;
}

GetAttribReturn lengthOf(std::size_t length) {
    auto bounded = static_cast<uint32_t>(std::min<std::size_t>(length, kMaxAttribute));
    return {rc::success, {.length = bounded}};
}

// The attribute as the reader's driver answers it.
GetAttribReturn driverAttribute(Pcsc& pcsc, const GetAttribCall& call) {
    auto card = static_cast<SCARDHANDLE>(call.hCard.value);
    DWORD attrLength = 0;
    if (call.lengthOnly()) {
        LONG result = pcsc.get_attrib(card, call.dwAttrId, nullptr, &attrLength);
        if (result != SCARD_S_SUCCESS) return {ReturnCode::of(result)};
        return lengthOf(attrLength);
    }
    uint32_t bufferLength = call.cbAttrLen;
    // SCARD_AUTOALLOCATE asks for the attribute whatever its size: its length is asked first,
    // then the attribute in a buffer of that length.
    if (bufferLength == rc::autoallocate) {
        LONG result = pcsc.get_attrib(card, call.dwAttrId, nullptr, &attrLength);
        if (result != SCARD_S_SUCCESS) return {ReturnCode::of(result)};
        bufferLength = static_cast<uint32_t>(std::min<DWORD>(attrLength, kMaxAttribute));
    }
    // One byte more than announced keeps the pointer non-null for an attribute of length 0,
    // which PC/SC would otherwise take for a length query.
    std::vector<uint8_t> attribute(std::min(bufferLength, kMaxAttribute) + 1);
    attrLength = attribute.size() - 1;
    LONG result = pcsc.get_attrib(card, call.dwAttrId, attribute.data(), &attrLength);
    if (result != SCARD_S_SUCCESS) return {ReturnCode::of(result)};
    // Never more than the buffer holds, whatever length PC/SC reports.
    attribute.resize(std::min<DWORD>(attrLength, attribute.size() - 1));
    return {rc::success, {.bytes = std::move(attribute)}};
}

std::vector<uint8_t> le32(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

bool answeredByTheAgent(uint32_t id) {
    return id == kAttrChannelId || id == kAttrCurrentProtocolType || id == kAttrAtrString ||
           id == kAttrFriendlyNameA || id == kAttrFriendlyNameW;
}

// The value of an attribute that answeredByTheAgent, or the code that PC/SC's status query gave.
std::expected<std::vector<uint8_t>, ReturnCode> agentValue(Pcsc& pcsc, SCARDHANDLE card,
                                                           uint32_t id) {
    if (id == kAttrChannelId) return le32(kUsbChannel);
    std::array<char, kNamesRoom> names{};
    DWORD namesLength = names.size();
    DWORD state = 0;
    DWORD protocol = 0;
    std::array<BYTE, MAX_ATR_SIZE> atr{};
    DWORD atrLength = atr.size();
    LONG result =
        pcsc.status(card, names.data(), &namesLength, &state, &protocol, atr.data(), &atrLength);
    if (result != SCARD_S_SUCCESS) return std::unexpected(ReturnCode::of(result));
    if (id == kAttrCurrentProtocolType) return le32(static_cast<uint32_t>(protocol));
    if (id == kAttrAtrString)
        return std::vector<uint8_t>(atr.begin(),
                                    atr.begin() + std::min<DWORD>(atrLength, atr.size()));
    // The reader's name: the first of the names, ended by its NUL.
    std::string name(names.data(), std::min<DWORD>(namesLength, names.size()));
    name = name.substr(0, name.find('\0'));
    name.push_back('\0');
    return encodeMultiString(name, id == kAttrFriendlyNameW ? CharForm::W : CharForm::A);
}

// Whether the driver's answer leaves the attribute to the agent: a driver that does not know an
// attribute answers SCARD_E_UNSUPPORTED_FEATURE, or SCARD_E_NOT_TRANSACTED from older pcsc-lite.
// pcsc-lite 1.9 answers
// SCARD_ATTR_DEVICE_FRIENDLY_NAME_A itself, with SCARD_E_INSUFFICIENT_BUFFER whatever the buffer
// and to a length query: that answer is taken as a refusal too, and the agent's own value then
// says whether the client's buffer is too small.
bool refused(uint32_t id, ReturnCode code) {
    if (code == rc::unsupported_feature || code == rc::not_transacted) return true;
    return id == kAttrFriendlyNameA && code == rc::insufficient_buffer;
}

GetAttribReturn executeGetAttrib(const GetAttribCall& call, CharForm, const Services& services) {
    GetAttribReturn answer = driverAttribute(services.pcsc, call);
    if (!answeredByTheAgent(call.dwAttrId) || !refused(call.dwAttrId, answer.ReturnCode))
        return answer;
    auto value =
        agentValue(services.pcsc, static_cast<SCARDHANDLE>(call.hCard.value), call.dwAttrId);
    if (!value) return {value.error()};
    if (call.lengthOnly()) return lengthOf(value->size());
    if (call.cbAttrLen != rc::autoallocate && call.cbAttrLen < value->size())
        return {rc::insufficient_buffer};
    return {rc::success, {.bytes = std::move(*value)}};
}

}  // namespace

const CallHandler controlCall = typedCall<decodeControl, executeControl>;
const CallHandler getAttribCall = typedCall<decodeGetAttrib, executeGetAttrib>;

constexpr std::array kRows = {
    row(ioctl::control, controlCall),
    row(ioctl::getAttrib, getAttribCall),
};

std::span<const CallRow> controlAttribRows() { return kRows; }

}  // namespace kx_agent::smartcard
