#pragma once
// What the agent prints of the text messages that clients send. The relay carries calls in
// binary messages only; a text message is no call, and printing each one whole would let any
// page fill the journal (or the disk) at the speed of its connection.
//
// A connection's first kShownPerConnection text messages are printed, one line each, escaped and
// cut at kLongestShown bytes; the rest are counted and said in one line when the connection
// ends ("connection N: K more text messages"). With --verbose every message is printed. Either
// way the lines go under the budget of all the lines clients cause (diagnostics::client_out).
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kx_agent::server::text_log {

inline constexpr std::size_t kShownPerConnection = 3;
inline constexpr std::size_t kLongestShown = 1024;

// The text messages of one relayed connection. Its end says what was not printed.
class Connection {
public:
    explicit Connection(uint64_t id) : id_(id) {}
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // One text message of this connection.
    void print(std::string_view text);

private:
    uint64_t id_;
    std::size_t shown_ = 0;
    std::size_t hidden_ = 0;
};

}  // namespace kx_agent::server::text_log
