// winscard.dll, the PC/SC service on Windows.
//
// Text goes through the W functions: Windows keeps reader and group names in UTF-16, and its A
// functions pass them through the ANSI code page, which cannot hold every character of every
// name (a reader named in Greek or Japanese would come back as question marks, and a client
// could then not connect to it). The seam speaks UTF-8, which converts to and from UTF-16
// without loss. Text that is not UTF-8 names nothing the service knows and is refused with
// SCARD_E_INVALID_PARAMETER, never passed on altered.
//
// Lengths in the seam count UTF-8 bytes, as pcsc-lite's do: a name is converted first, then
// measured against the caller's buffer. SCARD_AUTOALLOCATE buffers handed out here are the
// agent's own and are released by free_memory; any other memory goes back to winscard.
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "smartcard/pcsc/pcsc_service.h"
#include "smartcard/pcsc/pcsc_stack.h"
#include "smartcard/wire/return_codes.h"

namespace kx_agent::smartcard {
namespace {

constexpr LONG kInvalidParameter = static_cast<LONG>(rc::invalid_parameter.value());
constexpr LONG kInsufficientBuffer = static_cast<LONG>(rc::insufficient_buffer.value());
constexpr LONG kNoMemory = static_cast<LONG>(rc::no_memory.value());

// Every character, embedded NULs included; nullopt when `utf8` is not UTF-8.
std::optional<std::wstring> widen(std::string_view utf8) {
    if (utf8.empty()) return std::wstring();
    if (utf8.size() > INT_MAX) return std::nullopt;
    const int size = static_cast<int>(utf8.size());
    const int units =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (units <= 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(),
                              units) != units)
        return std::nullopt;
    return wide;
}

std::optional<std::string> narrow(std::wstring_view wide) {
    if (wide.empty()) return std::string();
    if (wide.size() > INT_MAX) return std::nullopt;
    const int size = static_cast<int>(wide.size());
    const int bytes = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), size,
                                            nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::nullopt;
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), size, utf8.data(), bytes,
                              nullptr, nullptr) != bytes)
        return std::nullopt;
    return utf8;
}

// A multi-string's characters up to and including the NUL that ends the list.
std::string_view multiString(const char* list) {
    std::size_t length = 0;
    while (list[length] != '\0' || list[length + 1] != '\0') ++length;
    return std::string_view(list, length + 2);
}

class Winscard final : public PcscService {
public:
    LONG list_reader_groups(SCARDCONTEXT context, char* groups, DWORD* length) override {
        wchar_t* list = nullptr;
        DWORD units = SCARD_AUTOALLOCATE;
        LONG result = SCardListReaderGroupsW(context, reinterpret_cast<LPWSTR>(&list), &units);
        return deliverList(result, context, list, units, groups, length);
    }

    LONG list_readers(SCARDCONTEXT context, const char* groups, char* readers,
                      DWORD* length) override {
        std::optional<std::wstring> wideGroups;
        if (groups != nullptr) {
            wideGroups = widen(multiString(groups));
            if (!wideGroups) return kInvalidParameter;
        }
        wchar_t* list = nullptr;
        DWORD units = SCARD_AUTOALLOCATE;
        LONG result = SCardListReadersW(context, wideGroups ? wideGroups->c_str() : nullptr,
                                        reinterpret_cast<LPWSTR>(&list), &units);
        return deliverList(result, context, list, units, readers, length);
    }

    LONG get_status_change(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                           DWORD count) override {
        std::vector<std::wstring> names;
        names.reserve(count);
        for (DWORD i = 0; i < count; ++i) {
            auto name = widen(states[i].szReader != nullptr ? states[i].szReader : "");
            if (!name) return kInvalidParameter;
            names.push_back(std::move(*name));
        }
        std::vector<SCARD_READERSTATEW> wide(count);
        constexpr std::size_t atrSize =
            std::min(sizeof(SCARD_READERSTATE::rgbAtr), sizeof(SCARD_READERSTATEW::rgbAtr));
        for (DWORD i = 0; i < count; ++i) {
            wide[i].szReader = names[i].c_str();
            wide[i].pvUserData = states[i].pvUserData;
            wide[i].dwCurrentState = states[i].dwCurrentState;
            wide[i].dwEventState = states[i].dwEventState;
            wide[i].cbAtr = states[i].cbAtr;
            std::memcpy(wide[i].rgbAtr, states[i].rgbAtr, atrSize);
        }
        LONG result = SCardGetStatusChangeW(context, timeout, wide.data(), count);
        for (DWORD i = 0; i < count; ++i) {
            states[i].dwEventState = wide[i].dwEventState;
            states[i].cbAtr = std::min<DWORD>(wide[i].cbAtr, atrSize);
            std::memcpy(states[i].rgbAtr, wide[i].rgbAtr, atrSize);
        }
        return result;
    }

