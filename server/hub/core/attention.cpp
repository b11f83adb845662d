// Why a gateway needs someone's attention, from what the loop keeps of it
// anyway plus a few times it notes: cheap enough to ask of every record on
// each request of the fleet page.
#include <string.h>

#include "core/hub.h"

namespace hub {
namespace {

constexpr int64_t kHourS = 3600, kDayS = 86400;

struct Reason {
  uint8_t bit;
  const char *name;
};
// Most urgent first.
const Reason kReasons[] = {{kAttnConflict, "conflict"},       {kAttnVerify, "verify failed"},
                           {kAttnStorm, "reconnect storm"},   {kAttnModbus, "modbus timeouts"},
                           {kAttnWeak, "weak signal"},        {kAttnOffline, "offline"}};

bool offline_too_long(const GatewayRecord &r, int64_t now_s) {
  int64_t grace = r.heartbeat_s ? r.heartbeat_s : kOfflineGraceS;
  return !gw_up(r) && r.last_seen != 0 && now_s - r.last_seen > grace;
}

// The filter's words beyond gw_state.
using StateTest = bool (*)(const GatewayRecord &, int64_t);
struct StateWord {
  const char *word;
  StateTest test;
};
const StateWord kStateWords[] = {
    {"conflict", [](const GatewayRecord &r, int64_t) { return r.conflict; }},
    {"never", [](const GatewayRecord &r, int64_t) { return r.last_seen == 0; }},
    {"attention", [](const GatewayRecord &r, int64_t now) { return gw_attention(r, now) != 0; }},
};

}  // namespace

uint8_t gw_attention(const GatewayRecord &r, int64_t now_s) {
  uint8_t m = 0;
  if (r.conflict) m |= kAttnConflict;
  if (r.verify_fail_at && now_s - r.verify_fail_at < kDayS) m |= kAttnVerify;
  if (r.storm_count >= kStormReconnects && now_s - r.storm_since < kHourS) m |= kAttnStorm;
  if (r.modbus_timeout_at && now_s - r.modbus_timeout_at < kHourS) m |= kAttnModbus;
  if (gw_up(r) && r.signal <= kWeakSignal) m |= kAttnWeak;
  if (offline_too_long(r, now_s)) m |= kAttnOffline;
  return m;
}

size_t gw_attention_names(uint8_t mask, const char *out[7]) {
  size_t n = 0;
  for (const Reason &k : kReasons) {
    if (mask & k.bit) out[n++] = k.name;
  }
  out[n] = nullptr;
  return n;
}

void gw_note_reconnect(GatewayRecord &r, int64_t now_s) {
  if (now_s - r.storm_since >= kHourS) {
    r.storm_since = now_s;
    r.storm_count = 0;
  }
  if (r.storm_count < UINT16_MAX) r.storm_count++;
}

bool gw_in_state(const GatewayRecord &r, const std::string &state, int64_t now_s) {
  if (state.empty() || state == "all") return true;
  for (const StateWord &w : kStateWords) {
    if (state == w.word) return w.test(r, now_s);
  }
  return state == gw_state(r);
}

}  // namespace hub
