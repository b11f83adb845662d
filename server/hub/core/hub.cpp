// The hub's records and sessions.
#include "core/hub.h"

#include <unistd.h>

#include "core/log.h"
#include "core/loop.h"

namespace hub {

Session::~Session() {
  while (q_head) {
    OutPacket *p = q_head;
    q_head = p->next;
    ::operator delete(p);
  }
}

void hub_set_time(Hub &h, uint32_t ticks, int64_t wall_ms) {
  h.now = ticks;
  h.wall_ms = wall_ms;
}

GatewayRecord &hub_record(Hub &h, const std::string &id, bool *made) {
  auto it = h.records.find(id);
  if (made) *made = it == h.records.end();
  if (it != h.records.end()) return *it->second;
  GatewayRecord *r = new GatewayRecord;
  r->id = id;
  h.records.emplace(id, std::unique_ptr<GatewayRecord>(r));
  return *r;
}

GatewayRecord *hub_find(Hub &h, const std::string &id) {
  auto it = h.records.find(id);
  return it == h.records.end() ? nullptr : it->second.get();
}

bool gw_online(const GatewayRecord &r) { return r.session && r.session->state == Session::State::kReady; }

bool gw_admitted(const GatewayRecord &r) { return gw_online(r) && r.session->admitted; }

bool gw_up(const GatewayRecord &r) { return gw_online(r) || r.elsewhere; }

const char *gw_state(const GatewayRecord &r) {
  if (!gw_online(r)) return r.elsewhere ? "online" : "offline";
  return r.session->admitted ? "online" : "held";
}

std::string lower_ascii(std::string s) {
  for (char &c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return s;
}

bool gw_matches(const GatewayRecord &r, const std::string &state, const std::string &q, int64_t now_s) {
  if (!gw_in_state(r, state, now_s)) return false;
  if (q.empty()) return true;
  for (const std::string *s : {&r.id, &r.alias, &r.model, &r.version, &r.peer}) {
    if (lower_ascii(*s).find(q) != std::string::npos) return true;
  }
  return false;
}

void hub_reap(Hub &h) {
  if (h.closed.empty()) return;
  for (Session *s : h.closed) {
    if (s->in_send_wait) {
      for (Session *&w : h.send_wait) {
        if (w == s) w = h.send_wait.back();
      }
      h.send_wait.pop_back();
    }
    if (s->fd >= 0 && s->hold_ms && h.holds.hold(s->fd, s->hold_ms, h.now)) {
      loop_del(h, *s);
      s->fd = -1;
    }
    if (s->fd >= 0) close(s->fd);
    delete s;
  }
  h.closed.clear();
}

size_t hub_known_cap(const Hub &h) { return h.cfg.max_known * (h.hubs ? h.hubs : 1); }

void hub_set_hubs(Hub &h, size_t hubs) {
  if (hubs == h.hubs || hubs == 0) return;
  h.hubs = hubs;
  LOG_INFO("registry cap: new gateway IDs refused once it holds %zu (max_known %zu x %zu hubs)%s", hub_known_cap(h),
           h.cfg.max_known, hubs, h.records.size() >= hub_known_cap(h) ? "; it holds that many already" : "");
}

}  // namespace hub
