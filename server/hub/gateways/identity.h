// Who a gateway is on the secure link: its ID bound to its key. The
// registry keeps, per gateway, the key bound to its ID, one waiting for an
// operator (pending), the ones revoked, and whether it has ever come over
// TLS; the hub keeps every bound and every revoked key indexed.
//
//   * a key bound to the ID it declares: served (the admission rules apply);
//   * a key not yet bound: held (nothing but its listing) with the key
//     pending, until an operator admits it (rotation is admitting a new
//     key) — or bound at once when its certificate chains to the factory
//     CA and names the ID, for an ID no key is bound to yet;
//   * refused, counted and logged: a revoked key, a key bound to another
//     ID, a key not the ID's while the ID is served on another connection,
//     and on the plain port an ID that has come over TLS or must use it.
#ifndef HUB_GATEWAYS_IDENTITY_H
#define HUB_GATEWAYS_IDENTITY_H

#include <string>

#include "core/hub.h"

namespace hub {

// The one way a record's keys change: the indexes kept in step.
void gw_keys_set(Hub &h, GatewayRecord &r, const GatewayKeys &k);
// The keys as the registry had them (at start, or another hub's change):
// taken, and a live connection whose key is now revoked ended, one whose
// key is now bound (or no longer) admitted (or held).
void gw_keys_take(Hub &h, GatewayRecord &r, const GatewayKeys &k);

// A refusal: counted by reason, said in the log naming the peer (and the
// gateway, once it has declared its ID), and the connection ended; one
// not served yet, refused for a reason that lasts, is held before its
// close (core/hold.h), a served one (its key revoked) closed at once.
void gw_refuse(Hub &h, Session &s, TlsRefusal reason, const std::string &why, const std::string &id = "");

// After a handshake: false (refused) for a revoked key.
bool gw_key_usable(Hub &h, Session &s);
// A new connection's init packet declares id: false when refused (ended).
bool gw_key_gate(Hub &h, Session &s, const std::string &id);
// It was attached to r: marked as having come over TLS, its key bound at
// once (factory CA) or noted pending.
void gw_key_attached(Hub &h, Session &s, GatewayRecord &r);
// The connection's key is r's bound key (always, on the plain port).
bool gw_key_bound(const GatewayRecord &r, const Session &s);

// The API. Admit: the pending key bound (false: none waits). Revoke: which
// (null: the bound key, or else the pending one) into the revoked set, the
// live link on it ended; false with why.
bool gw_key_admit(Hub &h, GatewayRecord &r);
bool gw_key_revoke(Hub &h, GatewayRecord &r, const Fingerprint *which, std::string *why);

}  // namespace hub

#endif
