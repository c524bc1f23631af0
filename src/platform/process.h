#pragma once
// What the agent needs from its own process that POSIX and Windows give differently.
#include <filesystem>
#include <string>
#include <string_view>

namespace kx_agent::platform {

// A write to a connection whose peer has gone must fail with an error, not end the process:
// ignores SIGPIPE where there is one.
void ignore_broken_pipe();

// The file of the running program, whose end may carry the origin trailer: the start path
// (`first_argument`) on POSIX; on Windows the module's own file name, since the start path may
// be a bare name found through the search path.
std::filesystem::path executable_path(std::string_view first_argument);

// A path as UTF-8 text for messages.
std::string display_path(const std::filesystem::path& path);

}  // namespace kx_agent::platform
