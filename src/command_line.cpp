#include "command_line.h"

#include <algorithm>
#include <string>

#include "server/server.h"

#ifndef TOLVANE_VERSION
#define TOLVANE_VERSION "unknown"
#endif

namespace kx_agent {
namespace {

constexpr std::string_view kOriginOption = "--origin";
constexpr std::string_view kOriginExample = "https://rdp.example.com";

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A host name of letters, digits, '-' and '.', labels not empty; an IPv4 address is one too.
bool is_host_name(std::string_view host) {
    if (host.empty() || host.size() > 253) return false;
    std::size_t label = 0;
    for (char c : host) {
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
        } else if (is_alpha(c) || is_digit(c) || c == '-') {
            if (++label > 63) return false;
        } else {
            return false;
        }
    }
    return label > 0;
}

// "[" IPv6 "]": hexadecimal digits, ':' and '.' (an IPv4 tail) between the brackets.
bool is_bracketed_address(std::string_view host) {
    if (host.size() < 4 || host.front() != '[' || host.back() != ']') return false;
    for (char c : host.substr(1, host.size() - 2)) {
        const bool hex = is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex && c != ':' && c != '.') return false;
    }
    return host.find(':') != std::string_view::npos;
}

// Four decimal numbers of 0 to 255 separated by dots, the first 127: the loopback network as a
// browser writes it in an origin (always in this form, whatever the page's address said).
bool is_loopback_v4(std::string_view host) {
    int part = 0;
    std::size_t digits = 0;
    unsigned value = 0;
    for (std::size_t i = 0; i <= host.size(); ++i) {
        if (i == host.size() || host[i] == '.') {
            if (digits == 0 || value > 255 || (part == 0 && value != 127)) return false;
            if (++part > 4) return false;
            digits = 0;
            value = 0;
        } else if (is_digit(host[i]) && digits < 3) {
            value = value * 10 + static_cast<unsigned>(host[i] - '0');
            ++digits;
        } else {
            return false;
        }
    }
    return part == 4;
}

// Built by appending: g++ 12 at -O2 warns (-Wrestrict, a false positive) on "\"" + string.
std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    out += text;
    out += '"';
    return out;
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

}  // namespace

std::string_view agent_version() { return TOLVANE_VERSION; }

std::optional<std::string> origin_problem(std::string_view origin) {
    const std::string shape = " is not an origin of the form scheme://host[:port] (for example " +
                              std::string(kOriginExample) + ")";
    if (origin.empty()) return "the origin is empty";
    if (origin.size() > server::kOriginCapacity) {
        return "the origin is " + std::to_string(origin.size()) + " bytes long; at most " +
               std::to_string(server::kOriginCapacity) + " are allowed";
    }
    for (char c : origin) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) {
            return quoted(origin) +
                   " holds a space, a control or a non-ASCII character (write an international "
                   "host name in its xn-- form)";
        }
    }
    const auto separator = origin.find("://");
    if (separator == std::string_view::npos) return quoted(origin) + shape;
    std::string scheme(origin.substr(0, separator));
    for (char& c : scheme) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (scheme != "http" && scheme != "https") {
        return quoted(origin) + " has the scheme " + quoted(scheme) +
               "; only http and https are served";
    }
    const std::string_view rest = origin.substr(separator + 3);
    const std::string_view authority = rest.substr(0, rest.find('/'));
    const std::string_view path = rest.substr(authority.size());
    if (authority.find('@') != std::string_view::npos)
        return quoted(origin) + " names a user; an origin has none";
    if (path.find_first_of("?#") != std::string_view::npos) {
        return quoted(origin) + " has a query or a fragment; an origin has neither";
    }
    std::string_view host = authority;
    std::string_view port;
    const auto colon = authority.rfind(':');
    if (colon != std::string_view::npos && authority.find(']', colon) == std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
        if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), is_digit) ||
            std::stoul(std::string(port)) == 0 || std::stoul(std::string(port)) > 65535) {
            return quoted(origin) + " has the port " + quoted(port) + "; a port is 1 to 65535";
        }
    }
    if (!is_host_name(host) && !is_bracketed_address(host)) {
        return quoted(origin) + shape + ": " + quoted(host) + " is no host name";
    }
    return std::nullopt;
}

