// A third-party client, python's websockets, against a server built on the library.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstdlib>
#include <map>
#include <sstream>

#include "helpers.h"

extern char** environ;

namespace velkin_test {
namespace {

struct ChildRun {
    bool finished = false;  // exited on its own within the limit
    int status = 0;
    std::string out;
};

// Runs `argv` with standard output on a pipe, for at most `limit`; killed when it overruns.
ChildRun run_bounded(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    ChildRun run;
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed";
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[1]);
    if (spawned != 0) {
        ::close(pipe_fds[0]);
        ADD_FAILURE() << "posix_spawn " << argv[0] << " failed: " << spawned;
        return run;
    }

    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{pipe_fds[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char buffer[4096];
        const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
        if (n <= 0) {
            run.finished = true;  // end of output: the client is exiting
            break;
        }
        run.out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipe_fds[0]);
    if (!run.finished) {
        ::kill(pid, SIGKILL);
    }
    ::waitpid(pid, &run.status, 0);
    return run;
}

std::map<std::string, std::string> lines_of(const std::string& out) {
    std::map<std::string, std::string> values;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) {
            values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return values;
}

std::string hex(std::string_view text) {
    std::string out;
    char digits[3];
    for (const unsigned char c : text) {
        std::snprintf(digits, sizeof digits, "%02x", c);
        out += digits;
    }
    return out;
}

TEST(PythonWebsockets, TalksToTheServer) {
    const char* data = TOLVANE_TEST_DATA;
    auto seen = std::make_shared<Seen>();
    TestServer server([&](http::HttpServer& s) { s.set_def_handler(ws_echo(seen)); });

    const ChildRun run =
        run_bounded({"/usr/bin/python3", std::string(data) + "/velkin/ws_client.py",
                     std::to_string(server.port())},
                    30s);
    ASSERT_TRUE(run.finished) << "client overran its time; output so far:\n" << run.out;
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.out;

    // What the client received.
    const auto got = lines_of(run.out);
    const std::map<std::string, std::string> expected = {
        {"subprotocol", "tolvane.v1"},  // the first offered
        {"binary_echo", hex("B\x01\x02\x03")},
        {"text_echo", hex("Th\xC3\xA9llo")},
        {"fragmented_echo", hex("Bfragmented")},
        {"pong", "ok"},
        {"big_echo_ok", "True"},
        {"close_code", "1000"},  // the server echoes the status of the client's close
    };
    EXPECT_EQ(got, expected) << run.out;

    // What the server saw.
    ASSERT_TRUE(seen->wait_for("close"));
    EXPECT_EQ(seen->events(), (std::vector<std::string>{
                                  "binary:3:01 02 03",
                                  "text:h\xC3\xA9llo",
                                  "binary:10:66 72 61 67 6D 65 6E 74 65 64",
                                  "binary:70000:00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F",
                                  "close",
                              }));
}

}  // namespace
}  // namespace velkin_test
