#include "smartcard/pcsc/pcsc_stack.h"

namespace kx_agent::smartcard {

AgentStack& agent_stack() {
    static AgentStack stack;
    return stack;
}

}  // namespace kx_agent::smartcard
