#include "fake_pcsc.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace kx_agent::test {

namespace {
std::atomic<FakePcsc*> latest{nullptr};
}  // namespace

FakePcsc::FakePcsc(bool installed) : installed_(installed) {
    if (installed_) previous_ = latest.exchange(this);
}

FakePcsc::~FakePcsc() {
    if (installed_) latest.store(previous_);
}

FakePcsc* FakePcsc::installed() { return latest.load(); }

std::size_t FakePcsc::count(const std::string& function) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::ranges::count(calls, function, &PcscCall::function));
}

const PcscCall* FakePcsc::last(const std::string& function) const {
    std::lock_guard lock(mutex_);
    for (auto it = calls.rbegin(); it != calls.rend(); ++it)
        if (it->function == function) return &*it;
    return nullptr;
}

LONG FakePcsc::scripted(std::string_view function) const {
    std::unique_lock lock(mutex_, std::defer_lock);
    if (keep_calls) lock.lock();
    if (results.empty()) return SCARD_S_SUCCESS;
    auto it = results.find(std::string(function));
    return it == results.end() ? SCARD_S_SUCCESS : it->second;
}

LONG FakePcsc::record(PcscCall call) {
    if (!keep_calls) return scripted(call.function);
    std::lock_guard lock(mutex_);
    auto it = results.find(call.function);
    calls.push_back(std::move(call));
    return it == results.end() ? SCARD_S_SUCCESS : it->second;
}

LONG FakePcsc::record(std::string_view function, uint64_t target,
                      std::initializer_list<uint64_t> args, std::string_view text) {
    if (!keep_calls) return scripted(function);
    return record(PcscCall{std::string(function), target, args, std::string(text), {}});
}

LONG FakePcsc::deliver(std::string_view function, const void* data, std::size_t size, void* buffer,
                       DWORD* length) {
    (void)function;
    DWORD needed = static_cast<DWORD>(size);
    if (*length == SCARD_AUTOALLOCATE && buffer != nullptr) {
        char* block = static_cast<char*>(std::malloc(std::max<std::size_t>(size, 1)));
        if (size > 0) std::memcpy(block, data, size);
        *static_cast<char**>(buffer) = block;
        ++allocations_;
    } else if (buffer != nullptr) {
        if (*length < needed) {
            *length = needed;
            return SCARD_E_INSUFFICIENT_BUFFER;
        }
        if (size > 0) std::memcpy(buffer, data, size);
    }
    *length = reported_length.value_or(needed);
    return SCARD_S_SUCCESS;
}

LONG FakePcsc::establish_context(DWORD scope, SCARDCONTEXT* out) {
    LONG result = record("establish_context", 0, {scope});
    if (result == SCARD_S_SUCCESS) *out = context;
    return result;
}

LONG FakePcsc::release_context(SCARDCONTEXT c) {
    return record("release_context", static_cast<uint64_t>(c), {});
}

LONG FakePcsc::is_valid_context(SCARDCONTEXT c) {
    return record("is_valid_context", static_cast<uint64_t>(c), {});
}

LONG FakePcsc::cancel(SCARDCONTEXT c) { return record("cancel", static_cast<uint64_t>(c), {}); }

LONG FakePcsc::list_reader_groups(SCARDCONTEXT c, char* buffer, DWORD* length) {
    LONG result = record("list_reader_groups", static_cast<uint64_t>(c),
                         {buffer == nullptr ? 0u : 1u, *length});
    if (result != SCARD_S_SUCCESS) return result;
    return deliver("list_reader_groups", groups.data(), groups.size(), buffer, length);
}

LONG FakePcsc::list_readers(SCARDCONTEXT c, const char* groups, char* buffer, DWORD* length) {
    LONG result = record("list_readers", static_cast<uint64_t>(c),
                         {groups == nullptr ? 0u : 1u, buffer == nullptr ? 0u : 1u, *length});
    if (result != SCARD_S_SUCCESS) return result;
    return deliver("list_readers", readers.data(), readers.size(), buffer, length);
}

LONG FakePcsc::get_status_change(SCARDCONTEXT c, DWORD timeout, SCARD_READERSTATE* states,
                                 DWORD n) {
    LONG result = scripted("get_status_change");
    if (keep_calls) {
        PcscCall call{"get_status_change", static_cast<uint64_t>(c), {timeout, n}, {}, {}};
        for (DWORD i = 0; i < n; ++i) {
            if (i > 0) call.text += '|';
            call.text += states[i].szReader != nullptr ? states[i].szReader : "(null)";
            call.args.push_back(states[i].dwCurrentState);
            call.args.push_back(states[i].dwEventState);
            call.args.push_back(states[i].cbAtr);
            call.data.insert(call.data.end(), states[i].rgbAtr, states[i].rgbAtr + states[i].cbAtr);
        }
        result = record(std::move(call));
    }
    if (result != SCARD_S_SUCCESS) return result;
    for (DWORD i = 0; i < n; ++i) {
        states[i].dwEventState =
            event_state.value_or(states[i].dwCurrentState | SCARD_STATE_CHANGED);
        std::size_t size = std::min(atr.size(), sizeof states[i].rgbAtr);
        std::memset(states[i].rgbAtr, 0, sizeof states[i].rgbAtr);
        std::memcpy(states[i].rgbAtr, atr.data(), size);
        states[i].cbAtr = static_cast<DWORD>(size);
    }
    return result;
}

