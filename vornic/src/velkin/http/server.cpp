// The handler table, the connection procedure and the accept loop.

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <thread>

#include "velkin/http/http.h"

namespace vornic::velkin::http {

namespace {

// One whole line per call, so that lines of concurrent connection threads do not interleave.
void print_line(std::FILE* to, std::string line) {
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), to);
    std::fflush(to);
}

// Pauses after a failed accept: the usual cause (no file descriptors left) does not go away at
// once, and retrying without a pause would spin a core. Each failure in a row doubles the pause
// up to the longest, so that a long exhaustion costs a wake-up a second, not a hundred.
constexpr std::chrono::milliseconds kAcceptRetryPause{10};
constexpr std::chrono::milliseconds kLongestAcceptPause{1000};

// Holds one place under the connection bound for as long as its connection lives; the last one
// to go runs the idle hook.
class ConnectionSlot {
public:
    ConnectionSlot(std::shared_ptr<std::atomic<std::size_t>> open,
                   std::shared_ptr<std::function<void()>> idle)
        : open_(std::move(open)), idle_(std::move(idle)) {}
    ConnectionSlot(ConnectionSlot&& other) noexcept = default;
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;
    ~ConnectionSlot() {
        if (open_ && open_->fetch_sub(1, std::memory_order_relaxed) == 1 && idle_ && *idle_)
            (*idle_)();
    }

private:
    std::shared_ptr<std::atomic<std::size_t>> open_;
    std::shared_ptr<std::function<void()>> idle_;
};

}  // namespace

void default_log(LogLevel level, std::string line) {
    switch (level) {
    case LogLevel::error: print_line(stderr, std::move(line)); break;
    case LogLevel::notice: print_line(stdout, std::move(line)); break;
    case LogLevel::detail: break;
    }
}

void HandlerManager::set_def_handler(HandlerEntry entry) { def_handler = std::move(entry); }

void HandlerManager::add_route(std::string route, HandlerEntry entry) {
    routes.insert_or_assign(std::move(route), std::move(entry));
}

void HandlerManager::set_mime(mime::MimeType types) { mime = std::move(types); }

void HandlerManager::set_upgrade_check(UpgradeCheck check) { upgrade_check = std::move(check); }

const HandlerEntry* HandlerManager::get_handler(std::string_view route) const {
    if (const auto found = routes.find(route); found != routes.end()) {
        return &found->second;
    }
    return def_handler ? &*def_handler : nullptr;
}

void handle_connection(net::TcpStream stream, std::shared_ptr<const HandlerManager> handlers) {
    const auto report = [&handlers](std::string line, LogLevel level = LogLevel::error) {
        if (handlers->log) handlers->log(level, std::move(line));
    };
    // A stream that takes no read time-out could not be held to the deadline.
    if (auto set = stream.set_read_timeout(handlers->head_deadline); !set) {
        report("set_read_timeout failed: " + set.error().message);
        return;
    }
    auto head = read_header(stream, handlers->head_deadline);
    if (!head) {
        report(head.error().message);
        return;
    }
    // From here on reads wait without limit: a WebSocket relay waits for the client's next
    // message for as long as it takes.
    if (auto cleared = stream.set_read_timeout(std::nullopt); !cleared) {
        report("set_read_timeout as None failed: " + cleared.error().message);
        return;
    }
    // A refused upgrade is the check's decision, not a failure: said as a refusal.
    bool refused = false;
    UpgradeCheck check;
    if (handlers->upgrade_check) {
        check = [&](const HttpRequest& asked) {
            refused = !handlers->upgrade_check(asked);
            return !refused;
        };
    }
    auto request = from_header(head->bytes, std::move(stream), check, head->after);
    if (!request) {
        report(request.error().message, refused ? LogLevel::detail : LogLevel::error);
        return;
    }
    if (const auto ext = request->get_ext(); ext && handlers->mime) {
        request->content_type = handlers->mime->from_file_ext(*ext);
    }
    const HandlerEntry* entry = handlers->get_handler(request->get_route());
    if (!entry) {
        if (auto written = request->write_text("Not Found", 404, "text/plain"); !written) {
            report(written.error().message);
        }
    } else {
        request->handler_context = entry->context;
        if (auto handled = request->dipatch(entry->func); !handled) {
            // A peer that just goes (a closed tab, a WebSocket without its close frame) is an end.
            report(handled.error().message,
                   net::is_end_of_stream(handled.error()) ? LogLevel::detail : LogLevel::error);
        }
    }
    // Closing a socket with input unread makes the kernel send a reset, which can destroy the
    // answer before the client has read it (a client that pipelines its requests has sent more
    // than the one head read here).
    request->stream.shutdown_lingering(kAnsweredLingerTime, kAnsweredLingerBytes);
}

