#include "smartcard/char_form.h"

#include <algorithm>
#include <span>

#include "smartcard/ndr.h"
#include "utilities.h"

namespace kx_agent::smartcard {
namespace {

// UTF-8 of `bytes` in `form`, all NULs kept.
std::expected<std::string, uint32_t> toUtf8(std::span<const uint8_t> bytes, CharForm form) {
    if (form == CharForm::A) return std::string(bytes.begin(), bytes.end());
    auto text = utilities::utf16le_to_utf8(bytes);
    if (!text) return std::unexpected(rc::invalid_parameter);
    return std::move(*text);
}

}  // namespace

std::expected<std::string, uint32_t> readString(data_view::DataView& request, CharForm form) {
    request.skipPositionRead(8);  // maximum count and offset
    uint32_t count = request.getLittleEndian32();
    uint64_t size = uint64_t{count} * unitSize(form);
    // Checked before anything is taken: a count beyond the message fails the view.
    if (request.failed() || size > request.remaining()) {
        request.skipPositionRead(-1);
        return std::unexpected(rc::invalid_parameter);
    }
    auto bytes = request.getSpan(static_cast<std::size_t>(size));
    request.skipPositionRead(static_cast<int32_t>(padding(bytes.size(), 4)));
    if (request.failed()) return std::unexpected(rc::invalid_parameter);

    // The name ends at its first NUL, or with its last character when it carries none.
    std::size_t unit = unitSize(form);
    std::size_t end = 0;
    while (end + unit <= bytes.size() &&
           !std::all_of(bytes.begin() + end, bytes.begin() + end + unit,
                        [](uint8_t b) { return b == 0; }))
        end += unit;
    return toUtf8(bytes.first(end), form);
}

std::expected<std::string, uint32_t> readMultiString(data_view::DataView& request, CharForm form) {
    uint32_t count = request.getLittleEndian32();
    if (request.failed() || count > request.remaining()) {
        request.skipPositionRead(-1);
        return std::unexpected(rc::invalid_parameter);
    }
    return toUtf8(request.getSpan(count), form);
}

std::expected<std::vector<uint8_t>, uint32_t> encodeMultiString(std::string_view utf8,
                                                                 CharForm form) {
    if (form == CharForm::A) return std::vector<uint8_t>(utf8.begin(), utf8.end());
    auto bytes = utilities::utf8_to_utf16le(utf8);
    if (!bytes) return std::unexpected(rc::invalid_parameter);
    return std::move(*bytes);
}

}  // namespace kx_agent::smartcard