LONG FakePcsc::connect(SCARDCONTEXT c, const char* reader, DWORD share_mode,
                       DWORD preferred_protocols, SCARDHANDLE* out, DWORD* protocol) {
    LONG result = record("connect", static_cast<uint64_t>(c), {share_mode, preferred_protocols},
                         reader != nullptr ? reader : "(null)");
    if (result == SCARD_S_SUCCESS) {
        *out = card;
        *protocol = active_protocol;
    }
    return result;
}

LONG FakePcsc::reconnect(SCARDHANDLE h, DWORD share_mode, DWORD preferred_protocols,
                         DWORD initialization, DWORD* protocol) {
    LONG result = record("reconnect", static_cast<uint64_t>(h),
                         {share_mode, preferred_protocols, initialization});
    if (result == SCARD_S_SUCCESS) *protocol = active_protocol;
    return result;
}

LONG FakePcsc::disconnect(SCARDHANDLE h, DWORD disposition) {
    return record("disconnect", static_cast<uint64_t>(h), {disposition});
}

LONG FakePcsc::begin_transaction(SCARDHANDLE h) {
    return record("begin_transaction", static_cast<uint64_t>(h), {});
}

LONG FakePcsc::end_transaction(SCARDHANDLE h, DWORD disposition) {
    return record("end_transaction", static_cast<uint64_t>(h), {disposition});
}

LONG FakePcsc::status(SCARDHANDLE h, char* names, DWORD* names_length, DWORD* state,
                      DWORD* protocol, BYTE* atr_out, DWORD* atr_length) {
    LONG result = record("status", static_cast<uint64_t>(h),
                         {names == nullptr ? 0u : 1u, *names_length, *atr_length});
    if (result != SCARD_S_SUCCESS) return result;
    result = deliver("status", status_names.data(), status_names.size(), names, names_length);
    if (result != SCARD_S_SUCCESS) return result;
    *state = status_state;
    *protocol = active_protocol;
    if (atr_out != nullptr) {
        std::size_t size = std::min<std::size_t>(atr.size(), *atr_length);
        std::memcpy(atr_out, atr.data(), size);
        *atr_length = static_cast<DWORD>(size);
    }
    return result;
}

LONG FakePcsc::free_memory(SCARDCONTEXT c, const void* memory) {
    record("free_memory", static_cast<uint64_t>(c), {});
    if (memory != nullptr && allocations_ > 0) --allocations_;
    std::free(const_cast<void*>(memory));
    return SCARD_S_SUCCESS;
}

LONG FakePcsc::transmit(SCARDHANDLE h, const SCARD_IO_REQUEST* send_pci, const BYTE* send,
                        DWORD send_length, SCARD_IO_REQUEST* recv_pci, BYTE* recv,
                        DWORD* recv_length) {
    LONG result = scripted("transmit");
    if (keep_calls) {
        PcscCall call{"transmit",
                      static_cast<uint64_t>(h),
                      {send_pci->dwProtocol, send_pci->cbPciLength, send_length,
                       recv_pci == nullptr ? 0u : 1u, recv == nullptr ? 0u : 1u, *recv_length},
                      {},
                      {}};
        if (send != nullptr) call.data.assign(send, send + send_length);
        result = record(std::move(call));
    }
    if (result != SCARD_S_SUCCESS) return result;
    if (recv_pci != nullptr) {
        if (recv_pci_length) recv_pci->cbPciLength = *recv_pci_length;
        std::size_t room =
            recv_pci->cbPciLength > sizeof *recv_pci ? recv_pci->cbPciLength - sizeof *recv_pci : 0;
        std::size_t extra = std::min(room, recv_pci_extra.size());
        if (extra > 0) std::memcpy(recv_pci + 1, recv_pci_extra.data(), extra);
    }
    if (recv == nullptr) {
        if (reported_length) *recv_length = *reported_length;
        return result;
    }
    return deliver("transmit", response.data(), response.size(), recv, recv_length);
}

LONG FakePcsc::control(SCARDHANDLE h, DWORD control_code, const void* in, DWORD in_length,
                       void* out, DWORD out_length, DWORD* bytes_returned) {
    LONG result = scripted("control");
    if (keep_calls) {
        PcscCall call{"control",
                      static_cast<uint64_t>(h),
                      {control_code, in_length, out == nullptr ? 0u : 1u, out_length},
                      {},
                      {}};
        if (in != nullptr) {
            auto* bytes = static_cast<const uint8_t*>(in);
            call.data.assign(bytes, bytes + in_length);
        }
        result = record(std::move(call));
    }
    if (result != SCARD_S_SUCCESS) return result;
    DWORD length = out_length;
    result = deliver("control", control_out.data(), control_out.size(), out, &length);
    *bytes_returned = length;
    return result;
}

LONG FakePcsc::get_attrib(SCARDHANDLE h, DWORD attr_id, BYTE* attr, DWORD* attr_length) {
    LONG result = record("get_attrib", static_cast<uint64_t>(h),
                         {attr_id, attr == nullptr ? 0u : 1u, *attr_length});
    if (result != SCARD_S_SUCCESS) return result;
    return deliver("get_attrib", attribute.data(), attribute.size(), attr, attr_length);
}

LONG FakePcsc::set_attrib(SCARDHANDLE h, DWORD attr_id, const BYTE* attr, DWORD attr_length) {
    if (!keep_calls) return scripted("set_attrib");
    PcscCall call{"set_attrib",
                  static_cast<uint64_t>(h),
                  {attr_id, attr == nullptr ? 0u : 1u, attr_length},
                  {},
                  {}};
    if (attr != nullptr) call.data.assign(attr, attr + attr_length);
    return record(std::move(call));
}

}  // namespace kx_agent::test
