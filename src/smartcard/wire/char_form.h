#pragma once
// The two character forms of the [MS-RDPESC] calls that carry text.
//
// The A form carries 8-bit characters, passed to and from pcsc-lite as they are. The W form
// carries UTF-16LE: a string is an NDR conformant varying string counted in 16-bit units, a
// multi-string a byte array whose count is in bytes. Text is read into the UTF-8 that pcsc-lite
// speaks at the edge of a call and written back in the caller's form at the edge, so that each
// handler is written once with the form as a parameter. A W text that does not convert (an
// unpaired surrogate, an odd byte count) is SCARD_E_INVALID_PARAMETER: a name is never passed on
// cut short or altered.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "smartcard/wire/return_codes.h"

namespace kx_agent::smartcard {

enum class CharForm { A, W };

// Bytes of one character on the wire.
constexpr std::size_t unitSize(CharForm form) { return form == CharForm::W ? 2 : 1; }

// UTF-8 of text carried in `form`, all NULs kept: A bytes as they are, W as UTF-16LE. W that
// does not convert gives SCARD_E_INVALID_PARAMETER.
std::expected<std::string, ReturnCode> decodeText(std::span<const uint8_t> bytes, CharForm form);

// The bytes that carry a UTF-8 multi-string (NULs included) in `form`: A unchanged, W as
// UTF-16LE, twice as many bytes per unit, then `endingNuls` NULs more. UTF-8 that does not
// convert gives SCARD_E_INVALID_PARAMETER for W.
std::expected<std::vector<uint8_t>, ReturnCode> encodeMultiString(std::string_view utf8,
                                                                  CharForm form,
                                                                  std::size_t endingNuls = 0);

}  // namespace kx_agent::smartcard
