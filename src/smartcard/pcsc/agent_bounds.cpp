#include "smartcard/pcsc/agent_bounds.h"

#include <string>

#include "agent_limits.h"
#include "diagnostics.h"

namespace kx_agent::smartcard {

std::size_t AgentBounds::contexts() const {
    std::lock_guard lock(mutex_);
    return contexts_.size() + establishing_;
}

std::size_t AgentBounds::cards() const {
    std::lock_guard lock(mutex_);
    return cards_.size() + connecting_;
}

void AgentBounds::say_bound_locked(bool reached, bool& said, const char* what, std::size_t bound) {
    if (reached == said) return;
    said = reached;
    // A line, not one per refused call: a page in a loop must not flood the output.
    if (reached)
        diagnostics::out(std::string("PC/SC bound reached: ") + std::to_string(bound) + " " + what +
                         " are held through the agent; more are answered SCARD_E_NO_MEMORY");
    else diagnostics::out(std::string("PC/SC ") + what + " below the bound again");
}

void AgentBounds::say_left_locked() {
    if (said_contexts_ && contexts_.size() + establishing_ < limits().contexts)
        say_bound_locked(false, said_contexts_, "contexts", limits().contexts);
    if (said_cards_ && cards_.size() + connecting_ < limits().cards)
        say_bound_locked(false, said_cards_, "card handles", limits().cards);
}

void AgentBounds::forget_card_locked(SCARDHANDLE card) {
    auto it = cards_.find(card);
    if (it == cards_.end()) return;
    if (auto owner = contexts_.find(it->second); owner != contexts_.end() && owner->second > 0)
        --owner->second;
    cards_.erase(it);
}

void AgentBounds::forget_context_locked(SCARDCONTEXT context) {
    if (contexts_.erase(context) == 0) return;
    std::erase_if(cards_, [context](const auto& card) { return card.second == context; });
}

LONG AgentBounds::establish_context(DWORD scope, SCARDCONTEXT* context) {
    const std::size_t bound = limits().contexts;
    {
        std::lock_guard lock(mutex_);
        const bool full = contexts_.size() + establishing_ >= bound;
        say_bound_locked(full, said_contexts_, "contexts", bound);
        if (full) return SCARD_E_NO_MEMORY;
        ++establishing_;
    }
    const LONG result = inner_.establish_context(scope, context);
    std::lock_guard lock(mutex_);
    --establishing_;
    if (result == SCARD_S_SUCCESS) {
        forget_context_locked(*context);  // a value the service hands out again is a new context
        contexts_.emplace(*context, 0);
    }
    return result;
}

LONG AgentBounds::release_context(SCARDCONTEXT context) {
    const LONG result = inner_.release_context(context);
    // Whatever the outcome, the client is done with it: a context the service no longer knows
    // (pcscd restarted) must not hold a place for ever. The service drops its card handles.
    std::lock_guard lock(mutex_);
    forget_context_locked(context);
    say_left_locked();
    return result;
}

LONG AgentBounds::connect(SCARDCONTEXT context, const char* reader, DWORD share_mode,
                          DWORD preferred_protocols, SCARDHANDLE* card, DWORD* active_protocol) {
    const std::size_t per_context = limits().cards_per_context;
    const std::size_t bound = limits().cards;
    bool counted = false;  // a place taken on the context
    {
        std::lock_guard lock(mutex_);
        const bool full = cards_.size() + connecting_ >= bound;
        say_bound_locked(full, said_cards_, "card handles", bound);
        auto it = contexts_.find(context);
        if (full || (it != contexts_.end() && it->second >= per_context)) return SCARD_E_NO_MEMORY;
        ++connecting_;
        if (it != contexts_.end()) {
            ++it->second;
            counted = true;
        }
    }
    const LONG result =
        inner_.connect(context, reader, share_mode, preferred_protocols, card, active_protocol);
    std::lock_guard lock(mutex_);
    --connecting_;
    // The context may have been released meanwhile (another thread's call): look it up again.
    auto it = contexts_.find(context);
    if (result != SCARD_S_SUCCESS) {
        if (counted && it != contexts_.end() && it->second > 0) --it->second;
        return result;
    }
    if (!counted && it != contexts_.end()) ++it->second;  // established meanwhile
    if (it == contexts_.end()) return result;  // not a context of the agent's: the service's word
    forget_card_locked(*card);  // a handle value handed out again: the old one is gone
    cards_.emplace(*card, context);
    return result;
}

LONG AgentBounds::disconnect(SCARDHANDLE card, DWORD disposition) {
    const LONG result = inner_.disconnect(card, disposition);
    // A disposition the service refuses leaves the handle connected; any other outcome ends it
    // (or finds it ended already).
    if (result == SCARD_E_INVALID_VALUE || result == SCARD_E_INVALID_PARAMETER) return result;
    std::lock_guard lock(mutex_);
    forget_card_locked(card);
    say_left_locked();
    return result;
}

}  // namespace kx_agent::smartcard
