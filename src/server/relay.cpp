#include "server/relay.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <mutex>
#include <syncstream>
#include <variant>
#include <vector>

#include "data_view.h"
#include "server/call_scheduler.h"
#include "server/process.h"
#include "smartcard/pcsc.h"
#include "smartcard/smartcard.h"
#include "velkin/http/websocket.h"

namespace kx_agent::server {
namespace {

namespace http = vornic::velkin::http;
namespace net = vornic::velkin::net;
namespace websocket = vornic::velkin::http::websocket;

enum class Mode { strict, concurrent };
// How a loop over the connection ended: the relay is over (with the result to return), or the
// client's handshake asked for the other mode.
using Outcome = std::variant<http::IoResult<void>, Mode>;

// A pipe that worker threads write one byte into to wake the relay thread in poll(2).
class WakePipe {
public:
    WakePipe() {
        if (pipe(fds_) != 0) {
            fds_[0] = fds_[1] = -1;
            return;
        }
        for (int fd : fds_) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    ~WakePipe() {
        for (int fd : fds_)
            if (fd >= 0) close(fd);
    }
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    bool valid() const { return fds_[0] >= 0; }
    int read_end() const { return fds_[0]; }
    void wake() {
        const uint8_t byte = 1;
        // A full pipe already holds a wake-up.
        (void)!write(fds_[1], &byte, 1);
    }
    void drain() {
        uint8_t bytes[64];
        while (read(fds_[0], bytes, sizeof bytes) > 0) {
        }
    }

private:
    int fds_[2] = {-1, -1};
};

// The calls of a connection that takes replies in any order. Only the relay thread writes to the
// socket: workers hand their replies over and wake it.
class ConcurrentCalls {
public:
    explicit ConcurrentCalls(smartcard::ConnectionScope& scope) : scope_(scope) {}
    // The connection ends (unless drained): waiting calls are dropped, running ones cancelled.
    ~ConcurrentCalls() {
        if (in_flight_ == 0) return;
        scope_.end_calls();
        for (uint64_t context : scheduler_.drop_waiting()) smartcard::pcsc().cancel(context);
        scheduler_.wait_idle();
    }
    ConcurrentCalls(const ConcurrentCalls&) = delete;
    ConcurrentCalls& operator=(const ConcurrentCalls&) = delete;

    bool valid() const { return wake_.valid(); }
    int wake_fd() const { return wake_.read_end(); }
    bool full() const { return in_flight_ >= kMaxInFlight; }

    void submit(std::vector<uint8_t> message) {
        const auto order = smartcard::callOrder(message);
        CallScheduler::Lane lane;
        if (order.kind == smartcard::CallOrder::Kind::context) lane = order.context;
        ++in_flight_;
        scheduler_.submit(lane, [this, message = std::move(message)] {
            smartcard::ConnectionScope::Binding binding(scope_);
            std::vector<uint8_t> reply;
            data_view::DataView view(reply, 0);
            process(message, view);
            std::lock_guard lock(mutex_);
            replies_.push_back(std::move(reply));
            if (replies_.size() == 1) wake_.wake();
        });
    }

    // Sends the replies that are ready, one whole message each.
    http::IoResult<void> write_ready(http::HttpRequest& request) {
        std::vector<std::vector<uint8_t>> ready;
        {
            std::lock_guard lock(mutex_);
            ready.swap(replies_);
            wake_.drain();
        }
        in_flight_ -= ready.size();
        for (const auto& reply : ready)
            if (auto sent = request.write_ws_binary(reply); !sent) return sent;
        return {};
    }

    // Waits for every call in flight and sends its reply.
    http::IoResult<void> drain(http::HttpRequest& request) {
        while (in_flight_ > 0) {
            pollfd wake{wake_.read_end(), POLLIN, 0};
            if (poll(&wake, 1, -1) < 0 && errno != EINTR) return std::unexpected(net::os_error(errno));
            if (auto sent = write_ready(request); !sent) return sent;
        }
        return {};
    }

private:
    smartcard::ConnectionScope& scope_;
    WakePipe wake_;
    std::size_t in_flight_ = 0;  // read and written by the relay thread only
    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> replies_;
    // Last: its destructor waits for the workers, which use the members above.
    CallScheduler scheduler_;
};

void print_text(const websocket::Text& text) {
    std::osyncstream(std::cout) << "text:" << text.text << std::endl;
}

// A handshake is answered before anything after it is read; the mode it asks for follows.
http::IoResult<void> answer_handshake(http::HttpRequest& request,
                                      const std::vector<uint8_t>& message) {
    std::vector<uint8_t> reply;
    data_view::DataView view(reply, 0);
    process(message, view);
    return request.write_ws_binary(reply);
}

Mode asked_mode(const std::vector<uint8_t>& message) {
    auto flags = granted_flags(message);
    return flags && (*flags & kRepliesInAnyOrder) ? Mode::concurrent : Mode::strict;
}

// Each binary message is one call, answered before the next is read.
Outcome strict_loop(http::HttpRequest& request) {
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
        if (!process(call, view)) return http::IoResult<void>{};
        if (auto sent = request.write_ws_binary(reply); !sent) return sent;
        if (classify(call) == MessageKind::handshake && asked_mode(call) == Mode::concurrent)
            return Mode::concurrent;
    }
}

Outcome concurrent_loop(http::HttpRequest& request, smartcard::ConnectionScope& scope) {
    ConcurrentCalls calls(scope);
    if (!calls.valid()) return std::unexpected(net::os_error(errno));
    const int socket = request.stream.native_handle();
    for (;;) {
        pollfd fds[2] = {{socket, static_cast<short>(calls.full() ? 0 : POLLIN), 0},
                         {calls.wake_fd(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(net::os_error(errno));
        }
        if (fds[1].revents != 0) {
            if (auto sent = calls.write_ready(request); !sent) return sent;
        }
        if (fds[0].revents == 0) continue;
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
        case MessageKind::unrecognised:
            return http::IoResult<void>{};
        case MessageKind::call:
            calls.submit(std::move(call));
            break;
        case MessageKind::handshake:
            if (asked_mode(call) == Mode::strict) {
                // Back to strict order: what is in flight is answered first.
                if (auto sent = calls.drain(request); !sent) return sent;
                if (auto sent = answer_handshake(request, call); !sent) return sent;
                return Mode::strict;
            }
            if (auto sent = answer_handshake(request, call); !sent) return sent;
            break;
        }
    }
}

}  // namespace

http::IoResult<void> relay_calls(http::HttpRequest& request, smartcard::ContextGuard& guard) {
    smartcard::ConnectionScope connection(guard, request.stream.native_handle());
    Mode mode = Mode::strict;
    for (;;) {
        Outcome outcome = mode == Mode::strict ? strict_loop(request)
                                               : concurrent_loop(request, connection);
        if (auto* next = std::get_if<Mode>(&outcome)) {
            mode = *next;
            continue;
        }
        return std::get<http::IoResult<void>>(std::move(outcome));
    }
}

}  // namespace kx_agent::server
