#include "virtual_card.h"

#include <PCSC/winscard.h>
#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kx_agent::test {
namespace {

// Debian's vicc imports `Crypto`, which Debian ships as `Cryptodome`: a directory holding a
// `Crypto` link to it, put on PYTHONPATH, lets it start without touching system files.
std::string crypto_shim() {
    static const std::string dir = [] {
        std::string d = "/tmp/tolvane-vicc-shim-" + std::to_string(getuid());
        mkdir(d.c_str(), 0755);
        std::string link = d + "/Crypto";
        unlink(link.c_str());
        symlink("/usr/lib/python3/dist-packages/Cryptodome", link.c_str());
        return d;
    }();
    return dir;
}

}  // namespace

bool wait_for_card(const char* reader, bool present, int timeout_ms) {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    bool seen = false;
    while (!seen && std::chrono::steady_clock::now() < deadline) {
        SCARD_READERSTATE state{};
        state.szReader = reader;
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        if (SCardGetStatusChange(context, 0, &state, 1) == SCARD_S_SUCCESS)
            seen = ((state.dwEventState & SCARD_STATE_PRESENT) != 0) == present;
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    SCardReleaseContext(context);
    return seen;
}

bool pcsc_stack_available() {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        return false;
    char names[1024];
    DWORD length = sizeof names;
    bool found = SCardListReaders(context, nullptr, names, &length) == SCARD_S_SUCCESS &&
                 std::string(names, length).find(kFirstReader) != std::string::npos;
    SCardReleaseContext(context);
    return found;
}

VirtualCard::VirtualCard(int port) : port_(port) {
    lock_fd_ = open("/tmp/tolvane-card.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lock_fd_ >= 0) flock(lock_fd_, LOCK_EX);
}

VirtualCard::~VirtualCard() {
    remove();
    if (lock_fd_ >= 0) close(lock_fd_);  // releases the lock
}

bool VirtualCard::insert() {
    if (pid_ > 0) return true;
    // A card removed a moment ago may still be seen for a short while.
    found_a_card_ = !wait_for_card(reader(), false, 3000);
    std::string port = std::to_string(port_);
    std::string pythonpath =
        "PYTHONPATH=/usr/lib/python3/site-packages/virtualsmartcard:" + crypto_shim();
    std::vector<std::string> env_strings{pythonpath};
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "PYTHONPATH=", 11) != 0) env_strings.emplace_back(*e);
    std::vector<char*> env;
    for (auto& s : env_strings) env.push_back(s.data());
    env.push_back(nullptr);
    // Debian's vicc must run under the system python, not one earlier on PATH. vpcd's address
    // is given as such: "localhost", vicc's default, needs /etc/hosts, which a fresh minimal
    // root lacks.
    const char* argv[] = {
        "/usr/bin/python3", "/usr/bin/vicc", "-t", "iso7816", "-H", "127.0.0.1", "-P",
        port.c_str(),       nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char**>(argv), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        return false;
    }
    if (!wait_for_card(reader(), true, 15000)) {
        remove();
        return false;
    }
    return true;
}

void VirtualCard::remove() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (waitpid(pid_, &status, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    wait_for_card(reader(), false, 10000);
}

testing::AssertionResult holds_no_foreign_card(const VirtualCard& card) {
    const bool foreign =
        card.inserted() ? card.found_a_card() : !wait_for_card(card.reader(), false, 3000);
    if (!foreign) return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << card.reader() << " holds a card that this test did not insert: another virtual "
           << "card (vicc) is running on this machine. This test removes the card, which it "
           << "cannot do while that one stays. Stop the other vicc (pgrep -a vicc) and run the "
           << "test again.";
}

}  // namespace kx_agent::test
