#include "server/relay.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <variant>
#include <vector>

#include "agent_limits.h"
#include "data_view.h"
#include "diagnostics.h"
#include "platform/wakeup.h"
#include "server/call_scheduler.h"
#include "server/process.h"
#include "server/text_log.h"
#include "smartcard/pcsc.h"
#include "smartcard/smartcard.h"
#include "velkin/http/websocket.h"
#include "velkin/platform/socket.h"
#include "velkin/string.h"

namespace kx_agent::server {
namespace {

namespace http = vornic::velkin::http;
namespace net = vornic::velkin::net;
namespace websocket = vornic::velkin::http::websocket;

enum class Mode { strict, concurrent };
// How a loop over the connection ended: the relay is over (with the result to return), or the
// client's handshake asked for the other mode.
using Outcome = std::variant<http::IoResult<void>, Mode>;

constexpr uint32_t kNoMemory = 0x80100006;  // SCARD_E_NO_MEMORY
constexpr std::size_t kCallHead = 14;       // 03 03, IoControlCode, DeviceId, CompletionId

// The calls of a connection that takes replies in any order. Only the relay thread writes to the
// socket: workers hand their replies over and wake it.
class ConcurrentCalls {
public:
    ConcurrentCalls(smartcard::ConnectionScope& scope, uint64_t connection,
                    const smartcard::Services& services)
        : scope_(scope), connection_(connection), services_(services) {}
    // The connection ends (unless drained): waiting calls are dropped, running ones cancelled,
    // and the connection's transactions ended before the running calls are waited for: one of
    // them may wait for the card that a transaction of this connection holds.
    ~ConcurrentCalls() {
        if (in_flight_ == 0) return;
        scope_.end_calls();
        const auto running = scheduler_.drop_waiting();
        for (uint64_t context : running) scope_.cancel(context);
        scope_.end_transactions(running);
        scheduler_.wait_idle();
    }
    ConcurrentCalls(const ConcurrentCalls&) = delete;
    ConcurrentCalls& operator=(const ConcurrentCalls&) = delete;

    bool valid() const { return wake_.valid(); }
    bool full() const { return in_flight_ >= limits().calls_in_flight; }
    // Waits for the next message (unless full) or for replies that are ready.
    // With nothing in flight no reply can come: the socket's read (and its idle limit) waits.
    std::expected<platform::Wakeup::Ready, int> wait(net::sys::Socket socket) {
        if (in_flight_ == 0) return platform::Wakeup::Ready{.socket = true, .woken = false};
        return wake_.wait(socket, !full());
    }

    void submit(std::vector<uint8_t> message) {
        const auto order = smartcard::callOrder(message);
        CallScheduler::Lane lane;
        if (order.kind == smartcard::CallOrder::Kind::context) lane = order.context;
        // Taken as the call is read: a cancel read after it ends it, also while it is queued.
        const uint64_t arrival = smartcard::ConnectionScope::arrive();
        std::array<uint8_t, kCallHead> head{};
        std::copy_n(message.begin(), std::min(message.size(), head.size()), head.begin());
        ++in_flight_;
        const bool taken = scheduler_.submit(lane, [this, arrival, message = std::move(message)] {
            smartcard::ConnectionScope::Binding binding(scope_, arrival);
            std::vector<uint8_t> reply;
            data_view::DataView view(reply, 0);
            process_call(connection_, message, view, services_);
            deliver(std::move(reply));
        });
        if (!taken) deliver(refusal(head, kNoMemory));
    }

    // Sends the replies that are ready, one whole message each.
    http::IoResult<void> write_ready(http::HttpRequest& request) {
        std::vector<std::vector<uint8_t>> ready;
        {
            std::lock_guard lock(mutex_);
            ready.swap(replies_);
            wake_.clear();
        }
        in_flight_ -= ready.size();
        for (const auto& reply : ready)
            if (auto sent = request.write_ws_binary(reply); !sent) return sent;
        return {};
    }

    // Waits for every call in flight and sends its reply.
    http::IoResult<void> drain(http::HttpRequest& request) {
        while (in_flight_ > 0) {
            if (auto woken = wake_.wait(net::sys::kInvalidSocket, false); !woken) return std::unexpected(net::os_error(woken.error()));
            if (auto sent = write_ready(request); !sent) return sent;
        }
        return {};
    }

private:
    void deliver(std::vector<uint8_t> reply) {
        std::lock_guard lock(mutex_);
        replies_.push_back(std::move(reply));
        if (replies_.size() == 1) wake_.wake();
    }

