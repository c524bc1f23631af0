#include "server/server.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <variant>
#include <vector>

#include "agent_limits.h"
#include "command_line.h"
#include "data_view.h"
#include "diagnostics.h"
#include "platform/process.h"
#include "server/bridge.h"
#include "server/process.h"
#include "server/relay.h"
#include "smartcard/pcsc/pcsc_stack.h"
#include "velkin/http/websocket.h"
#include "velkin/string.h"

namespace kx_agent::server {

uint8_t AGENT_ORIGION[kOriginCapacity] = {};
std::size_t AGENT_ORIGION_LEN = 0;

namespace http = vornic::velkin::http;
namespace net = vornic::velkin::net;
namespace websocket = vornic::velkin::http::websocket;

namespace {

constexpr std::string_view kOriginLine = "<script>window.__agent_origion = \"";
// The bridge page's origin line goes in front of the script element that loads the bridge, so
// that the origin is set when the script runs.
constexpr std::string_view kScriptElement = "  <script src=\"bridge.js\"></script>";

constexpr std::string_view kUnsupportedPage =
    "<html>\n"
    "    <body>\n"
    "        <p>Unsupported http request.</p>\n"
    "    </body>\n"
    "</html>\n";
constexpr std::string_view kWrongMethodPage = "<html><body>Someting Wrong</body></html>";

// The origin as the body of a JavaScript string literal inside an HTML script element: quote,
// backslash and control characters are escaped so that no configured value can end the literal
// or change the script, and "<" and ">" so that none can end the element. Ordinary origins pass
// unchanged.
void append_js_string_body(std::string& out, std::span<const uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (uint8_t b : bytes) {
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b < 0x20 || b == 0x7F || b == '<' || b == '>') {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        } else {
            out += static_cast<char>(b);
        }
    }
}

// A request without an Origin comes from no web page (a program of this computer). With an
// origin configured, a page must be of that origin; without one, of this computer: a page from
// anywhere else needs the origin configured, and the opaque "null" origin (sandboxed frames,
// file: pages, redirects) is never one.
bool origin_allowed(const http::HttpRequest& request) {
    if (!request.origin) return true;
    if (std::ranges::any_of(kAgentOrigins,
                            [&](std::string_view own) { return request.from_origin(own); }))
        return true;
    if (AGENT_ORIGION_LEN == 0) return is_local_origin(*request.origin);
    return request.from_origin(configured_origin());
}

std::string trusted_pages() {
    return AGENT_ORIGION_LEN > 0 ? configured_origin() : std::string("the pages of this computer");
}

// Whether a request names the agent itself. A page of a name that its owner made resolve to
// 127.0.0.1 (DNS rebinding) reaches the agent with that name in Host, and with the name's own
// origin, which the browser then treats as same-origin with the agent: nothing may be served to
// it. One Host header, exactly one of the agent's addresses and its port (case aside).
bool names_the_agent(const http::HttpRequest& request) {
    const auto hosts = std::ranges::count(request.header_names, std::string_view("host"));
    if (hosts != 1) return false;
    const std::string host = vornic::velkin::string::to_lower(*request.get_value("host"));
    return host == "127.0.0.1:8095" || host == "localhost:8095" || host == "[::1]:8095";
}

http::IoResult<void> forbidden(http::HttpRequest& request) {
    return request.write_text("Forbidden", 403, "text/plain",
                              {.allow_any_origin = false, .extra_headers = {}});
}

void say_refused(const http::HttpRequest& request, std::string_view why) {
    namespace string = vornic::velkin::string;
    if (diagnostics::verbose())
        diagnostics::client_out("Request refused: " + std::string(why) + " " +
                                string::escape_line(request.get_value("host").value_or("none")) +
                                " (" + string::escape_line(request.path) + ")");
}

// One WebSocket connection: strict order, or side by side when the client's handshake asks.
http::IoResult<void> relay(http::HttpRequest& request) {
    auto& stack = smartcard::agent_stack();
    return relay_calls(request, stack.guard(), stack.services());
}

// The bridge page may not be framed: a frame of it inside a foreign page would open a WebSocket
// with the agent's own trusted origin. CSP frame-ancestors for browsers that know it,
// X-Frame-Options for those that do not.
constexpr std::string_view kNoFraming =
    "Content-Security-Policy: frame-ancestors 'none'\r\n"
    "X-Frame-Options: DENY\r\n";

// Whether the bridge script may be served: to the bridge page, which is of the agent's own
// origin, or to a client that is no browser (or one too old to say). Sec-Fetch-Site is set by
// the browser and no page can forge it; "same-site" is not enough, since a page on another port
// of 127.0.0.1 is same-site with the agent.
bool script_for_own_page(const http::HttpRequest& request) {
    const auto site = request.get_value("sec-fetch-site");
    return !site || *site == "same-origin";
}

http::IoResult<void> serve_get(http::HttpRequest& request) {
    std::string route = request.get_route();
    route = route.substr(0, route.find('?'));
    // Neither carries Access-Control-Allow-Origin: no page of another origin may read the page,
    // which holds the configured origin, nor the script.
    if (route == "/bridge.html")
        return request.write_text(bridge_page_body(), 200, "text/html",
                                  {.allow_any_origin = false, .extra_headers = kNoFraming});
    if (route == "/bridge.js") {
        if (!script_for_own_page(request)) {
            say_refused(request, "the bridge script for a page of another origin, Host");
            return forbidden(request);
        }
        return request.write_text(kBridgeScript, 200, "text/javascript",
                                  {.allow_any_origin = false, .extra_headers = {}});
    }
    return request.write_text(kUnsupportedPage, 200, "text/html");
}

}  // namespace