bool is_local_origin(std::string_view origin) {
    const auto separator = origin.find("://");
    if (separator == std::string_view::npos || separator == 0) return false;
    for (char c : origin.substr(0, separator))
        if (!is_alpha(c) && !is_digit(c) && c != '+' && c != '-' && c != '.') return false;
    const std::string_view authority = origin.substr(separator + 3);
    std::string_view host = authority;
    const auto colon = authority.rfind(':');
    if (colon != std::string_view::npos && authority.find(']', colon) == std::string_view::npos) {
        host = authority.substr(0, colon);
        const std::string_view port = authority.substr(colon + 1);
        if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), is_digit))
            return false;
    }
    std::string lower(host);
    for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return lower == "localhost" || lower == "[::1]" || is_loopback_v4(lower);
}

std::expected<CommandLine, std::string> parse_command_line(std::span<const std::string> arguments) {
    CommandLine line;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            line.action = CommandLine::Action::help;
            return line;
        }
        if (argument == "--version") {
            line.action = CommandLine::Action::version;
            return line;
        }
        if (argument == "--verbose") {
            line.verbose = true;
            continue;
        }
        std::optional<std::string> value;
        if (argument == kOriginOption) {
            // A missing value, or the next option taken for one, is an option without its value.
            if (i + 1 == arguments.size() || arguments[i + 1].starts_with("-")) {
                return std::unexpected(std::string(kOriginOption) +
                                       " needs a value, an origin such as " +
                                       std::string(kOriginExample));
            }
            value = arguments[++i];
        } else if (argument.starts_with(std::string(kOriginOption) + "=")) {
            value = std::string(argument.substr(kOriginOption.size() + 1));
        }
        if (value) {
            if (line.origin)
                return std::unexpected(std::string(kOriginOption) +
                                       " is given twice; the agent trusts one origin");
            if (auto problem = origin_problem(*value)) {
                return std::unexpected(std::string(kOriginOption) + ": " + *problem);
            }
            line.origin = std::move(value);
            continue;
        }
        if (argument.starts_with("-")) {
            return std::unexpected("unknown option " + quoted(argument) +
                                   " (--help lists the options)");
        }
        return std::unexpected("unexpected argument " + quoted(argument) +
                               " (--help lists the options)");
    }
    return line;
}

std::expected<std::optional<std::string>, std::string> origin_in_file_text(std::string_view text) {
    std::optional<std::string> origin;
    std::size_t line_number = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++line_number;
        if (line.empty() || line.starts_with('#')) continue;
        if (origin) {
            return std::unexpected("line " + std::to_string(line_number) +
                                   " is a second origin; the file holds one");
        }
        if (auto problem = origin_problem(line)) {
            return std::unexpected("line " + std::to_string(line_number) + ": " + *problem);
        }
        origin = std::string(line);
    }
    return origin;
}

std::string usage_text(std::span<const std::string> origin_files) {
    std::string text =
        "Usage: tolvane-agent [--origin ORIGIN] [--verbose]\n"
        "       tolvane-agent --help | --version\n"
        "\n"
        "Lets a remote-desktop client in a web browser use the smart cards and card\n"
        "readers of this computer. Listens on 127.0.0.1:8095, serves /bridge.html and\n"
        "/bridge.js, and relays smart-card calls from the bridge's WebSocket to PC/SC.\n"
        "\n"
        "  --origin ORIGIN  trust the web page of ORIGIN (for example\n"
        "                   https://rdp.example.com): WebSocket connections from other\n"
        "                   pages are refused, and the bridge relays only its messages.\n"
        "  --verbose        print a line for every relayed call and say why a\n"
        "                   connection was refused or closed.\n"
        "  --help, -h       print this text and exit.\n"
        "  --version        print the version and exit.\n"
        "\n"
        "The origin trusted is the first one given of:\n"
        "  - --origin;\n";
    for (const std::string& file : origin_files) text += "  - the file " + file + ";\n";
    text +=
        "  - the trailer at the end of the agent's own executable (tools/stamp-origin).\n"
        "A file holds the origin on a line of its own; blank lines and lines starting\n"
        "with # are ignored. With no origin given, only the pages of this computer\n"
        "(localhost, 127.0.0.0/8, [::1]) are trusted. A malformed option, origin or\n"
        "file stops the agent with exit status 2.\n";
    return text;
}

}  // namespace kx_agent
