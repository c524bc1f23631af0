// Placeholder until this family of calls is carried out: answers SCARD_E_UNSUPPORTED_FEATURE.
#include "smartcard/ndr.h"

namespace kx_agent::smartcard {

void connectA(DataView&, DataView& reply) { longReturn(rc::unsupported_feature, reply); }
void reconnect(DataView&, DataView& reply) { longReturn(rc::unsupported_feature, reply); }
void disconnect(DataView&, DataView& reply) { longReturn(rc::unsupported_feature, reply); }
void beginTransaction(DataView&, DataView& reply) { longReturn(rc::unsupported_feature, reply); }
void endTransaction(DataView&, DataView& reply) { longReturn(rc::unsupported_feature, reply); }

}  // namespace kx_agent::smartcard
