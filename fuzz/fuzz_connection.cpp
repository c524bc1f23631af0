// A whole agent connection: the client sends the input (a request head, and after an upgrade
// the WebSocket frames of its calls) and the agent's own request handler answers it, relaying
// each binary message to the call handlers over the recording PC/SC fake.
//
// This is the path a web page drives; the other targets take its layers one at a time. Inputs
// whose handshake asks for replies in any order (03 01 01) run their calls on the connection's
// worker threads, side by side per context: the seeds hold such connections, one that goes back
// to strict order, and one that ends with calls still in flight (cancelled, replies dropped).
// handle_connection returns only when every worker of the connection has finished, so the fake
// below outlives every call made on it.
#include <algorithm>
#include <cstdint>
#include <string_view>
#include <memory>

#include "fake_pcsc.h"
#include "server/server.h"
#include "socket_peer.h"
#include "velkin/http/http.h"

namespace {

namespace http = vornic::velkin::http;

// As the agent sets up its server: an origin configured, foreign upgrades refused before the
// handshake, and every request handled by web_handler.
std::shared_ptr<const http::HandlerManager> table() {
    constexpr std::string_view kOrigin = "https://rdp.example.com/client/";
    std::copy(kOrigin.begin(), kOrigin.end(), kx_agent::server::AGENT_ORIGION);
    kx_agent::server::AGENT_ORIGION_LEN = kOrigin.size();
    auto handlers = std::make_shared<http::HandlerManager>();
    handlers->set_def_handler(http::HandlerEntry{std::nullopt, kx_agent::server::web_handler});
    handlers->set_upgrade_check(kx_agent::server::accepts_upgrade);
    return handlers;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tolvane::fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static tolvane::fuzz::SocketPeer peer;
    static const auto handlers = table();
    kx_agent::test::FakePcsc fake;
    const int fd = peer.open({data, size});
    http::handle_connection(vornic::velkin::net::TcpStream(fd), handlers);
    (void)peer.finish();
    if (fake.outstanding_allocations() != 0) std::abort();
    return 0;
}
