#pragma once
// Small helpers of the velkin server library.
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vornic::velkin {

struct GetArg {
    // Walks `args` from its current front, consuming what it passes: at the first argument that
    // equals `name` exactly, returns the one after it (absent when `name` is the last). Absent
    // when no argument equals `name`. Only "--name value" as two arguments is recognised.
    static std::optional<std::string> get_arg_value(std::span<const std::string>& args,
                                                    std::string_view name);
};

}  // namespace vornic::velkin
