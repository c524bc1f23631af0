#pragma once
#include <string_view>

namespace kx_agent::server {

// The bridge that the web client opens in a window of its own: the page loads the script, the
// script opens the WebSocket to the agent and relays postMessage traffic both ways.
extern const std::string_view kBridgePage;
extern const std::string_view kBridgeScript;

}  // namespace kx_agent::server
