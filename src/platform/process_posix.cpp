// The process seam on POSIX.
#include <csignal>

#include "platform/process.h"

namespace kx_agent::platform {

void ignore_broken_pipe() { std::signal(SIGPIPE, SIG_IGN); }

std::filesystem::path executable_path(std::string_view first_argument) {
    return std::filesystem::path(std::string(first_argument));
}

std::string display_path(const std::filesystem::path& path) { return path.string(); }

}  // namespace kx_agent::platform
