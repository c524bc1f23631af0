// The process seam on POSIX.
#include <malloc.h>

#include <csignal>
#include <cstdlib>

#include "platform/process.h"

namespace kx_agent::platform {

void ignore_broken_pipe() { std::signal(SIGPIPE, SIG_IGN); }

void release_free_memory() { malloc_trim(0); }

std::filesystem::path executable_path(std::string_view first_argument) {
    return std::filesystem::path(std::string(first_argument));
}

std::vector<std::filesystem::path> origin_files() {
    std::vector<std::filesystem::path> files;
    // The XDG base directory rule: a relative $XDG_CONFIG_HOME is ignored.
    const char* config_home = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config_home && config_home[0] == '/') {
        files.push_back(std::filesystem::path(config_home) / "tolvane-agent" / "origin");
    } else if (home && home[0] == '/') {
        files.push_back(std::filesystem::path(home) / ".config" / "tolvane-agent" / "origin");
    }
    files.emplace_back("/etc/tolvane-agent/origin");
    return files;
}

std::string display_path(const std::filesystem::path& path) { return path.string(); }

}  // namespace kx_agent::platform
