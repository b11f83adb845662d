// The journal's queries for the API, on the loop's read connection: a page
// of rows newest first, each row an object of its columns.
#include <time.h>

#include <algorithm>
#include <string>

#include "store/journal.h"
#include "core/json.h"

namespace hub {
namespace {

// $1 gateway (or who), $2 from, $3 below (to or before), $4 rows to fetch,
// $5 bucket, $6 gateway (audit).
const char *const kEvents =
    "SELECT at, event, detail FROM gw_events WHERE gateway = $1 AND at >= $2 AND at < $3 ORDER BY at DESC LIMIT $4";
const char *const kSamples =
    "SELECT at, signal, network FROM gw_samples WHERE gateway = $1 AND at >= $2 AND at < $3"
    " ORDER BY at DESC LIMIT $4";
const char *const kBuckets =
    "SELECT at / $5 * $5 AS b, min(signal), round(avg(signal), 1), max(signal), max(network), count(*)"
    " FROM gw_samples WHERE gateway = $1 AND at >= $2 AND at < $3 GROUP BY b ORDER BY b DESC LIMIT $4";
const char *const kTraffic =
    "SELECT day * 86400000, day, bytes_in, bytes_out, packets_in, packets_out FROM gw_traffic"
    " WHERE gateway = $1 AND day >= $2 / 86400000 AND day * 86400000 < $3 ORDER BY day DESC LIMIT $4";
const char *const kAudit =
    "SELECT at, who, action, gateway, outcome FROM audit WHERE at >= $2 AND at < $3 AND ($1 = '' OR who = $1)"
    " AND ($6 = '' OR gateway = $6) ORDER BY at DESC LIMIT $4";

const char *const kEventCols[] = {"at", "event", "detail", nullptr};
const char *const kSampleCols[] = {"at", "signal", "network", nullptr};
const char *const kBucketCols[] = {"at", "min", "avg", "max", "network", "samples", nullptr};
const char *const kTrafficCols[] = {"at", "day", "bytes_in", "bytes_out", "packets_in", "packets_out", nullptr};
const char *const kAuditCols[] = {"at", "who", "action", "gateway", "outcome", nullptr};

void add_column(cJSON *o, const DbValue &v, const char *name) {
  switch (v.type) {
    case DbValue::kText: cJSON_AddStringToObject(o, name, json_safe(v.s).c_str()); break;
    case DbValue::kNull: cJSON_AddNullToObject(o, name); break;
    case DbValue::kInt: cJSON_AddNumberToObject(o, name, static_cast<double>(v.i)); break;
    case DbValue::kReal: cJSON_AddNumberToObject(o, name, v.d); break;
  }
}

int64_t wall_now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

// Runs sql for a page: a row more than the limit tells there are more. A
// connection lost is made again, but not at every request.
cJSON *Journal::page(const char *sql, const char *const *cols, const std::string &key, const Span &s,
                     const std::string &gw) {
  if (!rd_->connected()) {
    int64_t now = wall_now_ms();
    if (now - rd_lost_ms_ < kReadRetryMs) return query_error_ = "the database is away", nullptr;
    if (!rd_->reconnect()) return rd_lost_ms_ = now, query_error_ = rd_->error(), nullptr;
  }
  std::vector<DbRow> rows;
  DbParams p = {key, s.from, s.before < s.to ? s.before : s.to, static_cast<int64_t>(s.limit) + 1,
                s.bucket_ms > 0 ? s.bucket_ms : 1, gw};
  if (!rd_->run(sql, p, &rows)) return query_error_ = rd_->error(), nullptr;
  cJSON *out = cJSON_CreateObject();
  cJSON *list = cJSON_AddArrayToObject(out, "rows");
  size_t n = std::min(rows.size(), s.limit);
  for (size_t r = 0; r < n; r++) {
    cJSON *o = cJSON_CreateObject();
    for (size_t i = 0; i < rows[r].size() && cols[i]; i++) add_column(o, rows[r][i], cols[i]);
    cJSON_AddItemToArray(list, o);
  }
  bool more = rows.size() > s.limit;
  cJSON_AddBoolToObject(out, "more", more);
  if (more) cJSON_AddNumberToObject(out, "before", static_cast<double>(rows[n - 1][0].i));
  return out;
}

cJSON *Journal::events(const std::string &gw, const Span &s) { return page(kEvents, kEventCols, gw, s); }

cJSON *Journal::samples(const std::string &gw, const Span &s) {
  return s.bucket_ms > 0 ? page(kBuckets, kBucketCols, gw, s) : page(kSamples, kSampleCols, gw, s);
}

cJSON *Journal::traffic(const std::string &gw, const Span &s) { return page(kTraffic, kTrafficCols, gw, s); }

cJSON *Journal::audit(const std::string &who, const std::string &gw, const Span &s) {
  return page(kAudit, kAuditCols, who, s, gw);
}

}  // namespace hub
