#pragma once
// What the agent needs from its own process that POSIX and Windows give differently.
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kx_agent::platform {

// A write to a connection whose peer has gone must fail with an error, not end the process:
// ignores SIGPIPE where there is one.
void ignore_broken_pipe();

// The file of the running program, whose end may carry the origin trailer: the start path
// (`first_argument`) on POSIX; on Windows the module's own file name, since the start path may
// be a bare name found through the search path.
std::filesystem::path executable_path(std::string_view first_argument);

// The configuration files that may name the origin to trust, the one that wins first. On POSIX
// the user's ($XDG_CONFIG_HOME, else ~/.config)/tolvane-agent/origin, then the machine's
// /etc/tolvane-agent/origin. None on Windows, where the origin is stamped into the executable.
std::vector<std::filesystem::path> origin_files();

// Gives the memory the allocator holds free back to the system, as far as it can: called when
// the last connection ends, so that an agent that served a burst does not keep its peak for
// hours. glibc keeps freed memory in its per-thread arenas (malloc_trim); the Windows CRT heap
// (_heapmin).
void release_free_memory();

// A path as UTF-8 text for messages.
std::string display_path(const std::filesystem::path& path);

}  // namespace kx_agent::platform
