#include "server/server.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <syncstream>
#include <variant>
#include <vector>

#include "data_view.h"
#include "server/bridge.h"
#include "server/process.h"
#include "server/relay.h"
#include "smartcard/pcsc_stack.h"
#include "velkin/http/websocket.h"
#include "velkin/string.h"

namespace kx_agent::server {

uint8_t AGENT_ORIGION[kOriginCapacity] = {};
std::size_t AGENT_ORIGION_LEN = 0;

namespace http = vornic::velkin::http;
namespace net = vornic::velkin::net;
namespace websocket = vornic::velkin::http::websocket;

namespace {

constexpr std::string_view kOriginLine = "window.__agent_origion = \"";

constexpr std::string_view kUnsupportedPage =
    "<html>\n"
    "    <body>\n"
    "        <p>Unsupported http request.</p>\n"
    "    </body>\n"
    "</html>\n";
constexpr std::string_view kWrongMethodPage = "<html><body>Someting Wrong</body></html>";

// The origin as the body of a JavaScript string literal: quote, backslash and control
// characters are escaped so that no configured value can end the literal or change the
// script. Ordinary origins pass unchanged.
void append_js_string_body(std::string& out, std::span<const uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (uint8_t b : bytes) {
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b < 0x20 || b == 0x7F) {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        } else {
            out += static_cast<char>(b);
        }
    }
}

bool origin_allowed(const http::HttpRequest& request) {
    if (AGENT_ORIGION_LEN == 0) return true;
    return request.from_origin(kAgentOrigin) || request.from_origin(configured_origin());
}

// One WebSocket connection: strict order, or side by side when the client's handshake asks.
http::IoResult<void> relay(http::HttpRequest& request) {
    return relay_calls(request, smartcard::agent_stack().guard());
}

http::IoResult<void> serve_get(http::HttpRequest& request) {
    std::string route = request.get_route();
    route = route.substr(0, route.find('?'));
    if (route == "/bridge.html") return request.write_text(kBridgePage, 200, "text/html");
    if (route == "/bridge.js") return request.write_text(bridge_script_body(), 200, "text/javascript");
    return request.write_text(kUnsupportedPage, 200, "text/html");
}

}  // namespace

bool accepts_upgrade(const http::HttpRequest& request) { return origin_allowed(request); }

std::string configured_origin() {
    return vornic::velkin::string::FromAsciiBytes::from_ascii_bytes(
        std::span<const uint8_t>(AGENT_ORIGION, AGENT_ORIGION_LEN));
}

std::string bridge_script_body() {
    std::string body;
    body.reserve(kBridgeScript.size() + kOriginCapacity + 64);
    if (AGENT_ORIGION_LEN > 0) {
        body += kOriginLine;
        append_js_string_body(body, std::span<const uint8_t>(AGENT_ORIGION, AGENT_ORIGION_LEN));
        body += "\";\r\n";
    }
    body += kBridgeScript;
    return body;
}

http::IoResult<void> web_handler(http::HttpRequest& request) {
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
    return std::thread([server = std::move(server), listener = std::move(listener)]() mutable {
        try {
            server->start(listener);
        } catch (...) {
            // Nothing in the server throws by design; an exhausted allocator might.
            SERVER_FAILED = true;
        }
        server.reset();
    });
}

std::optional<std::thread> init_web_server(const std::optional<std::string>& origin) {
    if (origin && !origin->empty()) {
        std::size_t n = std::min(origin->size(), kOriginCapacity);
        std::memcpy(AGENT_ORIGION, origin->data(), n);
        AGENT_ORIGION_LEN = n;
    }
    smartcard::set_pcsc(&smartcard::agent_stack().top());
    auto server = std::make_unique<http::HttpServer>();
    server->set_def_handler(http::HandlerEntry{std::nullopt, web_handler});
    server->set_upgrade_check(accepts_upgrade);
    auto listener = net::TcpListener::bind("127.0.0.1", kAgentPort);
    if (!listener) {
        std::cerr << "Failed to build web server on port " << kAgentPort
                  << ", please make it available." << std::endl;
        return std::nullopt;
    }
    return run(std::move(server), std::move(*listener));
}

}  // namespace kx_agent::server
