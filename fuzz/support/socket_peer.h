#pragma once
// The client end of a connection for fuzzing server code that reads and writes a socket.
//
// A pump thread plays the client over one end of a Unix socketpair: it writes the input bytes,
// then shuts its write side down (the server sees end of stream), and reads everything the
// server writes back (responses, pongs, close frames, replies) until the server closes its end.
// Because the pump drains while it feeds, the server never blocks on a full socket buffer,
// whatever the input makes it write.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace tolvane::fuzz {

// Sends the code's standard output to /dev/null: the agent's diagnostics ("Unknown smarcard
// operation", "text:") would flood the fuzzer's own output.
void silence_stdout();

class SocketPeer {
public:
    SocketPeer();
    ~SocketPeer();
    SocketPeer(const SocketPeer&) = delete;
    SocketPeer& operator=(const SocketPeer&) = delete;

    // A fresh connection whose client sends `input`; returns the server's end (the caller owns
    // it and must close it, normally by destroying the stream it is wrapped in).
    int open(std::span<const uint8_t> input);
    // Waits until the server's end has been closed and returns all the server wrote.
    const std::vector<uint8_t>& finish();

private:
    void pump();
    void serve(int fd);

    std::mutex mutex_;
    std::condition_variable changed_;
    int job_ = -1;  // the client end handed to the pump, -1 when there is none
    bool done_ = true;
    bool quit_ = false;
    std::span<const uint8_t> input_;
    std::vector<uint8_t> output_;
    std::thread thread_;
};

}  // namespace tolvane::fuzz
