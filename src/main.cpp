// tolvane-agent: lets a remote-desktop web client use the smart cards of this computer.
#include <expected>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "command_line.h"
#include "diagnostics.h"
#include "platform/process.h"
#include "server/server.h"
#include "velkin/string.h"

namespace kx_agent {
namespace {

constexpr std::size_t kBannerWidth = 58;
constexpr std::string_view kTrailerMarker = "~~OG";

void print_banner() {
    const std::string stars(kBannerWidth, '*');
    const std::string blank = "*" + std::string(kBannerWidth - 2, ' ') + "*";
    const std::string name = "Velkin Tolvane Agent";
    const std::size_t inner = kBannerWidth - 4;
    const std::size_t left = (inner - name.size()) / 2;
    const std::string title =
        "* " + std::string(left, ' ') + name + std::string(inner - left - name.size(), ' ') + " *";
    std::cout << stars << '\n' << blank << '\n' << title << '\n' << blank << '\n' << stars << '\n';
}

// The origin of the first configuration file that names one (platform::origin_files), absent
// when none does. A file that exists but cannot be read, or does not read as one origin, is a
// reason to stop: passing over it would trust more pages than its writer meant.
std::expected<std::optional<std::string>, std::string> origin_from_files() {
    constexpr std::uintmax_t kLongest = 4096;
    for (const std::filesystem::path& path : platform::origin_files()) {
        const std::string shown = platform::display_path(path);
        std::error_code error;
        const auto status = std::filesystem::status(path, error);
        if (status.type() == std::filesystem::file_type::not_found) continue;
        if (error) return std::unexpected(shown + ": " + error.message());
        if (status.type() != std::filesystem::file_type::regular) {
            return std::unexpected(shown + " is not a file");
        }
        std::ifstream file(path, std::ios::binary);
        std::string text(kLongest + 1, '\0');
        file.read(text.data(), static_cast<std::streamsize>(text.size()));
        if (file.bad() || (!file && !file.eof())) return std::unexpected(shown + " cannot be read");
        text.resize(static_cast<std::size_t>(file.gcount()));
        if (text.size() > kLongest)
            return std::unexpected(shown + " is longer than one origin needs");
        auto origin = origin_in_file_text(text);
        if (!origin) return std::unexpected(shown + ": " + origin.error());
        if (*origin) {
            std::cout << "Trusting the origin " << **origin << " (from " << shown << ")."
                      << std::endl;
            return origin;
        }
    }
    return std::nullopt;
}

int refuse(const std::string& reason) {
    std::cerr << "tolvane-agent: " << reason << std::endl;
    return 2;
}

}  // namespace

// Reads the origin trailer at the end of the file: the origin's L bytes, L, then "~~OG". A file
// that cannot be read, or that ends otherwise, has none.
std::optional<std::string> get_origion_from_file(const std::filesystem::path& path) {
    // Running without an origin is allowed, but the user should know what it means: only the
    // pages of this computer are trusted, and how the web client's page comes to be.
    const auto no_origin = [&path]() -> std::optional<std::string> {
        std::cout << "No origin found in " << platform::display_path(path) << '\n'
                  << "Only pages of this computer (localhost, 127.0.0.0/8, [::1]) may use the "
                     "smart cards; to trust the web client's page, start with --origin ORIGIN or "
                     "stamp it into the executable with tools/stamp-origin."
                  << std::endl;
        const auto files = platform::origin_files();
        if (!files.empty()) {
            std::string line = "The origin may also be written in";
            for (std::size_t i = 0; i < files.size(); ++i) {
                line += (i == 0 ? " " : " or ") + platform::display_path(files[i]);
            }
            std::cout << line << "." << std::endl;
        }
        return std::nullopt;
    };
    std::ifstream file(path, std::ios::binary);
    char tail[5] = {};
    bool have_tail = file && file.seekg(-5, std::ios::end) && file.read(tail, 5);
    if (!have_tail || std::string_view(tail + 1, 4) != kTrailerMarker) {
        return no_origin();
    }
    const auto length = static_cast<uint8_t>(tail[0]);
    uint8_t origin[255] = {};
    if (!file.seekg(-5 - static_cast<std::streamoff>(length), std::ios::end) ||
        !file.read(reinterpret_cast<char*>(origin), length)) {
        return no_origin();
    }
    return vornic::velkin::string::FromAsciiBytes::from_ascii_bytes(
        std::span<const uint8_t>(origin, length));
}

int main(int argc, char** argv) {
    const diagnostics::Output output;  // every line through one queue, written out at the end
    platform::ignore_broken_pipe();
    const std::vector<std::string> args(argv, argv + argc);
    const std::string program = args.empty() ? std::string() : args.front();
    const auto command_line =
        parse_command_line(std::span<const std::string>(args).subspan(args.empty() ? 0 : 1));
    if (command_line && command_line->action == CommandLine::Action::version) {
        std::cout << "tolvane-agent " << agent_version() << std::endl;
        return 0;
    }
    print_banner();
    if (!command_line) return refuse(command_line.error());
    if (command_line->action == CommandLine::Action::help) {
        std::vector<std::string> files;
        for (const auto& path : platform::origin_files())
            files.push_back(platform::display_path(path));
        std::cout << usage_text(files);
        return 0;
    }
    diagnostics::set_verbose(command_line->verbose);

    // The first of: --origin, the configuration files, the trailer (see usage_text).
    std::optional<std::string> origin = command_line->origin;
    if (!origin) {
        auto from_files = origin_from_files();
        if (!from_files) return refuse(from_files.error());
        origin = std::move(*from_files);
    }
    if (!origin) {
        origin = get_origion_from_file(platform::executable_path(program));
        // An empty trailer is none; any other must be an origin, or the stamp went wrong.
        if (origin && !origin->empty()) {
            if (auto problem = origin_problem(*origin))
                return refuse("the stamped origin: " + *problem);
        }
    }

    std::optional<std::thread> server_thread = server::init_web_server(origin);
    if (!server_thread) return 1;
    std::cout << "Tolvane Agent is ready on port 8095." << std::endl;
    server_thread->join();
    if (server::SERVER_FAILED) {
        // The server is gone and cannot come back: whoever started the agent must see a failure.
        std::cout << "Failed to join systray thread." << std::endl;
        return 1;
    }
    std::cout << "Velkin Tolvane Agent existed." << std::endl;
    return 0;
}

}  // namespace kx_agent

int main(int argc, char** argv) { return kx_agent::main(argc, argv); }
