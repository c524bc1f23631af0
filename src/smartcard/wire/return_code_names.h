#pragma once
// The names of the smart-card return codes in the client's numbering (that of Windows and
// [MS-RDPESC]), for the agent's log lines.
#include <cstdint>
#include <string>

namespace kx_agent::smartcard {

// "SCARD_E_NO_SERVICE" for 0x8010001D; a code outside the table as "0x%08X".
std::string returnCodeName(uint32_t code);

}  // namespace kx_agent::smartcard
