// Tokens and the audit log.
#include "store/audit.h"

#include <string.h>

#include "store/history.h"
#include "store/journal.h"
#include "core/log.h"

namespace hub {
namespace {

// Compared in constant time, so the time taken tells nothing of a token.
bool same_token(const char *given, const std::string &token) {
  size_t n = strlen(given);
  unsigned diff = n == token.size() ? 0 : 1;
  for (size_t i = 0; i < token.size(); i++) diff |= static_cast<unsigned>(token[i] ^ given[i < n ? i : 0]);
  return diff == 0;
}

}  // namespace

Caller audit_caller(const Config &cfg, const char *authorization) {
  Caller c;
  if (cfg.http_token.empty() && cfg.http_tokens.empty()) return Caller{true, "anonymous", Role::kOperate};
  if (!authorization || strncmp(authorization, "Bearer ", 7) != 0) return c;
  const char *given = authorization + 7;
  if (!cfg.http_token.empty() && same_token(given, cfg.http_token)) c = Caller{true, "default", Role::kOperate};
  for (const ApiToken &t : cfg.http_tokens) {
    if (same_token(given, t.token)) c = Caller{true, t.name, t.role};
  }
  return c;
}

void audit_record(Hub &h, const std::string &who, const std::string &action, const std::string &gw,
                  const std::string &outcome) {
  LOG_INFO("audit %s: %s%s%s: %s", who.c_str(), action.c_str(), gw.empty() ? "" : " gateway ", gw.c_str(),
           outcome.c_str());
  if (!h.journal) return;
  JournalRow row;
  row.table = Table::kAudit;
  row.at = history_time(h.wall_ms, &h.hist->audit_last);
  row.gw = gw;
  row.what = action;
  row.detail = outcome;
  row.who = who;
  h.journal->add(std::move(row));
}

}  // namespace hub