    smartcard::ConnectionScope& scope_;
    const uint64_t connection_;
    const smartcard::Services& services_;
    platform::Wakeup wake_;
    std::size_t in_flight_ = 0;  // read and written by the relay thread only
    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> replies_;
    // Last: its destructor waits for the workers, which use the members above.
    CallScheduler scheduler_;
};

// Printed within the bounds of server/text_log.h.
void print_text(const websocket::Text& text) { text_log::print(text.text); }

// A handshake is answered before anything after it is read; the mode it asks for follows.
http::IoResult<void> answer_handshake(http::HttpRequest& request,
                                      const std::vector<uint8_t>& message,
                                      const smartcard::Services& services) {
    std::vector<uint8_t> reply;
    data_view::DataView view(reply, 0);
    process(message, view, services);
    return request.write_ws_binary(reply);
}

Mode asked_mode(const std::vector<uint8_t>& message) {
    auto flags = granted_flags(message);
    return flags && (*flags & kRepliesInAnyOrder) ? Mode::concurrent : Mode::strict;
}

// Each binary message is one call, answered before the next is read.
Outcome strict_loop(http::HttpRequest& request, uint64_t connection,
                    const smartcard::Services& services) {
    for (;;) {
        auto message = request.read_ws();
        if (!message) return std::unexpected(message.error());
        if (auto* text = std::get_if<websocket::Text>(&*message)) {
            print_text(*text);
            continue;
        }
        if (std::holds_alternative<websocket::Close>(*message)) return http::IoResult<void>{};
        const auto& call = std::get<websocket::Binary>(*message).data;
        std::vector<uint8_t> reply;
        data_view::DataView view(reply, 0);
        if (!process_call(connection, call, view, services)) return http::IoResult<void>{};
        if (auto sent = request.write_ws_binary(reply); !sent) return sent;
        if (classify(call) == MessageKind::handshake && asked_mode(call) == Mode::concurrent)
            return Mode::concurrent;
    }
}

Outcome concurrent_loop(http::HttpRequest& request, smartcard::ConnectionScope& scope,
                        uint64_t connection, const smartcard::Services& services) {
    ConcurrentCalls calls(scope, connection, services);
    if (!calls.valid()) return std::unexpected(net::os_error(errno));
    const auto socket = request.stream.native_handle();
    for (;;) {
        auto ready = calls.wait(socket);
        if (!ready) return std::unexpected(net::os_error(ready.error()));
        if (ready->woken) {
            if (auto sent = calls.write_ready(request); !sent) return sent;
        }
        if (!ready->socket) continue;
        // A socket that fails while the connection is not read any further ends it.
        if (calls.full()) return std::unexpected(net::protocol_error("connection failed"));
        auto message = request.read_ws();
        if (!message) return std::unexpected(message.error());
        if (auto* text = std::get_if<websocket::Text>(&*message)) {
            print_text(*text);
            continue;
        }
        if (std::holds_alternative<websocket::Close>(*message)) return http::IoResult<void>{};
        auto& call = std::get<websocket::Binary>(*message).data;
        switch (classify(call)) {
        case MessageKind::unrecognised: {
            std::vector<uint8_t> none;
            data_view::DataView view(none, 0);
            (void)process_call(connection, call, view, services);  // says why the connection ends
            return http::IoResult<void>{};
        }
        case MessageKind::call:
            calls.submit(std::move(call));
            break;
        case MessageKind::handshake:
            if (asked_mode(call) == Mode::strict) {
                // Back to strict order: what is in flight is answered first.
                if (auto sent = calls.drain(request); !sent) return sent;
                if (auto sent = answer_handshake(request, call, services); !sent) return sent;
                return Mode::strict;
            }
            if (auto sent = answer_handshake(request, call, services); !sent) return sent;
            break;
        }
    }
}

// A number for each relayed connection, for the log lines.
std::atomic<uint64_t> next_connection{1};

// A WebSocket without calls or waits is pinged after the idle limit, and closed when it does
// not answer.
http::IdleLimit idle_limit() {
    const unsigned quiet = limits().idle_seconds;
    return http::IdleLimit{std::chrono::seconds(quiet),
                           std::chrono::seconds(std::min(quiet, limits().idle_answer_seconds))};
}

http::IoResult<void> relay_calls_of(http::HttpRequest& request, smartcard::ContextGuard& guard,
                                    const smartcard::Services& services, uint64_t id) {
    smartcard::ConnectionScope connection(
        guard, [socket = request.stream.native_handle()] { return net::sys::peer_closed(socket); });
    Mode mode = Mode::strict;
    for (;;) {
        connection.set_side_by_side(mode == Mode::concurrent);
        Outcome outcome = mode == Mode::strict ? strict_loop(request, id, services)
                                               : concurrent_loop(request, connection, id, services);
        if (auto* next = std::get_if<Mode>(&outcome)) {
            mode = *next;
            continue;
        }
        return std::get<http::IoResult<void>>(std::move(outcome));
    }
}

}  // namespace

http::IoResult<void> relay_calls(http::HttpRequest& request, smartcard::ContextGuard& guard,
                                 const smartcard::Services& services) {
    const uint64_t id = next_connection.fetch_add(1, std::memory_order_relaxed);
    request.idle_limit = idle_limit();
    if (diagnostics::verbose())
        diagnostics::out("connection " + std::to_string(id) + " opened (origin " +
                         vornic::velkin::string::escape_line(request.origin.value_or("none")) + ")");
    const text_log::Connection texts(id);
    auto result = relay_calls_of(request, guard, services, id);
    if (diagnostics::verbose())
        diagnostics::out("connection " + std::to_string(id) + " closed" +
                         (result ? std::string() : ": " + result.error().message));
    return result;
}

}  // namespace kx_agent::server
