// The direct path: each call made straight from this process with pcsc-lite, with the
// arguments the agent passes for the relayed form of the same call.
#include <PCSC/winscard.h>

#include <array>

#include "bench/workloads.h"

namespace kx_agent::bench {
namespace {

std::string failed(const char* function, LONG result) {
    return std::string(function) + " failed: " + hex32(static_cast<uint32_t>(result));
}

class DirectContext : public Workload {
public:
    ~DirectContext() override {
        if (context_ != 0) SCardReleaseContext(context_);
    }
    std::expected<void, std::string> open() {
        LONG result = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_);
        if (result != SCARD_S_SUCCESS)
            return std::unexpected(failed("SCardEstablishContext", result));
        return {};
    }

protected:
    SCARDCONTEXT context_ = 0;
};

class EstablishRelease final : public Workload {
public:
    std::expected<void, std::string> once() override {
        SCARDCONTEXT context = 0;
        LONG result = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
        if (result != SCARD_S_SUCCESS)
            return std::unexpected(failed("SCardEstablishContext", result));
        result = SCardReleaseContext(context);
        if (result != SCARD_S_SUCCESS)
            return std::unexpected(failed("SCardReleaseContext", result));
        return {};
    }
};

class ListReaders final : public DirectContext {
public:
    std::expected<void, std::string> once() override {
        DWORD length = kReaderListSize;
        LONG result = SCardListReaders(context_, nullptr, names_.data(), &length);
        if (result != SCARD_S_SUCCESS) return std::unexpected(failed("SCardListReaders", result));
        return {};
    }

private:
    std::array<char, kReaderListSize> names_{};
};

class StatusChange final : public DirectContext {
public:
    std::expected<void, std::string> once() override {
        // Every known state SCARD_STATE_UNAWARE, as the relayed call sends them: PC/SC answers
        // at once with the current states.
        for (std::size_t i = 0; i < states_.size(); ++i) {
            states_[i] = SCARD_READERSTATE{};
            states_[i].szReader = i == 0 ? kReaderOne.c_str() : kReaderTwo.c_str();
        }
        LONG result = SCardGetStatusChange(context_, 0, states_.data(), states_.size());
        if (result != SCARD_S_SUCCESS)
            return std::unexpected(failed("SCardGetStatusChange", result));
        return {};
    }

private:
    std::array<SCARD_READERSTATE, 2> states_{};
};

class Status final : public DirectContext {
public:
    ~Status() override {
        if (card_ != 0) SCardDisconnect(card_, SCARD_LEAVE_CARD);
    }
    std::expected<void, std::string> connect() {
        DWORD protocol = 0;
        LONG result = SCardConnect(context_, kReaderOne.c_str(), SCARD_SHARE_SHARED,
                                   SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_, &protocol);
        if (result != SCARD_S_SUCCESS) return std::unexpected(failed("SCardConnect", result));
        return {};
    }
    std::expected<void, std::string> once() override {
        // The names allocated by PC/SC (SCARD_AUTOALLOCATE) and a 32-byte ATR buffer, as the
        // agent asks for them.
        char* names = nullptr;
        DWORD names_length = SCARD_AUTOALLOCATE;
        DWORD state = 0;
        DWORD protocol = 0;
        std::array<BYTE, 32> atr{};
        DWORD atr_length = atr.size();
        LONG result = SCardStatus(card_, reinterpret_cast<char*>(&names), &names_length, &state,
                                  &protocol, atr.data(), &atr_length);
        if (result != SCARD_S_SUCCESS) return std::unexpected(failed("SCardStatus", result));
        SCardFreeMemory(context_, names);
        return {};
    }

private:
    SCARDHANDLE card_ = 0;
};

template <class T>
std::expected<std::unique_ptr<Workload>, std::string> with_context() {
    auto workload = std::make_unique<T>();
    if (auto opened = workload->open(); !opened) return std::unexpected(opened.error());
    return workload;
}

}  // namespace

std::expected<std::unique_ptr<Workload>, std::string> direct_workload(CallKind kind) {
    switch (kind) {
    case CallKind::Handshake:
        return std::unexpected(std::string("the handshake has no direct form"));
    case CallKind::EstablishRelease: return std::make_unique<EstablishRelease>();
    case CallKind::ListReaders: return with_context<ListReaders>();
    case CallKind::StatusChange: return with_context<StatusChange>();
    case CallKind::Status: {
        auto workload = std::make_unique<Status>();
        if (auto opened = workload->open(); !opened) return std::unexpected(opened.error());
        if (auto connected = workload->connect(); !connected)
            return std::unexpected(connected.error());
        return workload;
    }
    }
    return std::unexpected(std::string("unknown call"));
}

}  // namespace kx_agent::bench
