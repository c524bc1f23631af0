#pragma once
// One call as the benchmark times it, on each of its paths:
// - direct: the PC/SC function called from this process, as the agent calls it;
// - agent: the relayed message (or messages) over one WebSocket connection to the agent;
// - echo: the same message sizes, each way, bounced off the bare echo server.
// A workload holds what its call needs (a context, a connected card) for its whole life, so
// only the call itself is timed.
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/calls.h"
#include "bench/ws_client.h"

namespace kx_agent::bench {

enum class CallKind { Handshake, EstablishRelease, ListReaders, StatusChange, Status };

struct CallInfo {
    CallKind kind;
    const char* name;
    bool has_direct;  // the handshake touches no PC/SC: it has no direct form
};

// Every call the benchmark times, in the order of its tables.
const std::vector<CallInfo>& benchmarked_calls();

inline const std::string kReaderOne = "Virtual PCD 00 00";
inline const std::string kReaderTwo = "Virtual PCD 00 01";

class Workload {
public:
    virtual ~Workload() = default;
    // One timed unit of the call; an error ends the measurement of this path.
    virtual std::expected<void, std::string> once() = 0;
};

class AgentWorkload : public Workload {
public:
    // The request messages of one unit, and the sizes of the replies the agent gave them.
    const std::vector<Bytes>& requests() const { return requests_; }
    const std::vector<std::size_t>& reply_sizes() const { return reply_sizes_; }
    // Set when the agent answers the call with SCARD_E_UNSUPPORTED_FEATURE (or a call the
    // workload needs first, such as the connect before a status, with an error): the figures
    // then show the relay with a placeholder handler, not the call.
    const std::optional<std::string>& placeholder() const { return placeholder_; }

protected:
    std::vector<Bytes> requests_;
    std::vector<std::size_t> reply_sizes_;
    std::optional<std::string> placeholder_;
};

std::expected<std::unique_ptr<Workload>, std::string> direct_workload(CallKind kind);
std::expected<std::unique_ptr<AgentWorkload>, std::string> agent_workload(CallKind kind,
                                                                          uint16_t port);
// Round trips of `requests` answered with replies of `reply_sizes`, in turn; with `work`, the
// echo server runs that unit of work (an index into its work table) before it replies.
std::expected<std::unique_ptr<Workload>, std::string> echo_workload(
    uint16_t port, const std::vector<Bytes>& requests, const std::vector<std::size_t>& reply_sizes,
    std::optional<std::size_t> work = std::nullopt);

}  // namespace kx_agent::bench
