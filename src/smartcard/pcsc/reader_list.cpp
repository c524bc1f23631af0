// The reader and group lists as PC/SC gives them (smartcard/pcsc/reader_list.h).
#include "smartcard/pcsc/reader_list.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "smartcard/wire/return_codes.h"

namespace kx_agent::smartcard {

namespace {

// The list as `take` makes it from the bytes PC/SC wrote (a std::expected with a LONG error).
template <class Take>
auto listThrough(Pcsc& service, SCARDCONTEXT context, ListOf what, Take take)
    -> decltype(take(std::string_view{})) {
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
            return take(std::string_view(buffer, length));
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

}  // namespace

std::expected<std::string, LONG> listOf(Pcsc& service, SCARDCONTEXT context, ListOf what) {
    return listThrough(service, context, what,
                       [](std::string_view list) -> std::expected<std::string, LONG> {
                           return std::string(list);
                       });
}

std::expected<std::vector<uint8_t>, LONG> listIn(Pcsc& service, SCARDCONTEXT context, ListOf what,
                                                 CharForm form) {
    return listThrough(service, context, what,
                       [form](std::string_view list) -> std::expected<std::vector<uint8_t>, LONG> {
                           auto bytes = encodeMultiString(list, form);
                           if (!bytes)
                               return std::unexpected(static_cast<LONG>(bytes.error().value()));
                           return std::move(*bytes);
                       });
}

}  // namespace kx_agent::smartcard
