// The hub's settings: defaults, the TOML configuration file, and the checks
// that a setting combination is safe to run with.
#ifndef HUB_CONFIG_H
#define HUB_CONFIG_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "core/addr.h"
#include "core/log.h"

namespace hub {

// An exposure's kind: raw bytes, Modbus TCP, or an RFC 2217 serial port;
// each also over mutual TLS ("modbus-tls" is Modbus/TCP Security,
// "raw-tls" and "rfc2217-tls" the same TLS for the other two).
enum class ExpKind : uint8_t { kRaw, kModbus, kRfc2217 };

struct ExposureConf {
  std::string gateway;  // gateway ID
  unsigned port = 1;    // 1 or 2
  ExpKind kind = ExpKind::kModbus;
  bool tls = false;
  Endpoint listen{"127.0.0.1", 0};
};

// A kind's name ("raw", "modbus", "rfc2217", each with "-tls" or not) and
// back; false for a name that is none.
const char *exp_kind_name(ExpKind kind, bool tls);
bool exp_kind_parse(const std::string &name, ExpKind *kind, bool *tls);
extern const char kExpKindNames[];  // the names, for messages

// What a Modbus/TCP Security client's role lets it do: read function codes
// only, or everything (as the API's read and operate tokens).
enum class MbPerm : uint8_t { kRead, kOperate };
struct MbRole {
  std::string name;  // as the certificate's role extension carries it
  MbPerm perm = MbPerm::kRead;
};

// The TLS exposures ([modbus] tls_*): the hub's certificate and key (the
// secure link's, [gateways] tls_cert and tls_key, when none is named), the
// CA whose certificates clients must show, the roles it knows.
struct ExpTlsConf {
  std::string cert, key, ca;
  std::vector<MbRole> roles;
  uint32_t session_hours = 24;  // a session may be resumed this long
  uint32_t handshake_s = 10;    // a handshake not done by then ends the connection
};

struct MqttConf {
  bool enabled = true;
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string prefix = "trm";
  std::string client_id;  // empty: "trm-hub-<hub id>"
  std::string username, password;
  unsigned keepalive_s = 30;
  int qos = 0;                    // serial bursts and replies
  size_t queue_messages = 10000;  // held while the broker is away
  size_t queue_bytes = 4u << 20;
  size_t inflight = 1000;                  // handed to the client library at once
  uint32_t status_min_interval_ms = 1000;  // a gateway's status at most this often
  uint32_t status_refresh_s = 60;          // last-seen-only changes at most this often
  std::string cafile, capath, certfile, keyfile, tls_version;
  bool tls_insecure = false;
};

// History and audit rows: kept this many days, and the registry's
// database kept under max_mb by pruning the oldest rows first.
struct HistoryConf {
  uint32_t days = 30;
  uint32_t max_mb = 256;
};

// Fleet jobs: commands in flight over every job at once, targets a job
// may have, jobs kept (the oldest finished ones go first), and the
// deadline a job gets when it names none and the longest it may name.
struct JobsConf {
  unsigned concurrency = 100;
  size_t max_targets = 10000;
  size_t keep = 200;
  uint32_t deadline_s = 86400;
  uint32_t max_deadline_s = 30 * 86400;
};

// An API token: its name (what the audit log calls its holder) and what
// it may do: read, or also change things (operate).
enum class Role : uint8_t { kRead, kOperate };
struct ApiToken {
  std::string name, token;
  Role role = Role::kOperate;
};

// The secure link's listener: mutual TLS, each gateway known by its key
// (gateways/tls.h). Off unless tls_listen is set.
struct TlsConf {
  bool enabled = false;
  Endpoint listen{"0.0.0.0", 11443};
  std::string cert, key;        // the hub's certificate (chain) and key, PEM; an ECDSA P-256 key
  std::string ca;               // the factory CA (PEM): a certificate it signed naming the ID admits it at once
  bool ca_only = false;         // refuse certificates tls_ca did not sign
  std::string ticket_keys;      // the secret session tickets are sealed with (shared by a cluster); empty: random
  uint32_t session_hours = 24;  // a session may be resumed this long
  uint32_t handshake_s = 10;    // a handshake not done by then ends the connection
  AllowList required;           // IDs (ids only) refused on the plain port
  bool ack = true;              // choose the acknowledged link when a gateway offers it
};

struct Config {
  std::string hub_id;  // empty: the host name
  Level log_level = Level::kInfo;

