#include "server/relay.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <variant>
#include <vector>

#include "agent_limits.h"
#include "data_view.h"
#include "diagnostics.h"
#include "platform/wakeup.h"
#include "server/call_scheduler.h"
#include "server/process.h"
#include "server/text_log.h"
#include "smartcard/pcsc/pcsc.h"
#include "smartcard/pcsc/pcsc_stack.h"
#include "smartcard/wire/return_codes.h"
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

Mode asked_mode(const smartcard::DecodedMessage& message) {
    auto flags = granted_flags(message);
    return flags && (*flags & kRepliesInAnyOrder) ? Mode::concurrent : Mode::strict;
}

// The least a held message counts for against the bounds on queued bytes: its buffer and
// bookkeeping cost that much however short it is.
constexpr std::size_t kMessageWeight = 256;
constexpr std::size_t kMiB = 1024 * 1024;
// Bytes of the messages all connections have read and not yet answered.
std::atomic<std::size_t> all_queued{0};
// The lane of a connection in strict order: one for all its calls. No context has this value
// (contexts are 32-bit on the wire).
constexpr uint64_t kStrictLane = ~uint64_t{0};

// A WebSocket without calls or waits is pinged after the idle limit, and closed when it does
// not answer. A peer gets as long to take each frame written.
http::IdleLimit idle_limit() {
    const unsigned quiet = limits().idle_seconds;
    return http::IdleLimit{std::chrono::seconds(quiet),
                           std::chrono::seconds(std::min(quiet, limits().idle_answer_seconds))};
}

