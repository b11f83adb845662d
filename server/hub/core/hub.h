// The hub's state: every gateway ever seen (its record), the connections
// (sessions), the counters, and the modules that hang off them. One thread
// owns all of it; the event loop (loop.cpp) is the only place that touches
// sockets, so everything here can be driven without them by tests and fuzz
// entry points (epfd -1, descriptors -1).
#ifndef HUB_HUB_H
#define HUB_HUB_H

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/config.h"
#include "core/hold.h"
#include "framer.h"
#include "tlskit.h"

namespace hub {

// Everything the loop waits on starts with this, so an event finds its owner.
enum class Kind : uint8_t { kGwListener, kTlsListener, kSession, kExpListener, kExpClient, kMqtt, kHttp, kSignal };

struct Pollable {
  Kind kind;
  int fd = -1;
  uint32_t events = 0;  // as registered with epoll
  explicit Pollable(Kind k) : kind(k) {}
};

struct Counters {
  uint64_t bytes_in = 0, bytes_out = 0, packets_in = 0, packets_out = 0;
  uint64_t reconnects = 0, malformed = 0, modbus_timeouts = 0, verify_fail = 0;
};

// How a gateway was let in: by the allow-list, or by the API either way.
enum class Admission : uint8_t { kByList = 0, kAdmitted = 1, kHeld = 2 };

struct Session;

// A key on the secure link and its text (tlskit.h).
using tlskit::Fingerprint;
using tlskit::fp_hex;
using tlskit::fp_parse;
struct FingerprintHash {
  size_t operator()(const Fingerprint &f) const {
    size_t v = 0;
    for (size_t i = 0; i < sizeof v; i++) v = v << 8 | f[i];
    return v;
  }
};

// A gateway's keys: the one bound to its ID, one waiting for an operator
// to admit it, the ones revoked (refused whatever ID they claim), and
// whether it has ever come over TLS (then it is refused on the plain port).
struct GatewayKeys {
  static constexpr size_t kRevokedMax = 64;  // the oldest is forgotten beyond
  Fingerprint bound{}, pending{};
  bool has_bound = false, has_pending = false;
  bool tls = false;
  int64_t changed_at = 0;            // wall ms the binding or the revoked set last changed (any hub's)
  uint32_t pending_seq = 0;          // counts the pending keys noted, so the registry writes each once
  std::vector<Fingerprint> revoked;  // oldest first
  bool is_revoked(const Fingerprint &f) const;
};

// A record's keys, made when it first has any, so a fleet without the
// secure link pays a pointer a gateway; copied whole with its record.
class KeysSlot {
 public:
  KeysSlot() = default;
  KeysSlot(const KeysSlot &o) : p_(o.p_ ? new GatewayKeys(*o.p_) : nullptr) {}
  KeysSlot &operator=(const KeysSlot &o) {
    p_.reset(o.p_ ? new GatewayKeys(*o.p_) : nullptr);
    return *this;
  }
  const GatewayKeys *get() const { return p_.get(); }
  const GatewayKeys *operator->() const { return p_.get(); }
  explicit operator bool() const { return p_ != nullptr; }
  GatewayKeys &make() {
    if (!p_) p_.reset(new GatewayKeys);
    return *p_;
  }