bool accepts_upgrade(const http::HttpRequest& request) {
    if (!names_the_agent(request)) {
        say_refused(request, "a WebSocket for another Host,");
        return false;
    }
    if (origin_allowed(request)) return true;
    if (diagnostics::verbose())
        diagnostics::client_out("Connection refused: origin " +
                                vornic::velkin::string::escape_line(request.origin.value_or("")) +
                                " is not trusted (trusted: " + trusted_pages() + ")");
    return false;
}

std::string configured_origin() {
    return vornic::velkin::string::FromAsciiBytes::from_ascii_bytes(
        std::span<const uint8_t>(AGENT_ORIGION, AGENT_ORIGION_LEN));
}

std::string bridge_page_body() {
    const std::size_t at = kBridgePage.find(kScriptElement);
    if (AGENT_ORIGION_LEN == 0 || at == std::string_view::npos) return std::string(kBridgePage);
    std::string body;
    body.reserve(kBridgePage.size() + 4 * kOriginCapacity + 64);
    body += kBridgePage.substr(0, at);
    body += "  ";
    body += kOriginLine;
    append_js_string_body(body, std::span<const uint8_t>(AGENT_ORIGION, AGENT_ORIGION_LEN));
    body += "\";</script>\n";
    body += kBridgePage.substr(at);
    return body;
}

http::IoResult<void> web_handler(http::HttpRequest& request) {
    // Before anything is served or upgraded (the upgrade check refuses such an upgrade first).
    if (!names_the_agent(request)) {
        say_refused(request, "Host");
        return forbidden(request);
    }
    if (request.is_websockt()) {
        // Foreign pages are refused with 403 before the handshake (the server's upgrade check,
        // installed by init_web_server). Should this handler serve a server without that check,
        // the 101 has gone out, so the refusal is a close frame: 1008, policy violation.
        if (!origin_allowed(request)) return request.close_ws(1008, std::nullopt);
        return relay(request);
    }
    if (request.method == "GET") return serve_get(request);
    if (request.method == "POST") return request.write_text("{}", 200, "application/json");
    if (request.method == "PUT") return request.write_text("Bad Request", 400, "text/plain");
    return request.write_text(kWrongMethodPage, 200, "text/html");
}

std::atomic<bool> SERVER_FAILED{false};

std::thread run(std::unique_ptr<http::HttpServer> server, net::TcpListener listener) {
    std::vector<net::TcpListener> listeners;
    listeners.push_back(std::move(listener));
    return run(std::move(server), std::move(listeners));
}