HttpServer::HttpServer()
    : running_(std::make_shared<std::atomic<bool>>(true)),
      handlers_(std::make_shared<HandlerManager>()),
      open_(std::make_shared<std::atomic<std::size_t>>(0)),
      idle_(std::make_shared<std::function<void()>>()) {}

HttpServer::~HttpServer() { stop(); }

void HttpServer::set_def_handler(HandlerEntry entry) {
    handlers_->set_def_handler(std::move(entry));
}

void HttpServer::add_route(std::string route, HandlerEntry entry) {
    handlers_->add_route(std::move(route), std::move(entry));
}

void HttpServer::set_mime(mime::MimeType types) { handlers_->set_mime(std::move(types)); }

void HttpServer::set_upgrade_check(UpgradeCheck check) {
    handlers_->set_upgrade_check(std::move(check));
}

void HttpServer::set_max_connections(std::size_t bound) { max_connections_ = bound; }

void HttpServer::on_idle(std::function<void()> hook) { *idle_ = std::move(hook); }

void HttpServer::set_head_deadline(std::chrono::milliseconds deadline) {
    handlers_->head_deadline = deadline;
}

void HttpServer::set_log(LogSink sink) {
    if (!sink) sink = [](LogLevel, std::string) {};
    handlers_->log = std::move(sink);
}

std::size_t HttpServer::open_connections() const { return open_->load(std::memory_order_relaxed); }

void HttpServer::start(net::TcpListener& listener) {
    {
        const std::lock_guard lock(local_addr_mutex_);
        if (stopped_) return;
        if (const auto address = listener.local_address()) local_addrs_.push_back(*address);
    }
    accept_loop(listener);
}

void HttpServer::accept_loop(net::TcpListener& listener) {
    const LogSink& log = handlers_->log;
    std::chrono::milliseconds pause = kAcceptRetryPause;
    bool failing = false;   // the last accept failed, and that has been said
    bool at_bound = false;  // the bound was reached, and that has been said
    while (running_->load(std::memory_order_relaxed)) {
        auto client = listener.accept();
        if (!client) {
            // Said once for a run of failures: a full descriptor table fails every accept, and a
            // line for each would flood the output while the condition lasts.
            if (!failing) {
                log(LogLevel::notice, "couldn't get client: " + client.error().message);
                failing = true;
            }
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, kLongestAcceptPause);
            continue;
        }
        if (failing) {
            log(LogLevel::notice, "accepting clients again");
            failing = false;
        }
        pause = kAcceptRetryPause;
        if (!running_->load(std::memory_order_relaxed)) break;  // stop's own wake-up
        const std::size_t open = open_->fetch_add(1, std::memory_order_relaxed);
        ConnectionSlot slot(open_, idle_);
        if (max_connections_ != 0 && open >= max_connections_) {
            // Closed at once (the slot and the stream go at the end of this turn): a connection
            // beyond the bound gets no thread, so that a flood cannot take what the open ones need.
            if (!at_bound) {
                log(LogLevel::notice,
                    "Connection bound reached: " + std::to_string(max_connections_) +
                        " connections are open; new ones are closed until some end");
                at_bound = true;
            }
            log(LogLevel::detail, "connection refused: " + std::to_string(open) +
                                      " connections open, the bound is " +
                                      std::to_string(max_connections_));
            continue;
        }
        if (at_bound && open + 1 < max_connections_) {
            log(LogLevel::notice, "Connections below the bound again");
            at_bound = false;
        }
        (void)client->set_nodelay(true);  // best effort: only delays small writes
        std::shared_ptr<const HandlerManager> table = handlers_;
        try {
            std::thread(
                [slot = std::move(slot)](net::TcpStream stream,
                                         std::shared_ptr<const HandlerManager> handlers) {
                    handle_connection(std::move(stream), std::move(handlers));
                },
                std::move(*client), std::move(table))
                .detach();
        } catch (const std::system_error& error) {
            // The connection is dropped (closed when the thread's arguments are destroyed).
            log(LogLevel::error,
                std::string("couldn't start a connection thread: ") + error.what());
        }
    }
}

void HttpServer::stop() {
    std::vector<net::SocketAddress> addresses;
    {
        // Taken after the store: if start has not recorded its addresses yet, it will see
        // stopped_ set before it blocks in accept.
        const std::lock_guard lock(local_addr_mutex_);
        if (stopped_) return;
        stopped_ = true;
        running_->store(false, std::memory_order_relaxed);
        addresses = local_addrs_;
    }
    for (const auto& address : addresses) {
        // Wakes the blocked accept; the connection carries no request.
        if (auto wake = net::TcpStream::connect(address)) {
            (void)wake->shutdown(SHUT_RDWR);
        }
    }
}

}  // namespace vornic::velkin::http
