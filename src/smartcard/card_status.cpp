// Placeholder until this family of calls is carried out: answers SCARD_E_UNSUPPORTED_FEATURE.
#include "smartcard/ndr.h"

namespace kx_agent::smartcard {

void statusA(DataView&, DataView& reply) { longReturn(rc::unsupported_feature, reply); }

}  // namespace kx_agent::smartcard
