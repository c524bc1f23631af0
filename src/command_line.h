#pragma once
// The agent's command line and the origin it is configured to trust. A command line or a
// configuration that cannot be read as meant stops the agent: guessing would widen its trust
// (an unknown "--orgin https://..." ignored leaves every web page trusted).
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kx_agent {

// The agent's version, as the build gives it.
std::string_view agent_version();

struct CommandLine {
    enum class Action { run, help, version };
    Action action = Action::run;
    std::optional<std::string> origin;  // --origin, checked with origin_problem
    bool verbose = false;
};

// Reads the arguments after the program name: "--origin ORIGIN" (or "--origin=ORIGIN"),
// "--verbose", "--help" (or "-h"), "--version". The first of --help and --version reached
// ends the reading. Anything else (an unknown option, a stray word, an option without its
// value, a second --origin, an origin that origin_problem refuses) is a one-line reason.
std::expected<CommandLine, std::string> parse_command_line(std::span<const std::string> arguments);

// Why `origin` is not one the agent can trust, or nothing when it is: scheme://host[:port]
// with http or https, an optional path after it ("/client/"), at most 256 bytes, printable
// ASCII (an international host name in its xn-- form, as browsers send it), no user name,
// query or fragment.
std::optional<std::string> origin_problem(std::string_view origin);

// Whether a page of `origin` (the Origin header's value, RFC 6454: scheme://host[:port]) is one
// of this computer's: its host is localhost, an address of 127.0.0.0/8 or [::1], whatever the
// scheme and port. With no origin configured, these are the only pages trusted; the opaque
// "null" origin, and anything with a path, user or other host, is not one.
bool is_local_origin(std::string_view origin);

// The origin written in a configuration file: the one line that is neither blank nor a comment
// ("#"), spaces around it ignored. Absent when every line is blank or a comment; a reason when
// there are two such lines or the one is no origin.
std::expected<std::optional<std::string>, std::string> origin_in_file_text(std::string_view text);

// The text of --help: every option, and where the origin comes from, the configuration files
// (`origin_files`, as shown to the user, first the one that wins) among them.
std::string usage_text(std::span<const std::string> origin_files);

}  // namespace kx_agent
