#include "bench/processes.h"

#include <PCSC/winscard.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <utility>

#include "bench/sockets.h"

extern char** environ;

namespace kx_agent::bench {
namespace {

// Children still running, for the signal handler and the watchdog.
std::array<std::atomic<pid_t>, 8> live_children{};

void remember(pid_t pid) {
    for (auto& slot : live_children) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, pid)) return;
    }
}

void forget(pid_t pid) {
    for (auto& slot : live_children) {
        pid_t expected = pid;
        slot.compare_exchange_strong(expected, 0);
    }
}

constexpr const char* kReaderOne = "Virtual PCD 00 00";
constexpr std::string_view kAgentReady = "Tolvane Agent is ready on port 8095.";
constexpr uint16_t kAgentPort = 8095;

bool card_present(bool wanted, std::chrono::milliseconds patience) {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        return false;
    auto deadline = std::chrono::steady_clock::now() + patience;
    bool seen = false;
    while (!seen && std::chrono::steady_clock::now() < deadline) {
        SCARD_READERSTATE state{};
        state.szReader = kReaderOne;
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        if (SCardGetStatusChange(context, 0, &state, 1) == SCARD_S_SUCCESS)
            seen = ((state.dwEventState & SCARD_STATE_PRESENT) != 0) == wanted;
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    SCardReleaseContext(context);
    return seen;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

void kill_children_now() {
    for (auto& slot : live_children) {
        pid_t pid = slot.load();
        if (pid > 0) ::kill(pid, SIGKILL);
    }
}

std::expected<ChildProcess, std::string> ChildProcess::start(
    const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
    const std::string& log_path) {
    std::vector<std::string> env_strings = extra_env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string_view entry(*e);
        bool replaced = false;
        for (const std::string& extra : extra_env)
            replaced |=
                entry.substr(0, entry.find('=') + 1) == extra.substr(0, extra.find('=') + 1);
        if (!replaced) env_strings.emplace_back(entry);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (std::string& entry : env_strings) env.push_back(entry.data());
    env.push_back(nullptr);

    int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0) return std::unexpected("cannot write " + log_path + ": " + std::strerror(errno));
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(log);
        return std::unexpected(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::dup2(log, 1);
        ::dup2(log, 2);
        ::execve(args[0], args.data(), env.data());
        ::_exit(127);
    }
    ::close(log);
    remember(pid);
    return ChildProcess(pid);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        stop();
        pid_ = std::exchange(other.pid_, -1);
    }
    return *this;
}

ChildProcess::~ChildProcess() { stop(); }

bool ChildProcess::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        forget(pid_);
        pid_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + grace;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    forget(pid_);
    pid_ = -1;
}

std::expected<MachineLock, std::string> MachineLock::take(const std::string& path,
                                                          std::chrono::seconds patience) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return std::unexpected("cannot open " + path + ": " + std::strerror(errno));
    auto deadline = std::chrono::steady_clock::now() + patience;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        std::fprintf(stderr, "waiting for %s (another run or test holds it)\n", path.c_str());
    else return MachineLock(fd);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            return std::unexpected(path + " stayed locked for " + std::to_string(patience.count()) +
                                   " s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return MachineLock(fd);
}

MachineLock::MachineLock(MachineLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

MachineLock::~MachineLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
}

std::map<std::string, std::size_t> proc_status(pid_t pid) {
    std::map<std::string, std::size_t> fields;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        if (name != "VmRSS" && name != "RssAnon" && name != "RssFile" && name != "Threads")
            continue;
        fields[name] = std::stoul(line.substr(colon + 1));
    }
    // Thread stacks: anonymous mappings of the default thread stack size (RLIMIT_STACK, 8 MiB
    // unless changed), whose resident pages are what each connection thread has touched.
    rlimit stack{};
    ::getrlimit(RLIMIT_STACK, &stack);
    const std::size_t stack_kib = stack.rlim_cur == RLIM_INFINITY ? 0 : stack.rlim_cur / 1024;
    std::ifstream maps("/proc/" + std::to_string(pid) + "/smaps");
    std::size_t size = 0;
    bool anonymous = false;
    while (std::getline(maps, line)) {
        const std::string first = line.substr(0, line.find(' '));
        if (first.find('-') != std::string::npos && first.find(':') == std::string::npos) {
            // "start-end perms offset dev inode [path]": anonymous when no path follows.
            std::istringstream fields_of(line);
            std::string range, perms, offset, dev, inode, path;
            fields_of >> range >> perms >> offset >> dev >> inode >> path;
            anonymous = path.empty();
            continue;
        }
        if (line.starts_with("Size:")) size = std::stoul(line.substr(5));
        // glibc takes the guard page out of the stack's own mapping.
        else if (line.starts_with("Rss:") && anonymous && stack_kib > 0 && size + 64 >= stack_kib &&
                 size <= stack_kib)
            fields["StackRss"] += std::stoul(line.substr(4));
    }
    return fields;
}

