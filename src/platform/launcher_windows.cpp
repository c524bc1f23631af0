// tolvane-agent-launcher: starts tolvane-agent.exe, the program beside it, the way a login
// should start it on Windows. A Windows-subsystem program, so nothing opens when it starts; the
// agent, a console program, runs without a console window (CREATE_NO_WINDOW), and its standard
// output and error are appended to %LOCALAPPDATA%\Tolvane Agent\agent.log. The launcher's own
// arguments go on to the agent as they were typed, and its exit status is the agent's.
//
// The launcher stays beside the agent for as long as it runs: the agent is in a job that ends
// with the launcher, and the launcher stops it when the named event kStopEvent is set (the
// installer and uninstaller do that before they replace or remove the files). The event exists
// while any launcher of the session runs, so they can wait for it to go.
#include <windows.h>

#include <shlobj.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include "platform/process.h"

namespace {

constexpr wchar_t kStopEvent[] = L"Local\\TolvaneAgentLauncher.Stop";
constexpr wchar_t kLogFolder[] = L"Tolvane Agent";
constexpr wchar_t kAgentProgram[] = L"tolvane-agent.exe";
// A log this long at the start is kept once as agent.old.log and a new one begun.
constexpr ULONGLONG kLogLimit = 1024 * 1024;
constexpr DWORD kStopWait = 10000;  // milliseconds for a stopped agent to be gone

// Closes a handle when it goes.
struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    explicit Handle(HANDLE handle) : h(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    Handle(Handle&& other) noexcept : h(std::exchange(other.h, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        std::swap(h, other.h);
        return *this;
    }
    ~Handle() {
        if (h) ::CloseHandle(h);
    }
    explicit operator bool() const { return h != nullptr; }
};

std::filesystem::path local_app_data() {
    PWSTR folder = nullptr;
    std::filesystem::path path;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder))) {
        path = folder;
    }
    ::CoTaskMemFree(folder);
    return path;
}

// The log for appending, by a handle the agent inherits: append-only access, so that every
// write, the launcher's or the agent's, lands at the end. A log grown past kLogLimit is set
// aside first (not while another launcher's agent still writes to it: then it grows on).
Handle open_log(const std::filesystem::path& folder) {
    if (!::CreateDirectoryW(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        return Handle();
    }
    const std::filesystem::path log = folder / L"agent.log";
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (::GetFileAttributesExW(log.c_str(), GetFileExInfoStandard, &info) &&
        (ULONGLONG{info.nFileSizeHigh} << 32 | info.nFileSizeLow) > kLogLimit) {
        ::MoveFileExW(log.c_str(), (folder / L"agent.old.log").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    return Handle(::CreateFileW(log.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherited,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// One line of the launcher's own in the log, after the local time, ended as the agent ends its
// lines (CR LF).
void log_line(HANDLE log, std::string_view text) {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u ", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond);
    const std::string line = stamp + std::string(text) + "\r\n";
    DWORD written = 0;
    ::WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

std::string utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    if (size > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                              size, nullptr, nullptr);
    }
    return out;
}

// What follows the program's name in a command line, as typed: the name ends at its closing
// quote when it starts with one, else at the first blank (the rule the C run time parses
// argv[0] by; the name may hold no quote of its own).
std::wstring_view arguments_of(std::wstring_view command_line) {
    std::size_t end = 0;
    if (!command_line.empty() && command_line.front() == L'"') {
        end = command_line.find(L'"', 1);
        end = end == std::wstring_view::npos ? command_line.size() : end + 1;
    } else {
        end = command_line.find_first_of(L" \t");
        if (end == std::wstring_view::npos) end = command_line.size();
    }
    command_line.remove_prefix(end);
    const std::size_t first = command_line.find_first_not_of(L" \t");
    return first == std::wstring_view::npos ? std::wstring_view() : command_line.substr(first);
}

// A job that ends the agent with the launcher, however the launcher ends. Where it cannot be
// had (a launcher already in a job on Windows 7), the agent runs without it.
Handle kill_on_close_job() {
    Handle job(::CreateJobObjectW(nullptr, nullptr));
    if (!job) return job;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(job.h, JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits)) {
        return Handle();
    }
    return job;
}

int launch() {
    Handle stop(::CreateEventW(nullptr, TRUE, FALSE, kStopEvent));
    if (stop && ::WaitForSingleObject(stop.h, 0) == WAIT_OBJECT_0) return 0;  // being stopped
    const std::filesystem::path app_data = local_app_data();
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    const auto null_device = [&inherited](DWORD access) {
        return Handle(::CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                                    OPEN_EXISTING, 0, nullptr));
    };
    // Without a log the agent runs all the same, its output dropped: a Windows program has no
    // console to say more on.
    Handle log = app_data.empty() ? Handle() : open_log(app_data / kLogFolder);
    if (!log) log = null_device(GENERIC_WRITE);

    const std::filesystem::path agent =
        kx_agent::platform::executable_path("").parent_path() / kAgentProgram;
    const std::wstring_view arguments = arguments_of(::GetCommandLineW());
    std::wstring command = L"\"" + agent.wstring() + L"\"";
    if (!arguments.empty()) command += L" " + std::wstring(arguments);
    log_line(log.h, "Starting " + utf8(command));
    if (!stop) {
        log_line(log.h, "The launcher cannot make its stop event (error " +
                            std::to_string(::GetLastError()) +
                            "); it cannot be stopped by the "
                            "installer");
    }

    Handle input = null_device(GENERIC_READ);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.h;
    startup.hStdOutput = log.h;
    startup.hStdError = log.h;
    PROCESS_INFORMATION process{};
    const std::wstring folder = agent.parent_path().wstring();
    if (!::CreateProcessW(agent.c_str(), command.data(), nullptr, nullptr, TRUE,
                          CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, folder.c_str(), &startup,
                          &process)) {
        log_line(log.h, "Cannot start " + kx_agent::platform::display_path(agent) + " (error " +
                            std::to_string(::GetLastError()) + ")");
        return 1;
    }
    Handle agent_process(process.hProcess);
    Handle agent_thread(process.hThread);
    Handle job = kill_on_close_job();
    if (job) ::AssignProcessToJobObject(job.h, agent_process.h);
    ::ResumeThread(agent_thread.h);

    const HANDLE waits[] = {agent_process.h, stop.h};
    const DWORD woken = ::WaitForMultipleObjects(stop ? 2 : 1, waits, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0 + 1) {
        ::TerminateProcess(agent_process.h, 1);
        ::WaitForSingleObject(agent_process.h, kStopWait);
        log_line(log.h, "Stopped, as the installer or uninstaller asked");
        return 0;
    }
    DWORD status = 1;
    ::GetExitCodeProcess(agent_process.h, &status);
    log_line(log.h, "tolvane-agent.exe ended with status " + std::to_string(status));
    return static_cast<int>(status);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return launch(); }
