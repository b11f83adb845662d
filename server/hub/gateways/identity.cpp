// Gateways known by their keys: the bound and revoked keys indexed, the
// rules at a connection's init packet, admitting and revoking.
#include "gateways/identity.h"

#include <algorithm>

#include "core/log.h"
#include "gateways/session.h"
#include "gateways/tls.h"

namespace hub {
namespace {

void index_drop(Hub &h, GatewayRecord &r) {
  const GatewayKeys *k = r.keys.get();
  if (!k) return;
  auto drop = [&r](std::unordered_map<Fingerprint, GatewayRecord *, FingerprintHash> &m, const Fingerprint &f) {
    auto it = m.find(f);
    if (it != m.end() && it->second == &r) m.erase(it);
  };
  if (k->has_bound) drop(h.bound_keys, k->bound);
  for (const Fingerprint &f : k->revoked) drop(h.revoked_keys, f);
}

void index_add(Hub &h, GatewayRecord &r) {
  const GatewayKeys &k = *r.keys.get();
  if (k.has_bound) h.bound_keys[k.bound] = &r;
  for (const Fingerprint &f : k.revoked) h.revoked_keys[f] = &r;
}

GatewayKeys keys_of(const GatewayRecord &r) { return r.keys ? *r.keys.get() : GatewayKeys{}; }

// The ID served on a live connection (its own key, or admitted on the
// plain port): a key not bound to it may not take its place.
bool served_elsewhere(const GatewayRecord &r) {
  const Session *s = r.session;
  return s && s->state == Session::State::kReady && s->admitted;
}

bool plain_gate(Hub &h, Session &s, const GatewayRecord *r, const std::string &id) {
  if (r && r->keys && r->keys->tls) {
    gw_refuse(h, s, TlsRefusal::kPlainAfterTls, "it has come over TLS before: not on the plain port", id);
    return false;
  }
  if (id_allowed(h.cfg.tls.required, id)) {
    gw_refuse(h, s, TlsRefusal::kTlsRequired, "it must use TLS ([gateways] tls_required_ids)", id);
    return false;
  }
  return true;
}

// A change here is stamped later than every change this hub knows of,
// whatever the hubs' clocks say: the registry takes the latest, and a
// revocation made through a hub whose clock is behind must not lose.
void stamp(const Hub &h, GatewayKeys &k) { k.changed_at = std::max(h.wall_ms, k.changed_at + 1); }

void bind_now(Hub &h, GatewayRecord &r, GatewayKeys k, const Fingerprint &f, const char *how) {
  k.bound = f;
  k.has_bound = true;
  k.tls = true;
  if (k.has_pending && k.pending == f) k.has_pending = false;
  stamp(h, k);
  gw_keys_set(h, r, k);
  LOG_INFO("gateway %s: key %s bound (%s)", r.id.c_str(), fp_hex(f).c_str(), how);
}

}  // namespace

void gw_keys_set(Hub &h, GatewayRecord &r, const GatewayKeys &k) {
  index_drop(h, r);
  r.keys.make() = k;
  index_add(h, r);
}

void gw_keys_take(Hub &h, GatewayRecord &r, const GatewayKeys &k) {
  gw_keys_set(h, r, k);
  Session *s = r.session;
  if (!s || !s->tls || s->state != Session::State::kReady) return;
  if (k.is_revoked(s->tls->key)) return gw_refuse(h, *s, TlsRefusal::kRevoked, "its key was revoked", r.id);
  gw_readmit(h, r);
}

// A link served until now (its key revoked meanwhile) ends at once; a
// connection refused before it was served, for a reason that lasts, is held.
void gw_refuse(Hub &h, Session &s, TlsRefusal reason, const std::string &why, const std::string &id) {
  h.m.tls_refused[static_cast<size_t>(reason)]++;
  std::string held;
  if (kTlsRefusalLasts[static_cast<size_t>(reason)] && s.state != Session::State::kReady)
    held = gw_hold(h, s, id.empty() && s.tls ? fp_hex(s.tls->key) : id);
  if (id.empty()) {
    LOG_WARN("connection from %s refused: %s%s", gw_peer_text(s).c_str(), why.c_str(), held.c_str());
  } else {
    LOG_WARN("gateway %s from %s refused: %s%s", id.c_str(), gw_peer_text(s).c_str(), why.c_str(), held.c_str());
  }
  gw_end(h, s, why.c_str());
}

bool gw_key_usable(Hub &h, Session &s) {
  auto it = h.revoked_keys.find(s.tls->key);
  if (it == h.revoked_keys.end()) return true;
  gw_refuse(h, s, TlsRefusal::kRevoked, "key " + fp_hex(s.tls->key) + " was revoked (gateway " + it->second->id + ")");
  return false;
}

bool gw_key_gate(Hub &h, Session &s, const std::string &id) {
  GatewayRecord *r = hub_find(h, id);
  if (!s.tls) return plain_gate(h, s, r, id);
  const Fingerprint &f = s.tls->key;
  std::string fp = fp_hex(f);
  if (auto it = h.revoked_keys.find(f); it != h.revoked_keys.end()) {
    gw_refuse(h, s, TlsRefusal::kRevoked, "key " + fp + " was revoked (gateway " + it->second->id + ")", id);
    return false;
  }
  if (auto it = h.bound_keys.find(f); it != h.bound_keys.end()) {
    if (it->second->id == id) return true;
    gw_refuse(h, s, TlsRefusal::kOtherId, "key " + fp + " is bound to gateway " + it->second->id, id);
    return false;
  }
  if (r && served_elsewhere(*r)) {
    gw_refuse(h, s, TlsRefusal::kKeyMismatch, "key " + fp + " is not its key, and it is served on another connection",
              id);
    return false;
  }
  return true;
}

// Only a bound key marks the ID as one of the secure link's (then refused
// on the plain port): a stranger's key, held pending, must not lock the
// real gateway out of the plain port.
void gw_key_attached(Hub &h, Session &s, GatewayRecord &r) {
  if (!s.tls) return;
  GatewayKeys k = keys_of(r);
  const Fingerprint &f = s.tls->key;
  if (k.has_bound && k.bound == f) {
    if (k.tls) return;
    k.tls = true;
    return gw_keys_set(h, r, k);
  }
  if (!k.has_bound && s.tls->factory && tls_peer_names(s, r.id)) {
    bind_now(h, r, k, f, "its certificate is the factory CA's and names it");
    if (r.admission == Admission::kByList) r.admission = Admission::kAdmitted, r.admission_at = h.wall_ms;
    return;
  }
  if (!k.has_pending || k.pending != f) {
    k.pending = f;
    k.has_pending = true;
    k.pending_seq++;
    LOG_INFO("gateway %s: key %s waits to be admitted%s", r.id.c_str(), fp_hex(f).c_str(),
             k.has_bound ? " (admitting it replaces the bound key)" : "");
  }
  gw_keys_set(h, r, k);
}

bool gw_key_bound(const GatewayRecord &r, const Session &s) {
  return !s.tls || (r.keys && r.keys->has_bound && r.keys->bound == s.tls->key);
}

bool gw_key_admit(Hub &h, GatewayRecord &r) {
  if (!r.keys || !r.keys->has_pending) return false;
  GatewayKeys k = keys_of(r);
  auto other = h.bound_keys.find(k.pending);
  if (k.is_revoked(k.pending) || h.revoked_keys.count(k.pending) ||
      (other != h.bound_keys.end() && other->second != &r)) {
    k.has_pending = false;  // refused since it was noted (another hub's change)
    gw_keys_set(h, r, k);
    return false;
  }
  bind_now(h, r, k, k.pending, "admitted");
  return true;
}

bool gw_key_revoke(Hub &h, GatewayRecord &r, const Fingerprint *which, std::string *why) {
  GatewayKeys k = keys_of(r);
  Fingerprint f{};
  if (which) {
    f = *which;
  } else if (k.has_bound || k.has_pending) {
    f = k.has_bound ? k.bound : k.pending;
  } else {
    return *why = "it has no key to revoke", false;
  }
  if (k.is_revoked(f)) return *why = "key " + fp_hex(f) + " is revoked already", false;
  k.revoked.push_back(f);
  if (k.revoked.size() > GatewayKeys::kRevokedMax) k.revoked.erase(k.revoked.begin());
  if (k.has_bound && k.bound == f) k.has_bound = false;
  if (k.has_pending && k.pending == f) k.has_pending = false;
  stamp(h, k);
  LOG_WARN("gateway %s: key %s revoked", r.id.c_str(), fp_hex(f).c_str());
  gw_keys_take(h, r, k);
  return true;
}

}  // namespace hub
