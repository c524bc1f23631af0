// The handler table, the connection procedure and the accept loop.

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

// A connection thread that ends early says why on standard error.
void report(std::string line) { print_line(stderr, std::move(line)); }

// Pause after a failed accept: the usual cause (no file descriptors left) does not go away at
// once, and retrying without a pause would spin a core.
constexpr std::chrono::milliseconds kAcceptRetryPause{10};

}  // namespace

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
    if (auto set = stream.set_read_timeout(kHeadReadTimeout); !set) {
        report("set_read_timeout failed: " + set.error().message);
        return;
    }
    std::vector<uint8_t> head = read_header(stream);
    if (head.size() >= kMaxHeadSize && !is_head_complete(head)) {
        report("Request head too large: no end of head in " + std::to_string(head.size()) +
               " bytes");
        return;
    }
    // From here on reads wait without limit: a WebSocket relay waits for the client's next
    // message for as long as it takes.
    if (auto cleared = stream.set_read_timeout(std::nullopt); !cleared) {
        report("set_read_timeout as None failed: " + cleared.error().message);
        return;
    }
    auto request = from_header(head, std::move(stream), handlers->upgrade_check);
    if (!request) {
        report(request.error().message);
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
        return;
    }
    request->handler_context = entry->context;
    if (auto handled = request->dipatch(entry->func); !handled) {
        report(handled.error().message);
    }
}

HttpServer::HttpServer()
    : running_(std::make_shared<std::atomic<bool>>(true)),
      handlers_(std::make_shared<HandlerManager>()) {}

HttpServer::~HttpServer() { stop(); }

void HttpServer::set_def_handler(HandlerEntry entry) { handlers_->set_def_handler(std::move(entry)); }

void HttpServer::add_route(std::string route, HandlerEntry entry) {
    handlers_->add_route(std::move(route), std::move(entry));
}

void HttpServer::set_mime(mime::MimeType types) { handlers_->set_mime(std::move(types)); }

void HttpServer::set_upgrade_check(UpgradeCheck check) {
    handlers_->set_upgrade_check(std::move(check));
}

void HttpServer::start(net::TcpListener& listener) {
    if (const auto address = listener.local_addr()) {
        const std::lock_guard lock(local_addr_mutex_);
        local_addr_ = *address;
    }
    while (running_->load(std::memory_order_relaxed)) {
        auto client = listener.accept();
        if (!client) {
            print_line(stdout, "couldn't get client: " + client.error().message);
            std::this_thread::sleep_for(kAcceptRetryPause);
            continue;
        }
        (void)client->set_nodelay(true);  // best effort: only delays small writes
        std::shared_ptr<const HandlerManager> table = handlers_;
        try {
            std::thread(handle_connection, std::move(*client), std::move(table)).detach();
        } catch (const std::system_error& error) {
            // The connection is dropped (closed when the thread's arguments are destroyed).
            print_line(stderr, std::string("couldn't start a connection thread: ") + error.what());
        }
    }
}

void HttpServer::stop() {
    if (!running_->load(std::memory_order_relaxed)) {
        return;
    }
    running_->store(false, std::memory_order_relaxed);
    std::optional<sockaddr_in> address;
    {
        // Taken after the store: if start has not recorded its address yet, it will see the
        // flag cleared before it blocks in accept.
        const std::lock_guard lock(local_addr_mutex_);
        address = local_addr_;
    }
    if (address) {
        // Wakes the blocked accept; the connection carries no request.
        if (auto wake = net::TcpStream::connect(*address)) {
            (void)wake->shutdown(SHUT_RDWR);
        }
    }
}

}  // namespace vornic::velkin::http
