#include "agent_limits.h"

namespace kx_agent {
namespace {
Limits current;
}  // namespace

const Limits& limits() { return current; }
void set_limits(const Limits& value) { current = value; }

}  // namespace kx_agent