  Endpoint gw_listen{"0.0.0.0", 11000};
  bool gw_plain = true;  // [gateways] listen = "off": no plain listener
  TlsConf tls;
  uint32_t gap_ms = 50;            // least time between two packets to one gateway
  unsigned out_queue = 8;          // packets waiting per gateway
  uint32_t idle_timeout_s = 0;     // 0: three heartbeat periods and 30 s
  unsigned max_gateways = 100000;  // connections at once (and no more than descriptors)
  size_t max_known = 100000;       // registry entries per hub sharing it: new IDs beyond are refused

  std::string db_path;           // SQLite; empty (and no db_url): no registry kept
  std::string db_url;            // PostgreSQL: a postgresql:// URL or key=value conninfo
  uint32_t registry_wait_s = 0;  // at start, keep trying a database that does not answer this long
  uint32_t registry_flush_s = 30;

  uint32_t verify_interval_s = 0;  // 0: only on request
  bool verify_on_connect = false;
  uint32_t verify_timeout_ms = 10000;
  bool verify_close_on_fail = true;

  uint32_t modbus_timeout_ms = 1000;
  unsigned modbus_queue = 16;
  unsigned modbus_clients = 8;
  ExpTlsConf exp_tls;
  unsigned raw_clients = 4;
  uint32_t command_timeout_ms = 5000;

  AllowList allow;
  uint32_t init_timeout_s = 30;
  unsigned malformed_in_row = 8;
  double connect_rate = 5.0;  // new connections a second per source address; 0: no limit
  unsigned connect_burst = 20;
  // A refusal that lasts holds its connection open and silent (core/hold.h):
  // first this long, twice as long each time again, up to the most; so many
  // held at once at most.
  uint32_t hold_first_s = 15;
  uint32_t hold_max_s = 300;
  unsigned hold_max = 4096;

  bool http_enabled = true;
  Endpoint http_listen{"127.0.0.1", 8080};
  std::string http_token;                   // an operate token named "default"
  std::vector<ApiToken> http_tokens;        // [[http.tokens]]
  std::string http_tls_cert, http_tls_key;  // PEM files: HTTPS (both or neither)
  bool http_plain_tokens = false;           // tokens over plain HTTP off loopback, if the operator says so
  unsigned http_max_connections = 64;
  uint32_t http_idle_timeout_s = 30;  // a connection silent (or not reading) this long is closed
  // A request must arrive whole within this of its connection or the previous reply.
  uint32_t http_request_timeout_s = 30;

  HistoryConf history;
  JobsConf jobs;
  MqttConf mqtt;
  std::vector<ExposureConf> exposures;
};

// Parses TOML text over the defaults already in cfg. false with a message
// naming the key (or the line of a syntax error) in err.
bool config_parse(const std::string &text, Config &cfg, std::string &err);
// Non-ASCII bytes only inside strings and comments (config_text.cpp), or
// false with the line in err; config_parse checks this first.
bool config_text_sound(const std::string &text, std::string &err);
bool config_load_file(const std::string &path, Config &cfg, std::string &err);

// The combination is safe to start: an API off loopback needs a token, and
// the like. false with a message.
// Also refused: two listeners on one address (an exposure on the gateway
// or HTTP port among them), one gateway port exposed twice, an exposure of
// something that is not a gateway ID.
bool config_check(const Config &cfg, std::string &err);

}  // namespace hub

#endif
