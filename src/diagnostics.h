#pragma once
// The agent's diagnostic lines: standard output for what a user reads (banner aside), standard
// error for failures. Every line of the call relay and the server goes through here, so that how
// lines reach the terminal (and what happens when nobody reads them) is decided in one place.
#include <string>

namespace kx_agent::diagnostics {

// One line on standard output; the line end is added.
void out(std::string line);
// One line on standard error; the line end is added.
void err(std::string line);

// --verbose: one line per relayed call and the reasons connections are refused or closed.
bool verbose();
void set_verbose(bool on);

}  // namespace kx_agent::diagnostics
