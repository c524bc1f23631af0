// The process seam on Windows.
#include <malloc.h>
#include <windows.h>

#include <vector>

#include "platform/process.h"

namespace kx_agent::platform {

void ignore_broken_pipe() {}  // Windows has no SIGPIPE: a failed send only returns an error

void release_free_memory() { _heapmin(); }

std::filesystem::path executable_path(std::string_view first_argument) {
    // GetModuleFileNameW cuts a name that does not fit and says so only by filling the buffer.
    std::vector<wchar_t> name(MAX_PATH);
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) {
            return std::filesystem::path(std::string(first_argument));
        }
        if (length < name.size()) {
            return std::filesystem::path(std::wstring(name.data(), length));
        }
        if (name.size() >= 32768) {  // the longest path Windows has
            return std::filesystem::path(std::string(first_argument));
        }
        name.resize(name.size() * 2);
    }
}

std::vector<std::filesystem::path> origin_files() { return {}; }

std::string display_path(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace kx_agent::platform
