// Covers messages from the broker: any topic and payload, command topics of held, foreign and own gateways, statuses of other hubs (the cluster's claims) and hub wills.
#include <string.h>

#include <string>

#include "hub_fuzzkit.h"

// Input: the topic up to the first NUL (with "~" standing for "trm/10.0.0.7/"), then the payload.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  hubfuzz::Rig rig;
  hub::Session &gw = rig.gateway();
  const uint8_t *nul = static_cast<const uint8_t *>(memchr(data, 0, size));
  size_t tlen = nul ? static_cast<size_t>(nul - data) : size;
  std::string topic;
  for (size_t i = 0; i < tlen; i++) {
    if (data[i] == '~') {
      topic += "trm/10.0.0.7/";
    } else {
      topic += static_cast<char>(data[i]);
    }
  }
  const uint8_t *payload = nul ? nul + 1 : data + size;
  size_t plen = nul ? size - tlen - 1 : 0;
  hub::mqtt_on_connect(*rig.h);
  hub::mqtt_on_message(*rig.h, topic, payload, plen);
  rig.pass(1);
  hub::mqtt_on_message(*rig.h, topic, payload, plen);  // twice: a retained status comes back
  rig.pass(4000);
  if (gw.state != hub::Session::State::kClosed) hub::gw_end(*rig.h, gw, "end of input");
  rig.pass(1);
  return 0;
}
