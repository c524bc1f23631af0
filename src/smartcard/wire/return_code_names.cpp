#include "smartcard/wire/return_code_names.h"

#include "smartcard/wire/return_codes.h"

#include <algorithm>
#include <cstdio>

namespace kx_agent::smartcard {

std::string returnCodeName(uint32_t code) {
    const auto found = std::ranges::lower_bound(kReturnCodes, code, {}, &ReturnCodeName::code);
    if (found != kReturnCodes.end() && found->code == code) return std::string(found->name);
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

}  // namespace kx_agent::smartcard