// One relayed WebSocket, for as long as it relays calls: its mode, the messages it has read and
// not yet handed to a call, its calls (on the scheduler's workers) and their replies.
//
// Its thread is the only one that reads or writes the socket, and it never waits for a call: it
// waits in one place for the socket, the replies that are ready and the peer's end together,
// and goes back there after every read, whether it made a message or not (a ping, part of a
// frame). Calls are taken from what was read in the order sent: side by side as far as the
// in-flight bound allows; in strict order one at a time, each answered before the next starts.
// What is read and not yet answered is bounded per connection and over all connections. Side
// by side, reading goes on beyond those bounds: a call beyond them is answered
// SCARD_E_NO_MEMORY at once, and a Cancel or an EndTransaction runs when read, beyond the
// in-flight bound too, since the calls that hold the places may wait for just it. In strict
// order nothing more is read until the call completes; the socket is still watched for the
// peer's end.
class Connection {
public:
    Connection(http::HttpRequest& request, smartcard::ContextGuard& guard,
               const smartcard::Services& services)
        : request_(request),
          services_(services),
          scope_(
              guard,
              [socket = request.stream.native_handle()] { return net::sys::peer_closed(socket); }),
          texts_(scope_.id()) {}
    // Waiting calls are dropped, running ones cancelled, and the connection's transactions ended
    // before the running calls are waited for: one of them may wait for the card that a
    // transaction of this connection holds.
    ~Connection() {
        if (in_flight_ > 0) {
            scope_.end_calls();
            auto running = scheduler_.drop_waiting();
            std::erase(running, kStrictLane);
            if (mode_ == Mode::strict && strict_context_ != 0) running.push_back(strict_context_);
            for (uint64_t context : running) scope_.cancel(static_cast<SCARDCONTEXT>(context));
            scope_.end_transactions(running);
            scheduler_.wait_idle();
        }
        all_queued -= queued_bytes_;
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    uint64_t id() const { return scope_.id(); }

    http::IoResult<void> run() {
        // Silence inside a frame, or a peer that takes no reply, counts as much as a quiet one.
        const auto limit = idle_limit();
        request_.idle_limit = limit;
        request_.write_limit = limit.quiet + limit.answer;
        (void)request_.stream.set_read_timeout(limit.quiet + limit.answer);
        (void)request_.stream.set_write_timeout(limit.quiet + limit.answer);
        const auto socket = request_.stream.native_handle();
        for (;;) {
            if (auto end = take_calls()) return std::move(*end);
            bool took = false;
            if (in_flight_ == 0) {
                // No reply can come: the socket's read (and its idle limit) waits.
                if (auto end = read_message(Source::wait, took)) return std::move(*end);
                continue;
            }
            const bool reading = may_read();
            // What the last read took behind a message does not show in the socket's readiness.
            if (reading && !request_.ws_unread().empty()) {
                if (auto end = read_message(Source::held, took)) return std::move(*end);
                if (took) continue;
            }
            auto ready = wake_->wait(socket, reading);
            if (!ready) return std::unexpected(net::os_error(ready.error()));
            if (ready->woken) {
                if (auto sent = write_ready(); !sent) return sent;
            }
            if (!ready->socket) continue;
            // Not read, the socket tells only of the peer's end or a failure.
            if (!reading) return std::unexpected(net::protocol_error("the peer has gone"));
            if (auto end = read_message(Source::socket, took)) return std::move(*end);
        }
    }

private:
    using End = std::optional<http::IoResult<void>>;
    // A message read, decoded once: its kind, and for a call its order, lane and timing, and
    // the call that its turn carries out.
    struct Message {
        explicit Message(std::vector<uint8_t>&& read)
            : bytes(std::move(read)),
              weight(std::max(bytes.size(), kMessageWeight)),
              decoded(smartcard::decode(bytes)) {}
        std::vector<uint8_t> bytes;  // what `decoded` refers to
        std::size_t weight;
        smartcard::DecodedMessage decoded;
        // A call: when it was read (a cancel read after it ends it, also while it waits its
        // turn).
        uint64_t arrival = 0;
    };
    struct Reply {
        std::vector<uint8_t> bytes;
        std::size_t weight;  // of its call
    };
    // Where a read step takes its message from: the socket, waited for within the idle limit;
    // the bytes already read; those and one read of a socket that is ready.
    enum class Source { wait, held, socket };

    // The one read step of both modes: a text is printed (within the bounds of
    // server/text_log.h), a close ends the relay, a binary message waits its turn or is taken at
    // once (see read_binary). `took`: whether a message came.
    End read_message(Source source, bool& took) {
        std::optional<websocket::WsMessage> message;
        if (source == Source::wait) {
            auto next = request_.read_ws();
            if (!next) return std::unexpected(next.error());
            message = std::move(*next);
        } else {
            auto next = request_.read_ws_ready(source == Source::socket);
            if (!next) return std::unexpected(next.error());
            message = std::move(*next);
        }
        took = message.has_value();
        if (!message) return std::nullopt;
        if (auto* text = std::get_if<websocket::Text>(&*message)) {
            texts_.print(text->text);
            return std::nullopt;
        }
        if (std::holds_alternative<websocket::Close>(*message)) return http::IoResult<void>{};
        return read_binary(std::move(std::get<websocket::Binary>(*message).data));
    }

    End read_binary(std::vector<uint8_t> bytes) {
        Message read(std::move(bytes));
        if (read.decoded.kind != MessageKind::call) {
            ++others_held_;
            count(read.weight);
            hold(std::move(read));
            return std::nullopt;
        }
        read.arrival = smartcard::ConnectionScope::arrive();
        // Side by side, with nothing but calls before it (no switch to strict order waits).
        if (mode_ == Mode::concurrent && others_held_ == 0) {
            if (runs_when_read(read)) {
                count(read.weight);
                if (auto sent = submit(std::move(read)); !sent) return sent;
                return std::nullopt;
            }
            if (!admit(read.weight)) {
                auto sent =
                    request_.write_ws_binary(refusal(read.decoded.head, smartcard::rc::no_memory));
                if (!sent) return sent;
                return std::nullopt;
            }
        } else {
            // In strict order with nothing before it, the call is taken now, as take_calls
            // would take it next, without a stop in the queue; one that returns at once is
            // answered before anything more is read, so it is never counted as queued (the
            // count is shared by all connections).
            const bool now = mode_ == Mode::strict && in_flight_ == 0 && read_.empty();
            if (now && read.decoded.atOnce) {
                if (auto sent = answer_now(read); !sent) return sent;
                return std::nullopt;
            }
            count(read.weight);
            if (now) {
                if (auto sent = submit(std::move(read)); !sent) return sent;
                return std::nullopt;
            }
        }
        hold(std::move(read));
        return std::nullopt;
    }

    // A Cancel runs as soon as it is read, beyond the in-flight bound (up to as many again), and
    // so does an EndTransaction while no call read before it on its context is still waiting:
    // the calls in flight may be waiting for just them (a wait it cancels; a call on another
    // context that waits for the card this transaction holds).
    bool runs_when_read(const Message& call) const {
        if (in_flight_ >= 2 * limits().calls_in_flight) return false;
        const smartcard::CallOrder& order = call.decoded.order;
        switch (order.kind) {
        case smartcard::CallOrder::Kind::cancel: return true;
        case smartcard::CallOrder::Kind::endTransaction:
            return !held_lanes_.contains(order.context);
        default: return false;
        }
    }

    // Whether the next message is read now. Beyond a bound on queued bytes, only a connection
    // that runs its calls side by side reads on (and answers the calls beyond it at once), and
    // only while no handshake or unrecognised message waits its turn: the calls behind one are
    // in strict order, or never run.
    bool may_read() const {
        const bool over =
            queued_bytes_ > 0 && (queued_bytes_ >= limits().queued_mib_per_connection * kMiB ||
                                  all_queued.load() >= limits().queued_mib * kMiB);
        return !over || (mode_ == Mode::concurrent && others_held_ == 0);
    }

    // Counts a call read side by side against both bounds on queued bytes; false, with nothing
    // counted, when it would pass either. A connection's only call always fits.
    bool admit(std::size_t weight) {
        if (queued_bytes_ == 0) {
            count(weight);
            return true;
        }
        if (queued_bytes_ + weight > limits().queued_mib_per_connection * kMiB) return false;
        if (all_queued.fetch_add(weight) + weight > limits().queued_mib * kMiB) {
            all_queued -= weight;
            return false;
        }
        queued_bytes_ += weight;
        return true;
    }

    // The calls held by context, counted afresh for `mode` from what is held.
    void count_held_lanes(Mode mode) {
        held_lanes_.clear();
        if (mode != Mode::concurrent) return;
        for (const Message& held : read_)
            if (held.decoded.kind == MessageKind::call && held.decoded.lane != 0)
                ++held_lanes_[held.decoded.lane];
    }

    void hold(Message&& message) {
        // Counted only side by side, where they are asked for (runs_when_read): in strict order
        // a call would cost the map an allocation for nothing.
        if (uint64_t context = message.decoded.lane; context != 0 && mode_ == Mode::concurrent)
            ++held_lanes_[context];
        read_.push_back(std::move(message));
    }

    // Hands the messages read to calls, in order, as far as the mode lets them go now.
    End take_calls() {
        while (!read_.empty()) {
            Message& next = read_.front();
            switch (next.decoded.kind) {
            case MessageKind::unrecognised: {
                // Side by side the relay ends at once; in strict order after the replies before it.
                if (mode_ == Mode::strict && in_flight_ > 0) return std::nullopt;
                std::vector<uint8_t> none;
                data_view::DataView view(none, 0);
                (void)process_call(id(), next.decoded, view, services_);  // says why it ends
                return http::IoResult<void>{};
            }
            case MessageKind::handshake: {
                const Mode asked = asked_mode(next.decoded);
                // Back to strict order (or in it): what is in flight is answered first.
                if (in_flight_ > 0 && (mode_ == Mode::strict || asked == Mode::strict))
                    return std::nullopt;
                std::vector<uint8_t> reply;
                data_view::DataView view(reply, 0);
                (void)process_call(id(), next.decoded, view, services_);
                release(next.weight);
                read_.pop_front();
                --others_held_;
                if (auto sent = request_.write_ws_binary(reply); !sent) return sent;
                if (asked != mode_) count_held_lanes(asked);
                mode_ = asked;
                scope_.set_side_by_side(mode_ == Mode::concurrent);
                break;
            }
            case MessageKind::call: {
                const std::size_t bound = mode_ == Mode::strict ? 1 : limits().calls_in_flight;
                if (in_flight_ >= bound) return std::nullopt;
                Message call = std::move(next);
                read_.pop_front();
                if (uint64_t context = call.decoded.lane; context != 0) {
                    if (auto held = held_lanes_.find(context); held != held_lanes_.end())
                        if (--held->second == 0) held_lanes_.erase(held);
                }
                if (auto sent = submit(std::move(call)); !sent) return sent;
                break;
            }
            }
        }
        return std::nullopt;
    }

    http::IoResult<void> submit(Message&& call) {
        const uint64_t context = call.decoded.lane;
        CallScheduler::Lane lane;
        if (mode_ == Mode::strict) {
            lane = kStrictLane;
            strict_context_ = context;
        } else if (context != 0) {
            lane = context;
        }
        const std::size_t weight = call.weight;
        // In strict order a call that returns at once runs on this thread: handing it to a
        // worker and its reply back would cost more than the call itself.
        if (mode_ == Mode::strict && call.decoded.atOnce) {
            release(weight);
            strict_context_ = 0;
            return answer_now(call);
        }
        if (!wake_) {
            wake_.emplace();
            if (!wake_->valid()) wake_.reset();
        }
        if (!wake_) {
            // No descriptors for a wake-up: side by side the call is refused; in strict order
            // the connection's own thread carries it out, as it always could.
            release(weight);
            if (mode_ == Mode::concurrent)
                return request_.write_ws_binary(
                    refusal(call.decoded.head, smartcard::rc::no_memory));
            strict_context_ = 0;
            return request_.write_ws_binary(carry_out(call));
        }
        ++in_flight_;
        const smartcard::CallHead head = call.decoded.head;  // for a refusal, should no thread come
        CallScheduler::Task task = [this, message = std::move(call)]() mutable {
            std::vector<uint8_t> reply = carry_out(message);
            // What it held goes before it counts as gone: the call's own buffers, then the bytes
            // it refers to.
            message.decoded = {};
            std::vector<uint8_t>().swap(message.bytes);
            deliver(std::move(reply), message.weight);
        };
        if (scheduler_.submit(lane, std::move(task))) return {};
        // No thread for it (a process limit): side by side it is refused; in strict order this
        // thread carries it out, as it always could, and its reply comes as a worker's would.
        if (mode_ == Mode::concurrent) {
            task = nullptr;
            deliver(refusal(head, smartcard::rc::no_memory), weight);
        } else {
            task();
        }
        return {};
    }

    // A call carried out and answered on this thread; its buffer and its reply's serve the
    // next call.
    http::IoResult<void> answer_now(Message& call) {
        std::vector<uint8_t> reply = carry_out(call, std::move(spare_reply_));
        auto sent = request_.write_ws_binary(reply);
        request_.give_back_ws(std::move(call.bytes));
        if (reply.capacity() <= websocket::kKeptBufferSize) spare_reply_ = std::move(reply);
        return sent;
    }

    // One call of this connection, through a stack whose connection layer names it and when
    // the call arrived; its reply is written into `reply`, emptied first.
    std::vector<uint8_t> carry_out(const Message& message, std::vector<uint8_t> reply = {}) {
        smartcard::ConnectionScope::Call call(scope_, message.arrival);
        smartcard::ClientLayers layers(call);
        const smartcard::Services services{layers.top(), services_.cache, services_.transmits,
                                           services_.record};
        reply.clear();
        data_view::DataView view(reply, 0);
        process_call(id(), message.decoded, view, services);
        return reply;
    }

    void deliver(std::vector<uint8_t> reply, std::size_t weight) {
        std::lock_guard lock(mutex_);
        replies_.push_back({std::move(reply), weight});
        if (replies_.size() == 1) wake_->wake();
    }

    // Sends the replies that are ready, one whole message each.
    http::IoResult<void> write_ready() {
        std::vector<Reply> ready;
        {
            std::lock_guard lock(mutex_);
            ready.swap(replies_);
            wake_->clear();
        }
        in_flight_ -= ready.size();
        if (in_flight_ == 0) strict_context_ = 0;
        for (const auto& reply : ready) release(reply.weight);
        for (const auto& reply : ready)
            if (auto sent = request_.write_ws_binary(reply.bytes); !sent) return sent;
        return {};
    }

    void count(std::size_t weight) {
        queued_bytes_ += weight;
        all_queued += weight;
    }
    void release(std::size_t weight) {
        queued_bytes_ -= weight;
        all_queued -= weight;
    }

    http::HttpRequest& request_;
    const smartcard::Services& services_;
    smartcard::ConnectionScope scope_;
    text_log::Connection texts_;  // what it prints of the client's text messages
    // Read and written by the connection's thread only.
    Mode mode_ = Mode::strict;
    std::deque<Message> read_;     // read, not yet handed to a call
    std::size_t others_held_ = 0;  // of them, handshakes and unrecognised messages
    std::unordered_map<uint64_t, std::size_t> held_lanes_;  // of them, calls by context
    std::size_t in_flight_ = 0;                             // handed to a call, reply not yet taken
    std::size_t queued_bytes_ = 0;  // of the messages read and not yet answered
    uint64_t strict_context_ = 0;   // in strict order: the context of the call in flight
    // Made with the first call that runs on a worker: a connection without calls (most of a
    // flood of them) holds no descriptors beyond its socket.
    std::optional<platform::Wakeup> wake_;
    std::mutex mutex_;
    std::vector<Reply> replies_;  // ready to send, with the weight of their calls
    // The last reply made on this thread, kept for its room (at most kKeptBufferSize).
    std::vector<uint8_t> spare_reply_;
    // Last: its destructor waits for the workers, which use the members above.
    CallScheduler scheduler_;
};

}  // namespace

http::IoResult<void> relay_calls(http::HttpRequest& request, smartcard::ContextGuard& guard,
                                 const smartcard::Services& services) {
    Connection connection(request, guard, services);
    const std::string name = "connection " + std::to_string(connection.id());
    if (diagnostics::verbose())
        diagnostics::client_out(
            name + " opened (origin " +
            vornic::velkin::string::escape_line(request.origin.value_or("none")) + ")");
    auto result = connection.run();
    if (diagnostics::verbose())
        diagnostics::client_out(name + " closed" +
                                (result ? std::string() : ": " + result.error().message));
    return result;
}

}  // namespace kx_agent::server