 private:
  std::unique_ptr<GatewayKeys> p_;
};

// One gateway, connected or not; lives as long as the hub.
struct GatewayRecord {
  std::string id, alias, model, version, peer;
  int64_t first_seen = 0, last_seen = 0;  // unix seconds
  uint8_t signal = 0;
  uint8_t network = 1;  // 0 cellular link up, 1 not
  uint16_t heartbeat_s = 0;
  Admission admission = Admission::kByList;
  int64_t admission_at = 0;  // wall ms it was last changed through the API (any hub's)
  Counters c;
  Session *session = nullptr;  // the live connection, if any
  int64_t session_start = 0;   // wall ms when the current (or last) session began
  std::string holder;          // the [hub] id of that session's hub (empty: none known)
  bool elsewhere = false;      // online at another hub (holder), as the registry last said
  bool conflict = false;       // two connections keep taking this ID from each other (clash.cpp)
  // What the fleet page's attention view looks at (attention.cpp), unix seconds.
  int64_t state_at = 0;      // its online state last changed (0: not since the hub started)
  int64_t storm_since = 0;   // the current hour of reconnects began
  uint16_t storm_count = 0;  // reconnects since storm_since
  int64_t verify_fail_at = 0, modbus_timeout_at = 0;
  KeysSlot keys;  // the secure link's keys (changed only through gateways/identity.h)
};

struct OutPacket {
  OutPacket *next;
  uint16_t len;
  uint8_t bytes[];  // scrambled, len of them
};

// A connection's TLS state (gateways/tls.h); null on the plain port.
struct TlsLink;

struct Session : Pollable {
  Session() : Pollable(Kind::kSession) {}
  // kHandshake: a TLS connection before its handshake is done; then as on
  // the plain port.
  enum class State : uint8_t { kWaitInit, kReady, kClosed, kHandshake };
  Session *prev = nullptr, *next = nullptr;  // all sessions
  uint32_t serial = 0;                       // tells one connection from the next
  uint32_t peer_addr = 0;                    // host order
  uint16_t peer_port = 0;
  State state = State::kWaitInit;
  bool admitted = false;
  bool in_send_wait = false;
  bool want_out = false;  // a packet is half written: waiting for room
  uint8_t bad_in_row = 0;
  LinkFramer in = {};  // an unfinished packet, kept in rx_buf
  uint32_t opened_at = 0, last_rx = 0, last_send = 0, next_verify = 0;
  GatewayRecord *gw = nullptr;        // set by the init packet
  std::unique_ptr<uint8_t[]> rx_buf;  // one packet, made when first needed
  OutPacket *q_head = nullptr, *q_tail = nullptr;
  uint8_t q_count = 0;
  uint16_t head_sent = 0;
  TlsLink *tls = nullptr;  // freed when the connection ends (gw_end)
  bool ack = false;        // the handshake chose the acknowledged link (gateways/ack.h)
  bool ack_hello = false;  // and the gateway's hello came
  uint32_t hold_ms = 0;    // refused for a reason that lasts: held open and silent this long (core/hold.h)
  ~Session();
};

// Two addresses whose connections replaced each other under one ID, with
// the ticks of the last three such turns (clash.cpp).
struct IdClash {
  uint32_t addr[2] = {0, 0};
  uint32_t at[3] = {0, 0, 0};
  uint8_t turns = 0;
  uint32_t warned = 0;  // ticks of the last warning (0: none yet)
};

// Why the secure link refused a connection (trm_hub_tls_refused_total{reason}).
enum class TlsRefusal : uint8_t {
  kPlainOnTls,        // plain bytes on the TLS port
  kTlsOnPlain,        // a TLS handshake on the plain port
  kPlainAfterTls,     // an ID that has come over TLS, on the plain port
  kTlsRequired,       // an ID required to use TLS ([gateways] tls_required_ids), on the plain port
  kNoCert,            // no client certificate
  kWrongCa,           // not signed by the factory CA, where only it is let in (tls_ca_only)
  kHandshake,         // the handshake failed otherwise (protocol, ciphers, a bad message)
  kHandshakeCut,      // the peer left half-way through the handshake
  kHandshakeTimeout,  // not done within tls_handshake_s
  kRevoked,           // a revoked key
  kOtherId,           // a key bound to another gateway's ID
  kKeyMismatch,       // not the ID's bound key, while the ID is served on another connection
  kIdChanged,         // packets declaring another ID than the one the connection came in as
  kRate,              // over the connection rate of its address (the TLS port's share)
  kFull,              // max_connections reached (the TLS port's share)
  kCount
};
inline constexpr const char *kTlsRefusalNames[] = {
    "plain_on_tls",  "tls_on_plain",      "plain_after_tls", "tls_required", "no_cert",      "wrong_ca",   "handshake",
    "handshake_cut", "handshake_timeout", "revoked",         "other_id",     "key_mismatch", "id_changed", "rate",
    "full"};
static_assert(sizeof kTlsRefusalNames / sizeof kTlsRefusalNames[0] == static_cast<size_t>(TlsRefusal::kCount),
              "a name for every refusal");
// The refusals whose reason will not change in the next second, made
// after the handshake (no alert sent): their connections are held (core/hold.h).
inline constexpr bool kTlsRefusalLasts[] = {true,  true, true, true, false, false, false, false,
                                            false, true, true, true, true,  false, false};
static_assert(sizeof kTlsRefusalLasts == static_cast<size_t>(TlsRefusal::kCount), "a word for every refusal");

struct Metrics {
  uint64_t accepted = 0, refused_rate = 0, refused_full = 0;
  uint64_t closed_init_timeout = 0, closed_idle = 0, closed_malformed = 0, closed_bad_id = 0, closed_unknown = 0;
  uint64_t replaced = 0, renamed = 0, id_conflicts = 0;
  uint64_t packets_in[3] = {0, 0, 0};  // init, data, heartbeat
  uint64_t bytes_in = 0, packets_out = 0, bytes_out = 0, sections_in = 0;
  uint64_t malformed = 0, before_init = 0, send_dropped = 0, torn_writes = 0;
  uint64_t modbus_requests = 0, modbus_responses = 0, modbus_timeouts = 0;
  uint64_t modbus_offline = 0, modbus_busy = 0, modbus_clients_dropped = 0;
  uint64_t modbus_broadcasts = 0, modbus_broadcasts_refused = 0, modbus_mismatched = 0;
  uint64_t raw_to_gw = 0, raw_from_gw = 0, raw_dropped = 0, raw_clients_dropped = 0;
  uint64_t com_settings[3] = {};  // rfc2217 settings answered: carried out, refused, the gateway not reached
  // TLS exposures: clients refused by reason (gateways/exp_tls.h: ExpRefusal), handshakes full and
  // resumed, Modbus requests refused for the client's role.
  uint64_t exp_tls_refused[9] = {};  // kExpRefusalNames' size (checked there)
  uint64_t exp_tls_full = 0, exp_tls_resumed = 0, modbus_unauthorized = 0;
  uint64_t commands = 0, command_timeouts = 0, verify_ok = 0, verify_fail = 0;
  uint64_t mqtt_published = 0, mqtt_dropped = 0, mqtt_received = 0, mqtt_connects = 0, mqtt_ignored = 0;
  uint64_t registry_writes = 0, registry_errors = 0;
  uint64_t http_requests = 0, http_connections = 0, http_request_timeouts = 0;
  uint64_t https_refused = 0;  // HTTPS connections that ended before a request (no handshake)
  // Time the hub adds to a Modbus round trip (request in to its section
  // out, answer in to the client), by upper bound in microseconds.
  static constexpr uint32_t kAddedBounds[] = {100, 250, 500, 1000, 2000, 5000, 10000, 50000};
  static constexpr size_t kAddedBuckets = sizeof kAddedBounds / sizeof kAddedBounds[0];
  uint64_t modbus_added[kAddedBuckets + 1] = {};  // the last: above every bound
  uint64_t modbus_added_us = 0;                   // their sum
  // The secure link: refusals by reason, handshakes full and resumed.
  uint64_t tls_refused[static_cast<size_t>(TlsRefusal::kCount)] = {};
  uint64_t tls_full = 0, tls_resumed = 0;
  // The acknowledged link: links that spoke it, bytes lost from and to the
  // gateways, bytes sent again after a break, acknowledgements each way, and
  // messages refused (the link dropped).
  uint64_t ack_links = 0, ack_lost_in = 0, ack_lost_out = 0, ack_resent = 0;
  uint64_t ack_acks_in = 0, ack_acks_out = 0, ack_refused = 0;
};

// The modules (each module's header), all owned by the Hub in one way: the
// state of the loop's own modules is made with it, the database's modules
// when the configuration names a registry (modules.cpp says the order).
struct Exposures;
struct Commands;
struct MqttBridge;
struct History;
struct Jobs;
class Registry;
class Journal;
class JobStore;
class Sync;
struct TlsServer;
struct AckLinks;

struct Hub {
  Config cfg;
  Metrics m;
  uint32_t now = 0;      // milliseconds (qy_ticks) of the pass
  int64_t wall_ms = 0;   // wall clock of the pass
  uint64_t pass_us = 0;  // monotonic microseconds when the pass's events came (0: not kept)
  int epfd = -1;
  int64_t started_ms = 0;
  std::unordered_map<std::string, std::unique_ptr<GatewayRecord>> records;
  Session *sessions = nullptr;
  Session *tick_at = nullptr;  // the next session the once-a-second sweep checks
  size_t session_count = 0, ready_count = 0;
  std::vector<Session *> send_wait;  // packets queued, waiting for their turn
  std::vector<Session *> closed;     // closed in this pass; freed by hub_reap
  uint32_t next_serial = 0;
  std::unordered_map<GatewayRecord *, IdClash> clashes;  // IDs replaced from another address lately
  Holds holds;                                           // refused connections held before their close
  size_t hubs = 1;  // this hub and the others sharing the registry heard from lately (the sync)
  std::unique_ptr<Exposures> ex;
  std::unique_ptr<Commands> cmds;
  std::unique_ptr<MqttBridge> mqtt;
  std::unique_ptr<History> hist;
  std::unique_ptr<Jobs> jobs;
  std::unique_ptr<Registry> reg;       // null: nothing kept on disk
  std::unique_ptr<Journal> journal;    // null: no history or audit log kept
  std::unique_ptr<JobStore> jobstore;  // null: jobs not kept
  std::unique_ptr<Sync> sync;          // null: no other hub shares the registry
  std::unique_ptr<TlsServer> tls;      // null: no TLS listener
  std::unique_ptr<AckLinks> acks;      // the acknowledged link's state per gateway (core/ack.h)
  // Every bound and every revoked key, and whose (gateways/identity.h keeps them).
  std::unordered_map<Fingerprint, GatewayRecord *, FingerprintHash> bound_keys, revoked_keys;
  const char *end_why = nullptr;  // while a connection's end is announced: why it ends

