// The journal's queries for the API, on the loop's read connection: a page
// of rows newest first, each row an object of its columns.
#include <sqlite3.h>

#include <string>

#include "journal.h"
#include "json.h"

namespace hub {
namespace {

// ?1 gateway (or who), ?2 from, ?3 below (to or before), ?4 rows to fetch,
// ?5 bucket, ?6 gateway (audit).
const char *const kEvents =
    "SELECT at, event, detail FROM gw_events WHERE gateway = ?1 AND at >= ?2 AND at < ?3 ORDER BY at DESC LIMIT ?4";
const char *const kSamples =
    "SELECT at, signal, network FROM gw_samples WHERE gateway = ?1 AND at >= ?2 AND at < ?3"
    " ORDER BY at DESC LIMIT ?4";
const char *const kBuckets =
    "SELECT at / ?5 * ?5 AS b, min(signal), round(avg(signal), 1), max(signal), max(network), count(*)"
    " FROM gw_samples WHERE gateway = ?1 AND at >= ?2 AND at < ?3 GROUP BY b ORDER BY b DESC LIMIT ?4";
const char *const kTraffic =
    "SELECT day * 86400000, day, bytes_in, bytes_out, packets_in, packets_out FROM gw_traffic"
    " WHERE gateway = ?1 AND day >= ?2 / 86400000 AND day * 86400000 < ?3 ORDER BY day DESC LIMIT ?4";
const char *const kAudit =
    "SELECT at, who, action, gateway, outcome FROM audit WHERE at >= ?2 AND at < ?3 AND (?1 = '' OR who = ?1)"
    " AND (?6 = '' OR gateway = ?6) ORDER BY at DESC LIMIT ?4";

const char *const kEventCols[] = {"at", "event", "detail", nullptr};
const char *const kSampleCols[] = {"at", "signal", "network", nullptr};
const char *const kBucketCols[] = {"at", "min", "avg", "max", "network", "samples", nullptr};
const char *const kTrafficCols[] = {"at", "day", "bytes_in", "bytes_out", "packets_in", "packets_out", nullptr};
const char *const kAuditCols[] = {"at", "who", "action", "gateway", "outcome", nullptr};

void add_column(cJSON *o, sqlite3_stmt *st, int i, const char *name) {
  switch (sqlite3_column_type(st, i)) {
    case SQLITE_TEXT:
      cJSON_AddStringToObject(o, name, json_safe(reinterpret_cast<const char *>(sqlite3_column_text(st, i))).c_str());
      break;
    case SQLITE_NULL: cJSON_AddNullToObject(o, name); break;
    default: cJSON_AddNumberToObject(o, name, sqlite3_column_double(st, i)); break;
  }
}

// Runs sql for a page: a row more than the limit tells there are more.
cJSON *page(sqlite3 *db, const char *sql, const char *const *cols, const std::string &key, const Span &s,
            const std::string &gw = "") {
  cJSON *out = cJSON_CreateObject();
  cJSON *rows = cJSON_AddArrayToObject(out, "rows");
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
    cJSON_AddStringToObject(out, "error", sqlite3_errmsg(db));
    return out;
  }
  sqlite3_bind_text(st, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
  sqlite3_bind_int64(st, 2, s.from);
  sqlite3_bind_int64(st, 3, s.before < s.to ? s.before : s.to);
  sqlite3_bind_int64(st, 4, static_cast<int64_t>(s.limit) + 1);
  sqlite3_bind_int64(st, 5, s.bucket_ms > 0 ? s.bucket_ms : 1);
  sqlite3_bind_text(st, 6, gw.data(), static_cast<int>(gw.size()), SQLITE_TRANSIENT);
  size_t n = 0;
  int64_t last = 0;
  bool more = false;
  while (sqlite3_step(st) == SQLITE_ROW) {
    if (n++ == s.limit) {
      more = true;
      break;
    }
    cJSON *o = cJSON_CreateObject();
    for (int i = 0; cols[i]; i++) add_column(o, st, i, cols[i]);
    last = sqlite3_column_int64(st, 0);
    cJSON_AddItemToArray(rows, o);
  }
  sqlite3_finalize(st);
  cJSON_AddBoolToObject(out, "more", more);
  if (more) cJSON_AddNumberToObject(out, "before", static_cast<double>(last));
  return out;
}

}  // namespace

cJSON *Journal::events(const std::string &gw, const Span &s) { return page(rd_, kEvents, kEventCols, gw, s); }

cJSON *Journal::samples(const std::string &gw, const Span &s) {
  return s.bucket_ms > 0 ? page(rd_, kBuckets, kBucketCols, gw, s) : page(rd_, kSamples, kSampleCols, gw, s);
}

cJSON *Journal::traffic(const std::string &gw, const Span &s) { return page(rd_, kTraffic, kTrafficCols, gw, s); }

cJSON *Journal::audit(const std::string &who, const std::string &gw, const Span &s) {
  return page(rd_, kAudit, kAuditCols, who, s, gw);
}

}  // namespace hub
