#include "smartcard/wire/ndr.h"

#include <algorithm>
#include <array>

#include "utilities.h"

namespace kx_agent::smartcard {
namespace {
constexpr uint32_t kFirstReferent = 0x00020000;
constexpr uint32_t kReferentStep = 4;
}  // namespace

std::span<const uint8_t> NdrReader::bytes(std::size_t count) { return view_.getSpan(count); }

std::expected<std::span<const uint8_t>, ReturnCode> NdrReader::conformant(uint32_t size,
                                                                          uint32_t* sent) {
    uint32_t count = u32();
    if (sent != nullptr) *sent = count;
    if (failed()) return {};
    if (count != size) return std::unexpected(rc::invalid_value);
    return bytes(count);
}

std::expected<std::span<const uint8_t>, ReturnCode> NdrReader::sized(uint32_t bound) {
    uint32_t count = u32();
    if (failed()) return {};
    if (count > bound) return std::unexpected(rc::invalid_parameter);
    return bytes(count);
}

std::span<const uint8_t> NdrReader::uncompared(uint32_t size) {
    u32();
    return bytes(size);
}

std::expected<void, ReturnCode> NdrReader::arrayCount(uint32_t size) {
    uint32_t count = u32();
    if (!failed() && count != size) return std::unexpected(rc::invalid_value);
    return {};
}

std::expected<std::string, ReturnCode> NdrReader::string(CharForm form) {
    align(4);
    skip(8);  // maximum count and offset
    uint32_t count = u32();
    uint64_t size = uint64_t{count} * unitSize(form);
    // Checked before anything is taken: a count beyond the message fails the reader.
    if (failed() || size > remaining()) {
        fail();
        return std::unexpected(rc::invalid_parameter);
    }
    auto text = bytes(static_cast<std::size_t>(size));
    skip(padding(text.size(), 4));
    if (failed()) return std::unexpected(rc::invalid_parameter);

    // The name ends at its first NUL, or with its last character when it carries none.
    std::size_t unit = unitSize(form);
    std::size_t end = 0;
    while (end + unit <= text.size() && !std::all_of(text.begin() + end, text.begin() + end + unit,
                                                     [](uint8_t b) { return b == 0; }))
        end += unit;
    return decodeText(text.first(end), form);
}

std::expected<std::string, ReturnCode> NdrReader::multiString(CharForm form) {
    uint32_t count = u32();
    if (failed() || count > remaining()) {
        fail();
        return std::unexpected(rc::invalid_parameter);
    }
    return decodeText(bytes(count), form);
}

void NdrReader::fail() {
    // A negative skip is how DataView is failed from outside.
    view_.skipPositionRead(-1);
}

void NdrWriter::pointer(bool present) {
    if (!present) return u32(0);
    u32(kFirstReferent + kReferentStep * referents_++);
}

void NdrWriter::bytes(std::span<const uint8_t> value) { view_.setBytes(value); }

void NdrWriter::zeros(std::size_t count) { view_.skipPositionWrite(count); }

void NdrWriter::conformant(std::span<const uint8_t> value) {
    u32(static_cast<uint32_t>(value.size()));
    bytes(value);
}

uint32_t NdrWriter::finish() {
    // [MS-RPCE] 2.2.6.2: the object buffer is padded to a multiple of 8.
    align(8);
    return static_cast<uint32_t>(view_.position - base_);
}

void readTypeHeaders(DataView& request) {
    // Version 1, little-endian (0x10), a header of 8 bytes (16-bit little-endian).
    static constexpr std::array<uint8_t, 4> kCommonHeader = {1, 0x10, 8, 0};
    constexpr int32_t kRestOfHeaders = 4 + 8;  // the Common header's filler, the Private header
    auto common = request.getSpan(kCommonHeader.size());
    if (request.failed()) return;
    if (!std::ranges::equal(common, kCommonHeader)) return request.skipPositionRead(-1);
    request.skipPositionRead(kRestOfHeaders);
}

void REDIR_SCARDCONTEXT::readFixed(NdrReader& in) {
    cbContext = in.u32();
    pbContext = in.u32();
}

std::expected<void, ReturnCode> REDIR_SCARDCONTEXT::readDeferred(NdrReader& in) {
    if (cbContext > range::reference) return std::unexpected(rc::invalid_parameter);
    if (pbContext == 0) return {};
    auto bytes = in.conformant(cbContext, &count);
    if (!bytes) return std::unexpected(bytes.error());
    value = referenceValue(*bytes);
    return {};
}

void REDIR_SCARDHANDLE::readFixed(NdrReader& in) {
    Context.readFixed(in);
    cbHandle = in.u32();
    pbHandle = in.u32();
}

std::expected<void, ReturnCode> REDIR_SCARDHANDLE::readDeferred(NdrReader& in) {
    if (cbHandle > range::reference) return std::unexpected(rc::invalid_parameter);
    if (auto context = Context.readDeferred(in); !context) return context;
    if (pbHandle != 0) {
        auto bytes = in.conformant(cbHandle);
        if (!bytes) return std::unexpected(bytes.error());
        value = referenceValue(*bytes);
    }
    if (!in.failed() && value == 0) return std::unexpected(rc::invalid_handle);
    return {};
}

void LengthOrBuffer::encodeFixed(NdrWriter& out) const {
    out.u32(bytes ? static_cast<uint32_t>(bytes->size()) : length);
    out.pointer(bytes.has_value());
}

void LengthOrBuffer::encodeDeferred(NdrWriter& out) const {
    if (bytes) out.conformant(*bytes);
}

void writeReference(NdrWriter& out, bool present) {
    out.u32(present ? 8 : 0);
    out.pointer(present);
}

void writeReferenceBytes(NdrWriter& out, bool present, uint64_t value) {
    if (!present) return;
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    out.conformant(bytes);
}

uint64_t referenceValue(std::span<const uint8_t> bytes) { return utilities::as_u32_le(bytes); }

}  // namespace kx_agent::smartcard
