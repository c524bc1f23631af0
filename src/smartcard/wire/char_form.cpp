#include "smartcard/wire/char_form.h"

#include "smartcard/wire/return_codes.h"
#include "utilities.h"

namespace kx_agent::smartcard {

std::expected<std::string, ReturnCode> decodeText(std::span<const uint8_t> bytes, CharForm form) {
    if (form == CharForm::A) return std::string(bytes.begin(), bytes.end());
    auto text = utilities::utf16le_to_utf8(bytes);
    if (!text) return std::unexpected(rc::invalid_parameter);
    return std::move(*text);
}

std::expected<std::vector<uint8_t>, ReturnCode> encodeMultiString(std::string_view utf8,
                                                                  CharForm form,
                                                                  std::size_t endingNuls) {
    const std::size_t ending = endingNuls * unitSize(form);
    if (form == CharForm::A) {
        std::vector<uint8_t> bytes;
        bytes.reserve(utf8.size() + ending);
        bytes.assign(utf8.begin(), utf8.end());
        bytes.resize(utf8.size() + ending);
        return bytes;
    }
    auto bytes = utilities::utf8_to_utf16le(utf8);
    if (!bytes) return std::unexpected(rc::invalid_parameter);
    bytes->resize(bytes->size() + ending);
    return std::move(*bytes);
}

}  // namespace kx_agent::smartcard
