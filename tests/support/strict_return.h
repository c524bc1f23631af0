#pragma once
// A strict reader of call replies as a Windows remote-desktop server decodes them: the
// [MS-RDPEFS] device I/O completion, the [MS-RPCE] 2.2.6 type serialisation headers and the
// call's [MS-RDPESC] _Return, read in NDR from a table of the IDL's field lists. It shares
// nothing with the agent's writer, so a reply the writer gets wrong is refused here.
//
// Refused: a reply whose lengths disagree (OutputBufferLength, ObjectBufferLength, the message
// length), an object buffer that is not a multiple of 8 or that ends inside the structure, any
// bytes after the structure beyond its zero padding to 8, a referent id that is not
// 0x00020000 + 4n in order of appearance, a conformant array whose maximum count is not its
// size field, a value above its [range], and non-zero alignment padding.
#include <cstdint>
#include <expected>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kx_agent::test {

struct DecodedReturn {
    std::string_view layout;  // "Status_Return"
    uint32_t object_buffer_length = 0;
    uint32_t return_code = 0;
    // Every 32-bit field by its path ("cBytes", "hCard.cbHandle", "rgReaderStates[1].cbAtr");
    // a pointer's entry is its referent id, 0 when it is null.
    std::map<std::string, uint32_t> words;
    // Every fixed byte array and every pointed-to byte array that is not null, by its path
    // ("pbAtr", "mszReaderNames", "pioRecvPci.pbExtraBytes").
    std::map<std::string, std::vector<uint8_t>> bytes;

    bool is_null(const std::string& pointer) const { return words.at(pointer) == 0; }
};

// Decodes `reply` (03 03 and the whole device I/O completion, as the agent sends it) as the reply
// to a call of `io_control_code`; the error says what is wrong and where.
std::expected<DecodedReturn, std::string> decode_return(uint32_t io_control_code,
                                                        std::span<const uint8_t> reply);

// The _Return a code is answered with ("Long_Return" for codes [MS-RDPESC] does not define), and
// the code's SCARD_IOCTL_ name (empty when unknown).
std::string_view return_layout(uint32_t io_control_code);
std::string_view ioctl_name(uint32_t io_control_code);

}  // namespace kx_agent::test
