#include "bench/side_by_side.h"

#include <cstring>
#include <string>
#include <vector>

#include "bench/calls.h"
#include "bench/ws_client.h"

namespace kx_agent::bench {
namespace {

constexpr std::size_t kCompletionIdOffset = 10;

uint32_t completion_id(std::span<const uint8_t> reply) {
    uint32_t id = 0;
    std::memcpy(&id, reply.data() + kCompletionIdOffset, sizeof id);
    return id;
}

void set_completion_id(Bytes& message, uint32_t id) {
    std::memcpy(message.data() + kCompletionIdOffset, &id, sizeof id);
}

}  // namespace

Throughput run_side_by_side(uint16_t port, std::size_t contexts, bool any_order,
                            std::chrono::milliseconds duration) {
    Throughput result;
    auto fail = [&](std::string why) {
        result.error = std::move(why);
        return result;
    };
    auto client = WsClient::open(port);
    if (!client) return fail(client.error());
    const Bytes handshake = any_order ? Bytes{3, 1, 1} : Bytes{3, 1};
    auto answer = client->call(handshake);
    if (!answer) return fail(answer.error());
    if (any_order && (answer->size() != 3 || (*answer)[2] != 1))
        return fail("the agent does not offer replies in any order");

    std::vector<uint64_t> made;
    std::vector<Bytes> calls;
    for (std::size_t i = 0; i < contexts; ++i) {
        auto reply = client->call(establish_call(2));
        if (!reply) return fail(reply.error());
        auto context = established_context(*reply);
        if (!context) return fail("establish answered " + hex32(return_code(*reply).value_or(0)));
        made.push_back(*context);
        calls.push_back(list_readers_call(*context, kReaderListSize));
        set_completion_id(calls.back(), static_cast<uint32_t>(i));
    }

    for (const Bytes& call : calls)
        if (auto sent = client->send(call); !sent) return fail(sent.error());
    uint64_t answered = 0;
    const auto started = std::chrono::steady_clock::now();
    const auto end = started + duration;
    auto now = started;
    while (now < end) {
        auto reply = client->receive();
        if (!reply) return fail(reply.error());
        if (return_code(*reply).value_or(1) != 0)
            return fail("ListReaders answered " + hex32(return_code(*reply).value_or(0)));
        const uint32_t id = completion_id(*reply);
        if (id >= calls.size()) return fail("a reply with an unknown CompletionId");
        ++answered;
        now = std::chrono::steady_clock::now();
        if (now < end)
            if (auto sent = client->send(calls[id]); !sent) return fail(sent.error());
    }
    const double seconds = std::chrono::duration<double>(now - started).count();
    result.per_second = static_cast<double>(answered) / seconds;
    // The calls still in flight are answered before the contexts go.
    for (uint64_t left = calls.size() - 1; left > 0; --left)
        if (auto reply = client->receive(); !reply) return fail(reply.error());
    for (uint64_t context : made)
        if (auto reply = client->call(release_call(context)); !reply) return fail(reply.error());
    client->close();
    return result;
}

}  // namespace kx_agent::bench
