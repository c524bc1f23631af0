#include "velkin/velkin.h"

namespace vornic::velkin {

std::optional<std::string> GetArg::get_arg_value(std::span<const std::string>& args,
                                                 std::string_view name) {
    while (!args.empty()) {
        const std::string& arg = args.front();
        args = args.subspan(1);
        if (arg == name) {
            if (args.empty()) {
                return std::nullopt;
            }
            std::string value = args.front();
            args = args.subspan(1);
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace vornic::velkin
