// tolvane-agent: lets a remote-desktop web client use the smart cards of this computer.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "platform/process.h"
#include "server/server.h"
#include "velkin/string.h"
#include "velkin/velkin.h"

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
    const std::string title = "* " + std::string(left, ' ') + name +
                              std::string(inner - left - name.size(), ' ') + " *";
    std::cout << stars << '\n' << blank << '\n' << title << '\n' << blank << '\n' << stars << '\n';
}

void print_usage() {
    std::cout << "Usage: tolvane-agent [--origin ORIGIN]\n"
                 "\n"
                 "Lets a remote-desktop client in a web browser use the smart cards and card\n"
                 "readers of this computer. Listens on 127.0.0.1:8095, serves /bridge.html and\n"
                 "/bridge.js, and relays smart-card calls from the bridge's WebSocket to PC/SC.\n"
                 "\n"
                 "  --origin ORIGIN  trust the web page of ORIGIN (for example\n"
                 "                   https://rdp.example.com): WebSocket connections from other\n"
                 "                   pages are refused, and the bridge relays only its messages.\n"
                 "  --help           print this text and exit.\n"
                 "\n"
                 "Without --origin the agent reads the origin from a trailer at the end of its own\n"
                 "executable (written by tools/stamp-origin). With neither, every page is trusted.\n";
}

}  // namespace

// Reads the origin trailer at the end of the file: the origin's L bytes, L, then "~~OG". A file
// that cannot be read, or that ends otherwise, has none.
std::optional<std::string> get_origion_from_file(const std::filesystem::path& path) {
    // Running without an origin is allowed, but the user should know what it means.
    const auto no_origin = [&path]() -> std::optional<std::string> {
        std::cout << "No origin found in " << platform::display_path(path) << '\n'
                  << "Every web page may use the smart cards of this computer; to trust one page "
                     "only, start with --origin ORIGIN or stamp it into the executable with "
                     "tools/stamp-origin."
                  << std::endl;
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
    print_banner();

    std::vector<std::string> args(argv, argv + argc);
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--help") {
            print_usage();
            return 0;
        }
    }
    std::string program = args.empty() ? std::string() : args.front();
    std::span<const std::string> rest(args);
    if (!rest.empty()) rest = rest.subspan(1);

    std::optional<std::string> origin = vornic::velkin::GetArg::get_arg_value(rest, "--origin");
    if (origin && origin->size() > server::kOriginCapacity) {
        std::cerr << "The origin given with --origin is " << origin->size()
                  << " bytes long; at most " << server::kOriginCapacity << " are allowed."
                  << std::endl;
        return 2;
    }
    if (!origin) origin = get_origion_from_file(platform::executable_path(program));

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
