// The registry's side of the configuration: where it is, whether it
// answers, and what --check can say of it beyond errors.
#ifndef HUB_STORE_CHECK_H
#define HUB_STORE_CHECK_H

#include <string>
#include <vector>

#include "core/config.h"
#include "store/db.h"

namespace hub {

// What --check warns of without failing: exposures of gateways the
// registry (read only, if there is one) does not know.
std::vector<std::string> config_warnings(const Config &cfg);
// Where the registry is: [registry] url (PostgreSQL) or path (SQLite);
// where is empty when neither is set.
DbTarget config_registry(const Config &cfg);
// PostgreSQL: the registry's database answers (a clear error naming it,
// password hidden, when it does not and [registry] wait_s is 0).
bool config_registry_reachable(const Config &cfg, std::string &err);

}  // namespace hub

#endif
