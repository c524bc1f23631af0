#include "smartcard/pcsc/pnp_reader_count.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "smartcard/pcsc/reader_list.h"
#include "smartcard/wire/return_codes.h"

namespace kx_agent::smartcard {
namespace {

constexpr uint32_t kStateChanged = 0x0002;  // SCARD_STATE_CHANGED
constexpr std::string_view kPnpNotification = "\\\\?PnP?\\Notification";

// The number of readers the service knows now.
std::expected<uint32_t, LONG> readerCount(Pcsc& service, SCARDCONTEXT context) {
    auto list = listOf(service, context, ListOf::readers);
    if (!list && ReturnCode::of(list.error()) == rc::no_readers_available) return 0;
    if (!list) return std::unexpected(list.error());
    uint32_t count = 0;
    std::string_view rest(*list);
    while (!rest.empty() && rest.front() != '\0') {
        ++count;
        std::size_t end = rest.find('\0');
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    return count;
}

bool isPnpNotification(const SCARD_READERSTATE& state) {
    return state.szReader != nullptr && kPnpNotification == state.szReader;
}

}  // namespace

LONG pnpStatusChange(Pcsc& service, SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                     DWORD count) {
    std::span<SCARD_READERSTATE> entries(states, count);
    auto pnp = [&](auto&& each) {
        for (SCARD_READERSTATE& entry : entries)
            if (isPnpNotification(entry)) each(entry);
    };
    bool hasPnp = std::ranges::any_of(entries, isPnpNotification);
    if (!hasPnp) return service.get_status_change(context, timeout, states, count);

    auto before = readerCount(service, context);
    if (!before) return before.error();
    bool differs = false;
    pnp([&](SCARD_READERSTATE& entry) {
        differs |= static_cast<uint32_t>(entry.dwCurrentState >> 16) != *before;
    });

    // The client's known states, kept to be restored: the service is told the count it has now,
    // so that it waits for the next reader to come or go.
    std::vector<DWORD> known;
    pnp([&](SCARD_READERSTATE& entry) {
        known.push_back(entry.dwCurrentState);
        entry.dwCurrentState = (entry.dwCurrentState & 0xFFFF) | DWORD{*before} << 16;
    });
    // A client that knows another count is answered at once, with the other readers' states as
    // they are now.
    LONG result = service.get_status_change(context, differs ? 0 : timeout, states, count);
    std::size_t k = 0;
    pnp([&](SCARD_READERSTATE& entry) { entry.dwCurrentState = known[k++]; });
    if (differs && static_cast<uint32_t>(result) == static_cast<uint32_t>(SCARD_E_TIMEOUT))
        result = SCARD_S_SUCCESS;
    if (result != SCARD_S_SUCCESS) return result;

    auto after = differs ? before : readerCount(service, context);
    if (!after) return after.error();
    pnp([&](SCARD_READERSTATE& entry) {
        bool changed = static_cast<uint32_t>(entry.dwCurrentState >> 16) != *after;
        entry.dwEventState = DWORD{*after} << 16 | (changed ? kStateChanged : 0);
        entry.cbAtr = 0;
        std::memset(entry.rgbAtr, 0, sizeof entry.rgbAtr);
    });
    return SCARD_S_SUCCESS;
}

}  // namespace kx_agent::smartcard
