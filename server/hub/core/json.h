// JSON forms of a gateway (cJSON): its status as the broker carries it,
// and the whole record as the API shows it.
#ifndef HUB_JSON_H
#define HUB_JSON_H

#include <cjson/cJSON.h>

#include <string>

#include "core/hub.h"

namespace hub {

// id, online, state, signal, network, version, alias, model, last_seen,
// hub, session.
cJSON *status_json(const Hub &h, const GatewayRecord &r, bool online);
// The status and the rest: peer, first seen, heartbeat, admission, counters.
cJSON *gateway_json(const Hub &h, const GatewayRecord &r);
// Prints compactly and frees the object.
std::string json_take(cJSON *obj);
// Gateway text (alias, model, version) as valid UTF-8 for JSON: bytes
// outside printable ASCII become '?'.
std::string json_safe(const std::string &s);

}  // namespace hub

#endif