    LONG connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                 DWORD preferred_protocols, SCARDHANDLE* card, DWORD* active_protocol) override {
        auto name = widen(reader != nullptr ? reader : "");
        if (!name) return kInvalidParameter;
        return SCardConnectW(context, name->c_str(), share_mode, preferred_protocols, card,
                             active_protocol);
    }

    LONG status(SCARDHANDLE card, char* names, DWORD* names_length, DWORD* state, DWORD* protocol,
                BYTE* atr, DWORD* atr_length) override {
        if (names_length == nullptr)
            return SCardStatusW(card, nullptr, nullptr, state, protocol, atr, atr_length);
        // The names' length first, then the names in a buffer of that length. The memory that
        // SCARD_AUTOALLOCATE would give is released through the card's context, which is not
        // known here.
        for (int attempt = 0; attempt < 3; ++attempt) {
            DWORD units = 0;
            DWORD atrLength = atr_length != nullptr ? *atr_length : 0;
            LONG result = SCardStatusW(card, nullptr, &units, state, protocol, atr,
                                       atr_length != nullptr ? &atrLength : nullptr);
            if (result != SCARD_S_SUCCESS) return result;
            if (units > 64 * 1024) return kNoMemory;
            std::wstring wide(static_cast<std::size_t>(units) + 1, L'\0');
            DWORD filled = units;
            if (atr_length != nullptr) atrLength = *atr_length;
            result = SCardStatusW(card, wide.data(), &filled, state, protocol, atr,
                                  atr_length != nullptr ? &atrLength : nullptr);
            if (result == kInsufficientBuffer) continue;
            if (result != SCARD_S_SUCCESS) return result;
            if (atr_length != nullptr) *atr_length = atrLength;
            wide.resize(std::min(filled, units));
            auto utf8 = narrow(wide);
            if (!utf8) return kInvalidParameter;
            return deliver(*utf8, names, names_length);
        }
        return kInsufficientBuffer;
    }

    LONG free_memory(SCARDCONTEXT context, const void* memory) override {
        {
            std::lock_guard lock(mutex_);
            auto own = handedOut_.find(memory);
            if (own != handedOut_.end()) {
                handedOut_.erase(own);
                delete[] static_cast<const char*>(memory);
                return SCARD_S_SUCCESS;
            }
        }
        return SCardFreeMemory(context, memory);
    }

private:
    // A multi-string winscard allocated (`units` UTF-16 units), converted and given to the
    // caller as `deliver` does; winscard's buffer is released either way.
    LONG deliverList(LONG result, SCARDCONTEXT context, wchar_t* list, DWORD units, char* out,
                     DWORD* length) {
        if (result != SCARD_S_SUCCESS) return result;
        std::optional<std::string> utf8 =
            list != nullptr ? narrow(std::wstring_view(list, units)) : std::string();
        if (list != nullptr) SCardFreeMemory(context, list);
        if (!utf8) return kInvalidParameter;
        return deliver(*utf8, out, length);
    }

    // Gives `text` to a caller as PC/SC does: a null buffer asks for the length, a length of
    // SCARD_AUTOALLOCATE asks for a buffer to release with free_memory, and any other length is
    // the size of the caller's buffer.
    LONG deliver(const std::string& text, char* out, DWORD* length) {
        if (length == nullptr) return kInvalidParameter;
        const auto size = static_cast<DWORD>(text.size());
        if (out == nullptr) {
            *length = size;
            return SCARD_S_SUCCESS;
        }
        if (*length == SCARD_AUTOALLOCATE) {
            auto copy = std::make_unique<char[]>(text.size() + 1);
            std::memcpy(copy.get(), text.data(), text.size());
            {
                std::lock_guard lock(mutex_);
                handedOut_.insert(copy.get());
            }
            *reinterpret_cast<char**>(out) = copy.release();
            *length = size;
            return SCARD_S_SUCCESS;
        }
        if (*length < size) {
            *length = size;
            return kInsufficientBuffer;
        }
        std::memcpy(out, text.data(), text.size());
        *length = size;
        return SCARD_S_SUCCESS;
    }

    std::mutex mutex_;
    std::unordered_set<const void*> handedOut_;
};

}  // namespace

Pcsc& system_pcsc() {
    static Winscard service;
    return service;
}

// winscard.dll numbers states, protocols, control codes and return codes as the clients do
// ([MS-RDPESC] is Windows' own numbering) and keeps the PnP reader count: the handlers reach the
// service as it is.
Pcsc& ClientLayers::top() { return service_; }

}  // namespace kx_agent::smartcard
