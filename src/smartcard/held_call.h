#pragma once
// A decoded call held without its type: the family's XCall as its decoder made it
// (smartcard/calls/call.h), or the code the call is answered with without being carried out.
//
// The call lives in the holder's own bytes, so that decoding a call allocates nothing beyond
// what the XCall's own fields hold. Moving the holder moves the call; the holder destroys it.
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "smartcard/wire/return_codes.h"

namespace kx_agent::smartcard {

class HeldCall {
public:
    HeldCall() = default;
    HeldCall(HeldCall&& other) noexcept { take(other); }
    HeldCall& operator=(HeldCall&& other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    HeldCall(const HeldCall&) = delete;
    HeldCall& operator=(const HeldCall&) = delete;
    ~HeldCall() { reset(); }

    template <class Call>
    void emplace(Call&& call) {
        using Held = std::remove_cvref_t<Call>;
        static_assert(sizeof(Held) <= kSize && alignof(Held) <= alignof(std::max_align_t),
                      "a call larger than HeldCall's room: raise kSize");
        static_assert(std::is_nothrow_move_constructible_v<Held>);
        reset();
        ::new (static_cast<void*>(bytes_)) Held(std::forward<Call>(call));
        ops_ = &kOps<Held>;
    }
    // The call emplaced as `Call`.
    template <class Call>
    const Call& get() const {
        return *std::launder(reinterpret_cast<const Call*>(bytes_));
    }

    // A call that cannot be carried out: `code` (never 0) is its ReturnCode.
    void refuse(ReturnCode code) {
        reset();
        refused_ = code;
    }
    ReturnCode refused() const { return refused_; }

private:
    static constexpr std::size_t kSize = 160;  // TransmitCall, the largest, takes 152

    struct Ops {
        void (*move)(void* from, void* to) noexcept;  // into raw bytes; `from` is destroyed
        void (*destroy)(void* at) noexcept;
    };
    template <class Call>
    static constexpr Ops kOps{
        [](void* from, void* to) noexcept {
            auto* call = std::launder(static_cast<Call*>(from));
            ::new (to) Call(std::move(*call));
            call->~Call();
        },
        [](void* at) noexcept { std::launder(static_cast<Call*>(at))->~Call(); },
    };

    void reset() {
        if (ops_ != nullptr) ops_->destroy(bytes_);
        ops_ = nullptr;
        refused_ = ReturnCode();
    }
    void take(HeldCall& other) {
        if (other.ops_ != nullptr) other.ops_->move(other.bytes_, bytes_);
        ops_ = std::exchange(other.ops_, nullptr);
        refused_ = std::exchange(other.refused_, ReturnCode());
    }

    alignas(std::max_align_t) std::byte bytes_[kSize];
    const Ops* ops_ = nullptr;  // how to move and destroy the call held; null: none
    ReturnCode refused_;
};

}  // namespace kx_agent::smartcard
