#pragma once
#include <cstdint>
#include <vector>

#include "data_view.h"

namespace kx_agent::server {

// Answers one binary message of the relay: 03 01 (handshake) gets 03 02, 03 03 a smart-card
// call reply. Returns false, with nothing written, for any other message, and for a call too
// short to hold its code and both identifiers: the relay then ends.
bool process(const std::vector<uint8_t>& message, data_view::DataView& reply);

}  // namespace kx_agent::server
