// A gateway's revoked keys (the fingerprints and their text: tlskit).
#include <algorithm>

#include "core/hub.h"

namespace hub {

bool GatewayKeys::is_revoked(const Fingerprint &f) const {
  return std::find(revoked.begin(), revoked.end(), f) != revoked.end();
}

}  // namespace hub
