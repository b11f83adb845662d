// Exposure kinds by name, as the configuration, the API and the registry
// write them.
#include <string.h>

#include "core/config.h"

namespace hub {
namespace {

struct KindName {
  const char *name;
  ExpKind kind;
  bool tls;
};
constexpr KindName kKinds[] = {
    {"raw", ExpKind::kRaw, false},    {"modbus", ExpKind::kModbus, false},    {"rfc2217", ExpKind::kRfc2217, false},
    {"raw-tls", ExpKind::kRaw, true}, {"modbus-tls", ExpKind::kModbus, true}, {"rfc2217-tls", ExpKind::kRfc2217, true},
};

}  // namespace

const char kExpKindNames[] = "\"modbus\", \"raw\", \"rfc2217\", \"modbus-tls\", \"raw-tls\" or \"rfc2217-tls\"";

const char *exp_kind_name(ExpKind kind, bool tls) {
  for (const KindName &k : kKinds) {
    if (k.kind == kind && k.tls == tls) return k.name;
  }
  return "?";
}

bool exp_kind_parse(const std::string &name, ExpKind *kind, bool *tls) {
  for (const KindName &k : kKinds) {
    if (name != k.name) continue;
    *kind = k.kind;
    *tls = k.tls;
    return true;
  }
  return false;
}

}  // namespace hub