  explicit Hub(const Config &c);
  ~Hub();
  Hub(const Hub &) = delete;
  Hub &operator=(const Hub &) = delete;
};

// The clock of a pass: both readings taken once.
void hub_set_time(Hub &h, uint32_t ticks, int64_t wall_ms);

// The record of id, made (and marked new) when there is none.
GatewayRecord &hub_record(Hub &h, const std::string &id, bool *made = nullptr);
GatewayRecord *hub_find(Hub &h, const std::string &id);

// Online: connected and introduced. Admitted: let in (not held). Up:
// online here or at another hub sharing the registry.
bool gw_online(const GatewayRecord &r);
bool gw_up(const GatewayRecord &r);
bool gw_admitted(const GatewayRecord &r);
const char *gw_state(const GatewayRecord &r);  // "online" (here or elsewhere), "held", "offline"
// Why a gateway needs attention (attention.cpp), a bit each, the most
// urgent highest: a conflict of IDs, a verify failed in the last day, a
// reconnect storm (kStormReconnects within the hour), Modbus time-outs in
// the last hour, an online signal of CSQ kWeakSignal or below, offline for
// longer than its heartbeat period (kOfflineGraceS when it has none).
enum Attention : uint8_t {
  kAttnOffline = 1,
  kAttnWeak = 2,
  kAttnModbus = 4,
  kAttnStorm = 8,
  kAttnVerify = 16,
  kAttnConflict = 32
};
constexpr uint8_t kWeakSignal = 9;  // CSQ 9 and below: -95 dBm or worse
constexpr uint16_t kStormReconnects = 5;
constexpr int64_t kOfflineGraceS = 60;
uint8_t gw_attention(const GatewayRecord &r, int64_t now_s);
// Its reasons in words, most urgent first, null-ended ("conflict", "verify failed", ...).
size_t gw_attention_names(uint8_t mask, const char *out[7]);
// The loop's notes for it: a reconnect, a failed verify, a Modbus time-out.
void gw_note_reconnect(GatewayRecord &r, int64_t now_s);

// The fleet's filter (the page's, the API's, a job's selection): state is
// empty or "all", one gw_state, "conflict", "never" (no packet yet) or
// "attention" (gw_attention at now_s, the loop's wall clock); q (lower case)
// is found in the ID, alias, model, version or address.
bool gw_matches(const GatewayRecord &r, const std::string &state, const std::string &q, int64_t now_s);
bool gw_in_state(const GatewayRecord &r, const std::string &state, int64_t now_s);
std::string lower_ascii(std::string s);

// Frees the sessions closed during the pass; a held one's descriptor goes to
// the holds (taken out of the epoll set), the others' are closed.
void hub_reap(Hub &h);

// New IDs are taken while the registry holds fewer than this: max_known for
// each hub sharing it (the made-up IDs it stops are refused by each hub).
size_t hub_known_cap(const Hub &h);
// The hubs sharing the registry (this one among them), as the sync heard
// them: a change of the cap is said in the log.
void hub_set_hubs(Hub &h, size_t hubs);

}  // namespace hub

#endif