std::thread run(std::unique_ptr<http::HttpServer> server, std::vector<net::TcpListener> listeners) {
    struct Serving {
        std::unique_ptr<http::HttpServer> server;
        std::vector<net::TcpListener> listeners;
    };
    auto serving = std::make_shared<Serving>(Serving{std::move(server), std::move(listeners)});
    // The accept loops of the other listeners start here, so that every thread of an idle agent
    // exists once start-up has returned.
    std::vector<std::thread> others;
    for (std::size_t i = 1; i < serving->listeners.size(); ++i) {
        try {
            others.emplace_back([serving, i] { serving->server->start(serving->listeners[i]); });
        } catch (const std::system_error& error) {
            diagnostics::err(std::string("couldn't start an accept thread: ") + error.what());
        }
    }
    return std::thread([serving, others = std::move(others)]() mutable {
        try {
            if (!serving->listeners.empty()) serving->server->start(serving->listeners.front());
        } catch (...) {
            // Nothing in the server throws by design; an exhausted allocator might.
            SERVER_FAILED = true;
        }
        serving->server->stop();
        for (auto& other : others) other.join();
    });
}

namespace {

// The server's own lines: the accept loop's on standard output; a connection's failure on
// standard error, and each refusal or peer's end only with --verbose, both within the budget of
// the lines that clients cause.
void server_log(http::LogLevel level, std::string line) {
    switch (level) {
    case http::LogLevel::error: diagnostics::client_err(std::move(line)); break;
    case http::LogLevel::notice: diagnostics::out(std::move(line)); break;
    case http::LogLevel::detail:
        if (diagnostics::verbose()) diagnostics::client_out(std::move(line));
        break;
    }
}

// 127.0.0.1:8095, and [::1]:8095 beside it, so that no other program can take the port's IPv6
// form (where "localhost" may lead a browser). A machine without IPv6 on its loopback goes on
// with IPv4 alone; a [::1]:8095 held by someone else stops the start.
std::optional<std::vector<net::TcpListener>> bind_listeners() {
    std::vector<net::TcpListener> listeners;
    auto v4 = net::TcpListener::bind("127.0.0.1", kAgentPort);
    if (!v4) {
        diagnostics::err("Failed to build web server on port " + std::to_string(kAgentPort) +
                         ", please make it available.");
        return std::nullopt;
    }
    listeners.push_back(std::move(*v4));
    auto v6 = net::TcpListener::bind("::1", kAgentPort);
    if (v6) {
        listeners.push_back(std::move(*v6));
    } else if (net::sys::address_in_use(v6.error().code)) {
        diagnostics::err("Failed to build web server on port " + std::to_string(kAgentPort) +
                         ": another program holds [::1]:" + std::to_string(kAgentPort) +
                         ", please make it available.");
        return std::nullopt;
    } else if (diagnostics::verbose()) {
        diagnostics::out("No IPv6 loopback ([::1]:" + std::to_string(kAgentPort) +
                         "): " + v6.error().message + "; listening on 127.0.0.1 only.");
    }
    return listeners;
}

}  // namespace

std::optional<std::thread> init_web_server(const std::optional<std::string>& origin) {
    if (origin && !origin->empty()) {
        std::size_t n = std::min(origin->size(), kOriginCapacity);
        std::memcpy(AGENT_ORIGION, origin->data(), n);
        AGENT_ORIGION_LEN = n;
    }
    read_limits_from_environment();
    smartcard::agent_stack();  // built before the first connection, not during it
    auto server = std::make_unique<http::HttpServer>();
    server->set_def_handler(http::HandlerEntry{std::nullopt, web_handler});
    server->set_upgrade_check(accepts_upgrade);
    server->set_max_connections(limits().connections);
    server->set_head_deadline(std::chrono::seconds(limits().head_seconds));
    server->set_log(server_log);
    server->on_idle(platform::release_free_memory);
    auto listeners = bind_listeners();
    if (!listeners) return std::nullopt;
    return run(std::move(server), std::move(*listeners));
}

}  // namespace kx_agent::server
