// The history's side of the gateways' announcements.
#include "store/history.h"

#include <string.h>

#include "store/journal.h"

namespace hub {
namespace {

// Why a connection ended, as a kind of its own where it tells more than
// "offline".
struct EndKind {
  const char *why_prefix;
  const char *event;
};
const EndKind kEndKinds[] = {{"replaced", "replaced"}};

const char *const kAdmissionNames[] = {"by list", "admitted", "held"};

Track &track(Hub &h, const GatewayRecord &r) {
  auto it = h.hist->tracks.find(&r);
  if (it != h.hist->tracks.end()) return it->second;
  Track &t = h.hist->tracks[&r];
  t.admission = r.admission;
  t.verify_fail = r.c.verify_fail;
  t.base[0] = r.c.bytes_in, t.base[1] = r.c.bytes_out, t.base[2] = r.c.packets_in, t.base[3] = r.c.packets_out;
  t.traffic_at = h.wall_ms;
  return t;
}

void event(Hub &h, const GatewayRecord &r, Track &t, const char *what, const std::string &detail) {
  JournalRow row;
  row.table = Table::kEvent;
  row.at = history_time(h.wall_ms, &t.last_at);
  row.gw = r.id;
  row.what = what;
  row.detail = detail;
  h.journal->add(std::move(row));
}

const char *offline_event(const char *why) {
  for (const EndKind &k : kEndKinds) {
    if (why && strncmp(why, k.why_prefix, strlen(k.why_prefix)) == 0) return k.event;
  }
  return "offline";
}

void state_change(Hub &h, const GatewayRecord &r, Track &t) {
  const char *now = gw_state(r);
  if (strcmp(now, t.state) == 0) return;
  if (strcmp(now, "offline") == 0) {
    event(h, r, t, offline_event(h.end_why), h.end_why ? h.end_why : "");
  } else {
    event(h, r, t, now, strcmp(t.state, "offline") == 0 ? r.peer : std::string("was ") + t.state);
  }
  t.state = now;
}

void counters(Hub &h, const GatewayRecord &r, Track &t) {
  if (r.c.verify_fail > t.verify_fail) event(h, r, t, "verify_failed", "");
  t.verify_fail = r.c.verify_fail;
  if (r.admission != t.admission) event(h, r, t, "admission", kAdmissionNames[static_cast<int>(r.admission)]);
  t.admission = r.admission;
}

void sample(Hub &h, const GatewayRecord &r, Track &t) {
  if ((r.signal == t.signal && r.network == t.network) || h.wall_ms - t.sampled < kSampleEveryMs) return;
  t.signal = r.signal;
  t.network = r.network;
  t.sampled = h.wall_ms;
  JournalRow row;
  row.table = Table::kSample;
  row.at = h.wall_ms;
  row.gw = r.id;
  row.n[0] = r.signal;
  row.n[1] = r.network;
  h.journal->add(std::move(row));
}

// The counters' growth since they were last stored goes to the day of the
// last store (a day's change is seen within kTrafficEveryMs).
void traffic(Hub &h, const GatewayRecord &r, Track &t) {
  const uint64_t now[4] = {r.c.bytes_in, r.c.bytes_out, r.c.packets_in, r.c.packets_out};
  JournalRow row;
  row.table = Table::kTraffic;
  row.at = t.traffic_at / kDayMs;
  row.gw = r.id;
  bool any = false;
  for (int i = 0; i < 4; i++) {
    row.n[i] = static_cast<int64_t>(now[i] - t.base[i]);
    any = any || row.n[i] != 0;
    t.base[i] = now[i];
  }
  t.traffic_at = h.wall_ms;
  if (any) h.journal->add(std::move(row));
}

void on_changed(Hub &h, GatewayRecord &r, bool) {
  if (!h.journal) return;
  Track &t = track(h, r);
  counters(h, r, t);
  state_change(h, r, t);
  if (gw_online(r)) sample(h, r, t);
}

void on_seen(Hub &h, GatewayRecord &r) {
  if (!h.journal) return;
  Track &t = track(h, r);
  if (r.c.verify_fail != t.verify_fail) counters(h, r, t);
  sample(h, r, t);
  if (h.wall_ms - t.traffic_at >= kTrafficEveryMs || h.wall_ms / kDayMs != t.traffic_at / kDayMs) traffic(h, r, t);
}

void on_offline(Hub &h, GatewayRecord &r) {
  if (h.journal) traffic(h, r, track(h, r));
}

}  // namespace

const GatewayHooks kHistoryHooks = [] {
  GatewayHooks row{};
  row.changed = on_changed;
  row.seen = on_seen;
  row.offline = on_offline;
  return row;
}();

int64_t history_time(int64_t now_ms, int64_t *last) {
  *last = now_ms > *last ? now_ms : *last + 1;
  return *last;
}

void history_event(Hub &h, const GatewayRecord &r, const char *what, const std::string &detail) {
  if (h.journal) event(h, r, track(h, r), what, detail);
}

}  // namespace hub
