// Who may do what through the API, and the audit log of what was done.
// Tokens: every [[http.tokens]] entry, and [http] token as an operate
// token named "default"; with none configured (the API on loopback only)
// every request is "anonymous" and may operate. The audit log holds every
// change asked for through the API or the broker: when, who (the token's
// name, or "mqtt"), what (method and path, or topic), the gateway, and
// the outcome (an HTTP status and the result, or the command's outcome).
// It is kept in the journal with the history's retention, and logged.
#ifndef HUB_AUDIT_H
#define HUB_AUDIT_H

#include <string>

#include "core/config.h"
#include "core/hub.h"

namespace hub {

struct Caller {
  bool known = false;  // a token matched, or none is needed
  std::string who;
  Role role = Role::kRead;
};

// The caller an Authorization header ("Bearer <token>", or null) names.
Caller audit_caller(const Config &cfg, const char *authorization);

void audit_record(Hub &h, const std::string &who, const std::string &action, const std::string &gw,
                  const std::string &outcome);

}  // namespace hub

#endif
