#include "bench/fake_service.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace kx_agent::bench {
namespace {

constexpr std::string_view kReaders{"Virtual PCD 00 00\0Virtual PCD 00 01\0", 37};
constexpr std::string_view kCardReader{"Virtual PCD 00 00\0", 19};
constexpr BYTE kAtr[] = {0x3B, 0x8A, 0x80, 0x01, 0x00, 0x31, 0xC1, 0x73, 0xC8, 0x40, 0x00};

// pcsc-lite's buffer rules: a null buffer asks for the length, a short one is refused.
LONG deliver(std::string_view data, void* buffer, DWORD* length) {
    if (buffer == nullptr) {
        *length = static_cast<DWORD>(data.size());
        return SCARD_S_SUCCESS;
    }
    if (*length == SCARD_AUTOALLOCATE) {
        void* copy = std::malloc(data.size());
        if (copy == nullptr) return SCARD_E_NO_MEMORY;
        std::memcpy(copy, data.data(), data.size());
        *static_cast<void**>(buffer) = copy;
        *length = static_cast<DWORD>(data.size());
        return SCARD_S_SUCCESS;
    }
    if (*length < data.size()) {
        *length = static_cast<DWORD>(data.size());
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(buffer, data.data(), data.size());
    *length = static_cast<DWORD>(data.size());
    return SCARD_S_SUCCESS;
}

}  // namespace

LONG InstantPcsc::establish_context(DWORD, SCARDCONTEXT* context) {
    *context = kContext;
    return SCARD_S_SUCCESS;
}

LONG InstantPcsc::release_context(SCARDCONTEXT) { return SCARD_S_SUCCESS; }
LONG InstantPcsc::is_valid_context(SCARDCONTEXT) { return SCARD_S_SUCCESS; }
LONG InstantPcsc::cancel(SCARDCONTEXT) { return SCARD_S_SUCCESS; }

LONG InstantPcsc::list_reader_groups(SCARDCONTEXT, char* groups, DWORD* length) {
    return deliver(std::string_view("SCard$DefaultReaders\0\0", 22), groups, length);
}

LONG InstantPcsc::list_readers(SCARDCONTEXT, const char*, char* readers, DWORD* length) {
    return deliver(kReaders, readers, length);
}

LONG InstantPcsc::get_status_change(SCARDCONTEXT, DWORD, SCARD_READERSTATE* states, DWORD count) {
    for (DWORD i = 0; i < count; ++i) {
        const bool first = i == 0;
        states[i].dwEventState = SCARD_STATE_CHANGED |
                                 (first ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY);
        states[i].cbAtr = first ? sizeof kAtr : 0;
        if (first) std::memcpy(states[i].rgbAtr, kAtr, sizeof kAtr);
    }
    return SCARD_S_SUCCESS;
}

LONG InstantPcsc::connect(SCARDCONTEXT, const char*, DWORD, DWORD, SCARDHANDLE* card,
                          DWORD* active_protocol) {
    *card = kCard;
    *active_protocol = SCARD_PROTOCOL_T1;
    return SCARD_S_SUCCESS;
}

LONG InstantPcsc::reconnect(SCARDHANDLE, DWORD, DWORD, DWORD, DWORD* active_protocol) {
    *active_protocol = SCARD_PROTOCOL_T1;
    return SCARD_S_SUCCESS;
}

LONG InstantPcsc::disconnect(SCARDHANDLE, DWORD) { return SCARD_S_SUCCESS; }
LONG InstantPcsc::begin_transaction(SCARDHANDLE) { return SCARD_S_SUCCESS; }
LONG InstantPcsc::end_transaction(SCARDHANDLE, DWORD) { return SCARD_S_SUCCESS; }

LONG InstantPcsc::status(SCARDHANDLE, char* names, DWORD* names_length, DWORD* state,
                         DWORD* protocol, BYTE* atr, DWORD* atr_length) {
    *state = SCARD_PRESENT | SCARD_POWERED | SCARD_NEGOTIABLE;
    *protocol = SCARD_PROTOCOL_T1;
    if (atr != nullptr && *atr_length >= sizeof kAtr) std::memcpy(atr, kAtr, sizeof kAtr);
    *atr_length = sizeof kAtr;
    return deliver(kCardReader, names, names_length);
}

LONG InstantPcsc::free_memory(SCARDCONTEXT, const void* memory) {
    std::free(const_cast<void*>(memory));
    return SCARD_S_SUCCESS;
}

LONG InstantPcsc::transmit(SCARDHANDLE, const SCARD_IO_REQUEST*, const BYTE*, DWORD,
                           SCARD_IO_REQUEST*, BYTE* recv, DWORD* recv_length) {
    static constexpr std::string_view kOk{"\x90\x00", 2};
    return deliver(kOk, recv, recv_length);
}

LONG InstantPcsc::control(SCARDHANDLE, DWORD, const void*, DWORD, void*, DWORD,
                          DWORD* bytes_returned) {
    *bytes_returned = 0;
    return SCARD_S_SUCCESS;
}

LONG InstantPcsc::get_attrib(SCARDHANDLE, DWORD, BYTE* attr, DWORD* attr_length) {
    return deliver(std::string_view("\x01\x00\x00\x00", 4), attr, attr_length);
}

LONG InstantPcsc::set_attrib(SCARDHANDLE, DWORD, const BYTE*, DWORD) { return SCARD_S_SUCCESS; }

}  // namespace kx_agent::bench