std::map<pid_t, uint64_t> thread_cpu_ns(pid_t pid) {
    std::map<pid_t, uint64_t> threads;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream in(task.path() / "schedstat");
        uint64_t run = 0;
        if (in >> run)
            threads[static_cast<pid_t>(std::stol(task.path().filename().string()))] = run;
    }
    return threads;
}

uint64_t cpu_time_since(pid_t pid, const std::map<pid_t, uint64_t>& before) {
    uint64_t total = 0;
    for (const auto& [tid, run] : thread_cpu_ns(pid)) {
        auto then = before.find(tid);
        uint64_t start = then == before.end() ? 0 : then->second;
        if (run >= start) total += run - start;
    }
    return total;
}

CpuSplit cpu_split(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name is in parentheses and may hold spaces: count fields after the last ')'.
    auto close = text.rfind(')');
    if (close == std::string::npos) return {};
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    CpuSplit split;
    const double tick_us = 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    // Fields 3.. follow the name; utime and stime are fields 14 and 15.
    for (int number = 3; fields >> field && number <= 15; ++number) {
        if (number == 14) split.user_us = std::stod(field) * tick_us;
        if (number == 15) split.system_us = std::stod(field) * tick_us;
    }
    return split;
}

CpuMark::CpuMark(pid_t pid)
    : pid_(pid),
      threads_(pid > 0 ? thread_cpu_ns(pid) : std::map<pid_t, uint64_t>{}),
      split_(pid > 0 ? cpu_split(pid) : CpuSplit{}) {}

CpuSpent CpuMark::since() const {
    if (pid_ <= 0) return {};
    const CpuSplit split = cpu_split(pid_);
    return {static_cast<double>(cpu_time_since(pid_, threads_)) / 1000.0,
            split.user_us - split_.user_us, split.system_us - split_.system_us};
}

std::size_t raise_file_limit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
    return static_cast<std::size_t>(limit.rlim_cur);
}

std::expected<ChildProcess, std::string> start_agent(const std::string& path,
                                                     const std::string& log_path) {
    // The lock keeps the tests of this machine off the port; anything still listening there
    // is somebody's agent started by hand, which the benchmark must not measure.
    if (auto probe = connect_loopback(kAgentPort)) {
        ::close(*probe);
        return std::unexpected(std::string("something already listens on 127.0.0.1:8095"));
    }
    // Room for the idle connections whose memory is measured (the default bound is 256).
    auto agent = ChildProcess::start({path}, {"TOLVANE_MAX_CONNECTIONS=5000"}, log_path);
    if (!agent) return agent;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!agent->running())
            return std::unexpected("the agent ended at start: " + read_file(log_path));
        if (read_file(log_path).find(kAgentReady) != std::string::npos) return agent;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::unexpected("the agent did not get ready: " + read_file(log_path));
}

std::expected<EchoProcess, std::string> start_echo_process(const std::string& log_path) {
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return std::unexpected(std::string("cannot find this program's own path"));
    self[n] = 0;
    auto echo = ChildProcess::start({self, "--serve-echo"}, {}, log_path);
    if (!echo) return std::unexpected(echo.error());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!echo->running())
            return std::unexpected("the echo server ended: " + read_file(log_path));
        std::string log = read_file(log_path);
        if (auto at = log.find(kEchoPortLine);
            at != std::string::npos && log.find('\n', at) != std::string::npos) {
            auto port = static_cast<uint16_t>(std::stoul(log.substr(at + kEchoPortLine.size())));
            return EchoProcess{std::move(*echo), port};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::unexpected("the echo server did not start: " + read_file(log_path));
}

std::expected<ChildProcess, std::string> insert_virtual_card(const std::string& log_path) {
    // Debian's vicc imports `Crypto`, which Debian ships as `Cryptodome`: a folder holding a
    // `Crypto` link to it, put on PYTHONPATH, lets it start without touching system files.
    const std::string shim = "/tmp/tolvane-bench-vicc-" + std::to_string(::getuid());
    ::mkdir(shim.c_str(), 0755);
    const std::string link = shim + "/Crypto";
    ::unlink(link.c_str());
    if (::symlink("/usr/lib/python3/dist-packages/Cryptodome", link.c_str()) != 0)
        return std::unexpected("cannot link " + link + ": " + std::strerror(errno));
    // vpcd's address as such: "localhost" (vicc's default) needs /etc/hosts.
    auto card = ChildProcess::start(
        {"/usr/bin/python3", "/usr/bin/vicc", "-t", "iso7816", "-H", "127.0.0.1"},
        {"PYTHONPATH=/usr/lib/python3/site-packages/virtualsmartcard:" + shim}, log_path);
    if (!card) return card;
    if (!card_present(true, std::chrono::seconds(15))) {
        card->stop();
        return std::unexpected("the virtual card did not appear in " + std::string(kReaderOne) +
                               ": " + read_file(log_path));
    }
    return card;
}

void remove_virtual_card(ChildProcess& card) {
    if (!card.running()) return;
    card.stop();
    card_present(false, std::chrono::seconds(10));
}

}  // namespace kx_agent::bench
