// The reader and group lists as PC/SC gives them (smartcard/pcsc/reader_list.h).
#include "smartcard/pcsc/reader_list.h"

#include <algorithm>
#include <array>
#include <vector>

#include "smartcard/wire/return_codes.h"

namespace kx_agent::smartcard {

std::expected<std::string, LONG> listOf(Pcsc& service, SCARDCONTEXT context, ListOf what) {
    auto ask = [&](char* buffer, DWORD* length) {
        return what == ListOf::readers ? service.list_readers(context, nullptr, buffer, length)
                                       : service.list_reader_groups(context, buffer, length);
    };
    // The first try on the stack, which holds the usual list; the buffers start zeroed, so that a
    // service that writes less than the length it gives sends no stale bytes.
    std::array<char, kLargestList> first{};
    std::vector<char> larger;
    DWORD room = kLargestList;
    for (int attempt = 0; attempt < 3; ++attempt) {
        char* buffer = first.data();
        if (room > first.size()) {
            larger.assign(room, 0);
            buffer = larger.data();
        }
        DWORD length = room;
        LONG result = ask(buffer, &length);
        if (result == SCARD_S_SUCCESS) {
            if (length > kMaxList) return std::unexpected(static_cast<LONG>(rc::no_memory.value()));
            // A length beyond the buffer cannot have been written into it.
            if (length > room)
                return std::unexpected(static_cast<LONG>(rc::insufficient_buffer.value()));
            return std::string(buffer, length);
        }
        if (ReturnCode::of(result) != rc::insufficient_buffer) return std::unexpected(result);
        // pcsc-lite answers a buffer that is too short with the length it needs; a service that
        // does not is asked for it. A list that grows in between is asked again.
        if (length <= room) {
            length = 0;
            result = ask(nullptr, &length);
            if (result != SCARD_S_SUCCESS) return std::unexpected(result);
        }
        if (length > kMaxList) return std::unexpected(static_cast<LONG>(rc::no_memory.value()));
        room = std::max<DWORD>(length, 1);
    }
    return std::unexpected(static_cast<LONG>(rc::insufficient_buffer.value()));
}

}  // namespace kx_agent::smartcard
