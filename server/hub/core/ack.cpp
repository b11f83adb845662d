// The acknowledged link's state per gateway, looked up.
#include "core/ack.h"

namespace hub {

const AckState *ack_state(const Hub &h, const GatewayRecord &r) {
  if (!h.acks) return nullptr;
  auto it = h.acks->of.find(&r);
  return it == h.acks->of.end() ? nullptr : it->second.get();
}

}  // namespace hub
