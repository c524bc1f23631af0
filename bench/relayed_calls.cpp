// The relayed paths: each call as messages over one WebSocket connection, to the agent or to
// the echo server.
#include "bench/workloads.h"

namespace kx_agent::bench {
namespace {

constexpr uint32_t kScopeSystem = 2;    // SCARD_SCOPE_SYSTEM
constexpr uint32_t kShareShared = 2;    // SCARD_SHARE_SHARED
constexpr uint32_t kProtocolsT0T1 = 3;  // SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1
constexpr uint32_t kLeaveCard = 0;      // SCARD_LEAVE_CARD

// One relayed unit: the messages of `requests_` in turn, each answered before the next goes.
class Relayed : public AgentWorkload {
public:
    explicit Relayed(WsClient client) : client_(std::move(client)) {}
    ~Relayed() override {
        for (const Bytes& message : cleanup_) (void)client_.call(message);
    }

    std::expected<void, std::string> once() override {
        for (std::size_t i = 0; i < requests_.size(); ++i) {
            auto reply = client_.call(requests_[i]);
            if (!reply) return std::unexpected(reply.error());
            if (auto checked = check(i, *reply); !checked) return checked;
        }
        return {};
    }

    // The first unit, untimed: it records the reply sizes and finds placeholder handlers.
    std::expected<void, std::string> first() {
        reply_sizes_.clear();
        for (std::size_t i = 0; i < requests_.size(); ++i) {
            auto reply = client_.call(requests_[i]);
            if (!reply) return std::unexpected(reply.error());
            reply_sizes_.push_back(reply->size());
            if (return_code(*reply) == kUnsupportedFeature)
                placeholder_ = "the agent answers SCARD_E_UNSUPPORTED_FEATURE";
            if (auto checked = check(i, *reply); !checked) return checked;
        }
        return {};
    }

    // A call made once, untimed, before the timed ones (establishing a context, connecting).
    std::expected<Bytes, std::string> setup_call(const Bytes& message) {
        auto reply = client_.call(message);
        if (!reply) return std::unexpected(reply.error());
        return Bytes(reply->begin(), reply->end());
    }

    void set_requests(std::vector<Bytes> requests) { requests_ = std::move(requests); }
    std::vector<Bytes>& cleanup() { return cleanup_; }
    // The timed call goes although a call before it failed: any answer is taken.
    void take_any_answer(std::string why) {
        placeholder_ = std::move(why);
        any_answer_ = true;
    }

protected:
    virtual std::expected<void, std::string> check(std::size_t index,
                                                   std::span<const uint8_t> reply) {
        auto code = return_code(reply);
        if (!code) return std::unexpected("reply of " + std::to_string(reply.size()) + " bytes");
        if (!any_answer_ && *code != 0 && *code != kUnsupportedFeature)
            return std::unexpected("call " + std::to_string(index) + " answered " + hex32(*code));
        return {};
    }

private:
    WsClient client_;
    std::vector<Bytes> cleanup_;  // sent when the workload ends: release, disconnect
    bool any_answer_ = false;
};

class Handshake final : public Relayed {
public:
    using Relayed::Relayed;

protected:
    std::expected<void, std::string> check(std::size_t, std::span<const uint8_t> reply) override {
        if (reply.size() != 2 || reply[0] != 3 || reply[1] != 2)
            return std::unexpected(std::string("handshake not answered 03 02"));
        return {};
    }
};

// The context of an establish made over the connection, released when the workload ends.
class EstablishRelease final : public Relayed {
public:
    using Relayed::Relayed;

protected:
    std::expected<void, std::string> check(std::size_t index,
                                           std::span<const uint8_t> reply) override {
        if (auto checked = Relayed::check(index, reply); !checked) return checked;
        if (index == 0) {
            auto context = established_context(reply);
            if (!context) return std::unexpected(std::string("establish gave no context"));
            put_u64_le(requests_[1], kReleaseContextOffset, *context);
        }
        return {};
    }
};

std::expected<uint64_t, std::string> establish(Relayed& workload) {
    auto reply = workload.setup_call(establish_call(kScopeSystem));
    if (!reply) return std::unexpected(reply.error());
    auto context = established_context(*reply);
    if (!context)
        return std::unexpected("establish over the agent answered " +
                               hex32(return_code(*reply).value_or(0)));
    workload.cleanup().push_back(release_call(*context));
    return *context;
}

std::expected<void, std::string> prepare(Relayed& workload, CallKind kind) {
    if (kind == CallKind::Handshake) {
        workload.set_requests({handshake_message()});
        return {};
    }
    if (kind == CallKind::EstablishRelease) {
        workload.set_requests({establish_call(kScopeSystem), release_call(0)});
        return {};
    }
    auto context = establish(workload);
    if (!context) return std::unexpected(context.error());
    if (kind == CallKind::ListReaders) {
        workload.set_requests({list_readers_call(*context, kReaderListSize)});
        return {};
    }
    if (kind == CallKind::StatusChange) {
        const std::vector<std::string> readers{kReaderOne, kReaderTwo};
        workload.set_requests({status_change_call(*context, readers)});
        return {};
    }
    // Status: on a card connected over the same connection. Without a connect the status
    // call still goes, with a handle the agent never gave: it shows only the relay.
    auto reply =
        workload.setup_call(connect_call(*context, kReaderOne, kShareShared, kProtocolsT0T1));
    if (!reply) return std::unexpected(reply.error());
    uint64_t card = connected_card(*reply).value_or(0);
    if (card != 0)
        workload.cleanup().insert(workload.cleanup().begin(),
                                  disconnect_call(*context, card, kLeaveCard));
    else
        workload.take_any_answer("the agent answers the connect before it with " +
                                 hex32(return_code(*reply).value_or(0)));
    workload.set_requests({status_call(*context, card != 0 ? card : 1)});
    return {};
}

class Echo final : public Workload {
public:
    Echo(WsClient client, std::vector<Bytes> requests, std::vector<std::size_t> sizes)
        : client_(std::move(client)), requests_(std::move(requests)), sizes_(std::move(sizes)) {}

