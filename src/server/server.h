#pragma once
// The agent's web side: the trusted origin, the HTTP server on 127.0.0.1:8095 and the request
// handler that serves the bridge and relays WebSocket messages to the smart-card layer.
#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "velkin/http/http.h"
#include "velkin/net.h"

namespace kx_agent::server {

// The trusted origin, written once by init_web_server before the server thread starts and only
// read afterwards. Stored exactly as configured; comparisons lower-case it.
inline constexpr std::size_t kOriginCapacity = 256;
extern uint8_t AGENT_ORIGION[kOriginCapacity];
extern std::size_t AGENT_ORIGION_LEN;

// The origins of the pages the agent serves itself, one for each name its Host check answers.
inline constexpr std::array<std::string_view, 3> kAgentOrigins = {
    "http://127.0.0.1:8095", "http://localhost:8095", "http://[::1]:8095"};
inline constexpr uint16_t kAgentPort = 8095;

// The configured origin as text (one character per byte); empty when none is configured.
std::string configured_origin();

// Whether a WebSocket upgrade may be answered: when its Host names the agent (127.0.0.1:8095,
// localhost:8095 or [::1]:8095) and its Origin is absent, one of the agent's own pages, or the
// configured origin; with no origin configured, a page of this computer (is_local_origin).
// Installed as the server's upgrade check, so that a foreign page gets 403 instead of the
// handshake.
bool accepts_upgrade(const vornic::velkin::http::HttpRequest& request);

// Stores the origin (at most kOriginCapacity bytes; longer values are refused by the caller),
// takes the limits from the environment (read_limits_from_environment), binds 127.0.0.1:8095
// and [::1]:8095 (where the machine has IPv6) and starts the server thread. On a bind failure
// it prints the start-up failure on standard error and returns nothing.
std::optional<std::thread> init_web_server(const std::optional<std::string>& origin);

// Set when the server thread ended by a failure rather than by returning.
extern std::atomic<bool> SERVER_FAILED;

// Runs the server's accept loop on a thread of its own; the thread owns server and listener.
std::thread run(std::unique_ptr<vornic::velkin::http::HttpServer> server,
                vornic::velkin::net::TcpListener listener);
std::thread run(std::unique_ptr<vornic::velkin::http::HttpServer> server,
                std::vector<vornic::velkin::net::TcpListener> listeners);

// The one request handler: bridge page and script, fixed replies, and the WebSocket relay.
vornic::velkin::http::IoResult<void> web_handler(vornic::velkin::http::HttpRequest& request);

// The body of /bridge.html: the bridge page with, when an origin is configured, the element that
// hands it to the bridge script (window.__agent_origion) in front of the script. The page is
// the only place that carries it: a page of another origin may include /bridge.js, but can
// neither read the bridge page nor frame it.
std::string bridge_page_body();

}  // namespace kx_agent::server