    std::expected<void, std::string> once() override {
        for (std::size_t i = 0; i < requests_.size(); ++i) {
            auto reply = client_.call(requests_[i]);
            if (!reply) return std::unexpected(reply.error());
            if (reply->size() != sizes_[i])
                return std::unexpected(std::string("echo of a wrong size"));
        }
        return {};
    }

private:
    WsClient client_;
    std::vector<Bytes> requests_;
    std::vector<std::size_t> sizes_;
};

}  // namespace

const std::vector<CallInfo>& benchmarked_calls() {
    static const std::vector<CallInfo> calls{
        {CallKind::Handshake, "handshake 03 01", false},
        {CallKind::EstablishRelease, "EstablishContext+Release", true},
        {CallKind::ListReaders, "ListReaders", true},
        {CallKind::StatusChange, "GetStatusChange(0)", true},
        {CallKind::Status, "Status", true},
    };
    return calls;
}

std::expected<std::unique_ptr<AgentWorkload>, std::string> agent_workload(CallKind kind,
                                                                          uint16_t port) {
    auto client = WsClient::open(port);
    if (!client) return std::unexpected(client.error());
    std::unique_ptr<Relayed> workload;
    if (kind == CallKind::Handshake) workload = std::make_unique<Handshake>(std::move(*client));
    else if (kind == CallKind::EstablishRelease)
        workload = std::make_unique<EstablishRelease>(std::move(*client));
    else workload = std::make_unique<Relayed>(std::move(*client));
    if (auto prepared = prepare(*workload, kind); !prepared)
        return std::unexpected(prepared.error());
    if (auto first = workload->first(); !first) return std::unexpected(first.error());
    return workload;
}

std::expected<std::unique_ptr<Workload>, std::string> echo_workload(
    uint16_t port, const std::vector<Bytes>& requests, const std::vector<std::size_t>& reply_sizes,
    std::optional<std::size_t> work) {
    std::string path = "/?replies=";
    for (std::size_t i = 0; i < reply_sizes.size(); ++i) {
        if (i > 0) path += ',';
        path += std::to_string(reply_sizes[i]);
    }
    if (work) path += "&work=" + std::to_string(*work);
    auto client = WsClient::open(port, path);
    if (!client) return std::unexpected(client.error());
    auto echo = std::make_unique<Echo>(std::move(*client), requests, reply_sizes);
    if (auto first = echo->once(); !first) return std::unexpected(first.error());
    return echo;
}

}  // namespace kx_agent::bench
