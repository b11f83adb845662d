// The TOML configuration file (toml++, without exceptions): every section
// and key is looked up in a table of known names, so a misspelt key is an
// error rather than a silently ignored setting.
#include "core/config.h"

#include <fstream>
#include <sstream>

#include "core/packet.h"
#include "core/toml.h"

namespace hub {
namespace {

using Setter = bool (*)(const toml::node &, Config &, std::string &);

struct Key {
  const char *name;
  Setter set;
};

struct Section {
  const char *name;
  const Key *keys;
  size_t count;
};

bool get(const toml::node &n, std::string &out, std::string &why) {
  const auto *s = n.as_string();
  if (!s) return why = "a string is needed", false;
  out = s->get();
  return true;
}

bool get(const toml::node &n, bool &out, std::string &why) {
  const auto *b = n.as_boolean();
  if (!b) return why = "true or false is needed", false;
  out = b->get();
  return true;
}

template <typename T>
bool get_int(const toml::node &n, T &out, int64_t lo, int64_t hi, std::string &why) {
  const auto *i = n.as_integer();
  if (!i || i->get() < lo || i->get() > hi) {
    why = "a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) + " is needed";
    return false;
  }
  out = static_cast<T>(i->get());
  return true;
}

bool get_endpoint(const toml::node &n, Endpoint &out, std::string &why) {
  std::string text;
  if (!get(n, text, why)) return false;
  if (!parse_endpoint(text, &out)) return why = "\"address:port\" with an IPv4 address is needed", false;
  return true;
}

bool get_strings(const toml::node &n, std::vector<std::string> &out, std::string &why) {
  const auto *arr = n.as_array();
  if (!arr) return why = "a list of strings is needed", false;
  out.clear();
  for (const toml::node &e : *arr) {
    std::string s;
    if (!get(e, s, why)) return false;
    out.push_back(s);
  }
  return true;
}

bool set_level(const toml::node &n, Config &c, std::string &why) {
  std::string s;
  if (!get(n, s, why)) return false;
  if (!log_parse_level(s.c_str(), &c.log_level)) return why = "error, warn, info or debug", false;
  return true;
}

bool set_networks(const toml::node &n, Config &c, std::string &why) {
  std::vector<std::string> list;
  if (!get_strings(n, list, why)) return false;
  c.allow.nets.clear();
  for (const std::string &s : list) {
    Cidr cidr;
    if (!parse_cidr(s, &cidr)) return why = "\"" + s + "\" is not a network like 10.0.0.0/8", false;
    c.allow.nets.push_back(cidr);
  }
  return true;
}

bool set_rate(const toml::node &n, Config &c, std::string &why) {
  std::optional<double> v = n.value<double>();
  if (!v || *v < 0 || *v > 1e6) return why = "a number from 0 to 1000000 is needed", false;
  c.connect_rate = *v;
  return true;
}

bool set_token_key(const std::string &key, const toml::node &v, ApiToken &t, std::string &why) {
  std::string role;
  if (key == "name") return get(v, t.name, why);
  if (key == "token") return get(v, t.token, why);
  if (key != "role") return why = "no key \"" + key + "\"", false;
  if (!get(v, role, why)) return false;
  if (role != "read" && role != "operate") return why = "role: \"read\" or \"operate\"", false;
  t.role = role == "read" ? Role::kRead : Role::kOperate;
  return true;
}

// [[http.tokens]] name = "...", token = "...", role = "read" | "operate"
bool set_tokens(const toml::node &n, Config &c, std::string &why) {
  const auto *arr = n.as_array();
  if (!arr) return why = "write them as [[http.tokens]] tables", false;
  for (const toml::node &e : *arr) {
    const auto *t = e.as_table();
    if (!t) return why = "write them as [[http.tokens]] tables", false;
    ApiToken tok;
    for (auto &&[k, v] : *t) {
      if (!set_token_key(std::string(k.str()), v, tok, why)) return false;
    }
    if (tok.name.empty() || tok.token.empty()) return why = "every token needs a name and a token", false;
    for (const ApiToken &o : c.http_tokens) {
      if (o.name == tok.name || o.token == tok.token) return why = "\"" + tok.name + "\" is there twice", false;
    }
    c.http_tokens.push_back(tok);
  }
  return true;
}

#define STR(field) [](const toml::node &n, Config &c, std::string &w) { return get(n, c.field, w); }
#define BOOL(field) [](const toml::node &n, Config &c, std::string &w) { return get(n, c.field, w); }
#define INT(field, lo, hi) [](const toml::node &n, Config &c, std::string &w) { return get_int(n, c.field, lo, hi, w); }
#define ENDPOINT(field) [](const toml::node &n, Config &c, std::string &w) { return get_endpoint(n, c.field, w); }

// [gateways] listen: an address, or "off" for no plain listener.
bool set_gw_listen(const toml::node &n, Config &c, std::string &why) {
  const auto *s = n.as_string();
  c.gw_plain = !(s && s->get() == "off");
  return !c.gw_plain || get_endpoint(n, c.gw_listen, why);
}

bool set_tls_listen(const toml::node &n, Config &c, std::string &why) {
  c.tls.enabled = true;
  return get_endpoint(n, c.tls.listen, why);
}

const Key kHub[] = {{"id", STR(hub_id)}, {"log_level", set_level}};
const Key kGateways[] = {
    {"listen", set_gw_listen},
    {"gap_ms", INT(gap_ms, 0, 10000)},
    {"queue", INT(out_queue, 1, 64)},
    {"idle_timeout_s", INT(idle_timeout_s, 0, 86400)},
    {"max_connections", INT(max_gateways, 1, 1000000)},
    {"max_known", INT(max_known, 1, 10000000)},
    {"tls_listen", set_tls_listen},
    {"tls_cert", STR(tls.cert)},
    {"tls_key", STR(tls.key)},
    {"tls_ca", STR(tls.ca)},
    {"tls_ca_only", BOOL(tls.ca_only)},
    {"tls_ticket_keys", STR(tls.ticket_keys)},
    {"tls_session_hours", INT(tls.session_hours, 1, 24 * 30)},
    {"tls_handshake_s", INT(tls.handshake_s, 1, 300)},
    {"ack", BOOL(tls.ack)},
    {"tls_required_ids",
     [](const toml::node &n, Config &c, std::string &w) { return get_strings(n, c.tls.required.ids, w); }},
};
// A PostgreSQL registry: a postgresql:// URL or libpq's key=value conninfo.
bool db_is_postgres(const std::string &where) {
  return where.compare(0, 13, "postgresql://") == 0 || where.compare(0, 11, "postgres://") == 0 ||
         where.find('=') != std::string::npos;
}

// [registry] url: PostgreSQL, as a URL or as libpq's key=value conninfo.
bool set_db_url(const toml::node &n, Config &c, std::string &why) {
  if (!get(n, c.db_url, why)) return false;
  if (db_is_postgres(c.db_url)) return true;
  return why = "postgresql://user@host/database or key=value conninfo (host=... dbname=...)", false;
}

const Key kRegistry[] = {{"path", STR(db_path)},
                         {"url", set_db_url},
                         {"wait_s", INT(registry_wait_s, 0, 86400)},
                         {"flush_s", INT(registry_flush_s, 1, 3600)}};
const Key kVerify[] = {
    {"interval_s", INT(verify_interval_s, 0, 604800)},
    {"on_connect", BOOL(verify_on_connect)},
    {"timeout_ms", INT(verify_timeout_ms, 100, 600000)},
    {"close_on_fail", BOOL(verify_close_on_fail)},
};
// [modbus] roles = { name = "read" | "operate", ... }
bool set_roles(const toml::node &n, Config &c, std::string &why) {
  const auto *t = n.as_table();
  if (!t) return why = "a table of role = \"read\" or \"operate\" is needed", false;
  c.exp_tls.roles.clear();
  for (auto &&[k, v] : *t) {
    std::string perm;
    if (!get(v, perm, why) || (perm != "read" && perm != "operate")) {
      return why = std::string(k.str()) + ": \"read\" or \"operate\"", false;
    }
    c.exp_tls.roles.push_back({std::string(k.str()), perm == "read" ? MbPerm::kRead : MbPerm::kOperate});
  }
  return true;
}

const Key kModbus[] = {
    {"timeout_ms", INT(modbus_timeout_ms, 10, 600000)},
    {"queue", INT(modbus_queue, 1, 1024)},
    {"max_clients", INT(modbus_clients, 1, 1024)},
    {"tls_cert", STR(exp_tls.cert)},
    {"tls_key", STR(exp_tls.key)},
    {"tls_ca", STR(exp_tls.ca)},
    {"tls_session_hours", INT(exp_tls.session_hours, 1, 24 * 30)},
    {"tls_handshake_s", INT(exp_tls.handshake_s, 1, 300)},
    {"roles", set_roles},
};
const Key kRaw[] = {{"max_clients", INT(raw_clients, 1, 1024)}};
const Key kCommands[] = {{"timeout_ms", INT(command_timeout_ms, 100, 600000)}};
const Key kSecurity[] = {
    {"allow_ids", [](const toml::node &n, Config &c, std::string &w) { return get_strings(n, c.allow.ids, w); }},
    {"allow_networks", set_networks},
    {"init_timeout_s", INT(init_timeout_s, 1, 3600)},
    {"malformed_in_row", INT(malformed_in_row, 1, 1000)},
    {"connect_rate", set_rate},
    {"connect_burst", INT(connect_burst, 1, 1000000)},
    {"refused_hold_s", INT(hold_first_s, 0, 3600)},
    {"refused_hold_max_s", INT(hold_max_s, 1, 86400)},
    {"refused_holds", INT(hold_max, 0, 1000000)},
};
const Key kHttp[] = {
    {"enabled", BOOL(http_enabled)},
    {"listen", ENDPOINT(http_listen)},
    {"token", STR(http_token)},
    {"tokens", set_tokens},
    {"max_connections", INT(http_max_connections, 1, 10000)},
    {"idle_timeout_s", INT(http_idle_timeout_s, 1, 3600)},
    {"request_timeout_s", INT(http_request_timeout_s, 1, 3600)},
    {"tls_cert", STR(http_tls_cert)},
    {"tls_key", STR(http_tls_key)},
    {"plain_tokens", BOOL(http_plain_tokens)},
};
const Key kHistory[] = {{"days", INT(history.days, 1, 3650)}, {"max_mb", INT(history.max_mb, 1, 1048576)}};
const Key kJobs[] = {
    {"concurrency", INT(jobs.concurrency, 1, 100000)},
    {"max_targets", INT(jobs.max_targets, 1, 1000000)},
    {"keep", INT(jobs.keep, 1, 100000)},
    {"deadline_s", INT(jobs.deadline_s, 1, 366 * 86400)},
    {"max_deadline_s", INT(jobs.max_deadline_s, 1, 366 * 86400)},
};
const Key kMqtt[] = {
    {"enabled", BOOL(mqtt.enabled)},
    {"host", STR(mqtt.host)},
    {"port", INT(mqtt.port, 1, 65535)},
    {"prefix", STR(mqtt.prefix)},
    {"client_id", STR(mqtt.client_id)},
    {"username", STR(mqtt.username)},
    {"password", STR(mqtt.password)},
    {"keepalive_s", INT(mqtt.keepalive_s, 5, 3600)},
    {"qos", INT(mqtt.qos, 0, 1)},
    {"queue_messages", INT(mqtt.queue_messages, 0, 10000000)},
    {"queue_bytes", INT(mqtt.queue_bytes, 0, int64_t{1} << 32)},
    {"inflight", INT(mqtt.inflight, 1, 100000)},
    {"status_min_interval_ms", INT(mqtt.status_min_interval_ms, 0, 3600000)},
    {"status_refresh_s", INT(mqtt.status_refresh_s, 1, 86400)},
    {"tls_cafile", STR(mqtt.cafile)},
    {"tls_capath", STR(mqtt.capath)},
    {"tls_certfile", STR(mqtt.certfile)},
    {"tls_keyfile", STR(mqtt.keyfile)},
    {"tls_version", STR(mqtt.tls_version)},
    {"tls_insecure", BOOL(mqtt.tls_insecure)},
};

#define SECTION(name, keys) \
  { (name), (keys), sizeof(keys) / sizeof((keys)[0]) }
const Section kSections[] = {
    SECTION("hub", kHub),           SECTION("gateways", kGateways), SECTION("registry", kRegistry),
    SECTION("verify", kVerify),     SECTION("modbus", kModbus),     SECTION("raw", kRaw),
    SECTION("commands", kCommands), SECTION("security", kSecurity), SECTION("http", kHttp),
    SECTION("mqtt", kMqtt),         SECTION("history", kHistory),   SECTION("jobs", kJobs),
};

bool apply_section(const Section &s, const toml::table &t, Config &cfg, std::string &err) {
  for (auto &&[k, v] : t) {
    const Key *key = nullptr;
    for (size_t i = 0; i < s.count; i++) {
      if (k.str() == s.keys[i].name) key = &s.keys[i];
    }
    std::string why;
    if (!key) {
      err = std::string("[") + s.name + "] has no key \"" + std::string(k.str()) + "\"";
      return false;
    }
    if (!key->set(v, cfg, why)) {
      err = std::string("[") + s.name + "] " + key->name + ": " + why;
      return false;
    }
  }
  return true;
}

bool apply_exposure(const toml::table &t, Config &cfg, std::string &err) {
  ExposureConf e;
  std::string kind = "modbus", listen = "127.0.0.1:0", why;
  for (auto &&[k, v] : t) {
    bool ok = true;
    if (k.str() == "gateway") {
      ok = get(v, e.gateway, why);
    } else if (k.str() == "port") {
      ok = get_int(v, e.port, 1, 2, why);
    } else if (k.str() == "kind") {
      ok = get(v, kind, why) && exp_kind_parse(kind, &e.kind, &e.tls);
      if (!ok && why.empty()) why = kExpKindNames;
    } else if (k.str() == "listen") {
      ok = get_endpoint(v, e.listen, why);
    } else {
      ok = false;
      why = "no such key";
    }
    if (!ok) return err = "[[exposure]] " + std::string(k.str()) + ": " + why, false;
  }
  if (e.gateway.empty()) return err = "[[exposure]] needs a gateway", false;
  cfg.exposures.push_back(e);
  return true;
}

bool apply_exposures(const toml::node &n, Config &cfg, std::string &err) {
  const auto *arr = n.as_array();
  if (!arr) return err = "exposure: write it as [[exposure]] tables", false;
  for (const toml::node &e : *arr) {
    const auto *t = e.as_table();
    if (!t) return err = "exposure: write it as [[exposure]] tables", false;
    if (!apply_exposure(*t, cfg, err)) return false;
  }
  return true;
}

bool apply_root(const toml::table &root, Config &cfg, std::string &err) {
  for (auto &&[k, v] : root) {
    if (k.str() == "exposure") {
      if (!apply_exposures(v, cfg, err)) return false;
      continue;
    }
    const Section *sec = nullptr;
    for (const Section &s : kSections) {
      if (k.str() == s.name) sec = &s;
    }
    if (!sec || !v.is_table()) {
      err = "unknown section \"" + std::string(k.str()) + "\"";
      return false;
    }
    if (!apply_section(*sec, *v.as_table(), cfg, err)) return false;
  }
  return true;
}

}  // namespace

bool config_parse(const std::string &text, Config &cfg, std::string &err) {
  if (!config_text_sound(text, err)) return false;
  toml::parse_result res = toml::parse(std::string_view(text));
  if (!res) {
    std::ostringstream os;
    os << "line " << res.error().source().begin.line << ": " << res.error().description();
    err = os.str();
    return false;
  }
  return apply_root(res.table(), cfg, err);
}

bool config_load_file(const std::string &path, Config &cfg, std::string &err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    err = "cannot read " + path;
    return false;
  }
  std::ostringstream os;
  os << in.rdbuf();
  if (!config_parse(os.str(), cfg, err)) {
    err = path + ": " + err;
    return false;
  }
  return true;
}

namespace {

struct Listener {
  std::string key;
  Endpoint at;
};

std::vector<Listener> listeners(const Config &cfg) {
  std::vector<Listener> out;
  if (cfg.gw_plain) out.push_back({"[gateways] listen", cfg.gw_listen});
  if (cfg.tls.enabled) out.push_back({"[gateways] tls_listen", cfg.tls.listen});
  if (cfg.http_enabled) out.push_back({"[http] listen", cfg.http_listen});
  for (const ExposureConf &e : cfg.exposures) {
    out.push_back({"[[exposure]] " + e.gateway + " port " + std::to_string(e.port) + ", listen", e.listen});
  }
  return out;
}

// Two listeners on one port collide when their addresses are equal or
// either is the wildcard (port 0 asks for a free one: never a collision).
bool collide(const Endpoint &a, const Endpoint &b) {
  return a.port != 0 && a.port == b.port && (a.host == b.host || a.host == "0.0.0.0" || b.host == "0.0.0.0");
}

std::string text(const Endpoint &e) { return e.host + ":" + std::to_string(e.port); }

bool check_listeners(const Config &cfg, std::string &err) {
  std::vector<Listener> all = listeners(cfg);
  for (size_t i = 0; i < all.size(); i++) {
    for (size_t j = i + 1; j < all.size(); j++) {
      if (!collide(all[i].at, all[j].at)) continue;
      err = all[j].key + " " + text(all[j].at) + ": the address of " + all[i].key + " " + text(all[i].at);
      return false;
    }
  }
  return true;
}

// The secure link's settings that need no file read (gateways/tls.h reads them).
bool check_tls(const Config &cfg, std::string &err) {
  const TlsConf &t = cfg.tls;
  if (!cfg.gw_plain && !t.enabled)
    return err = "[gateways] listen is off and no tls_listen is set: no gateway could reach the hub", false;
  if (t.enabled && (t.cert.empty() || t.key.empty()))
    return err = "[gateways] tls_listen needs tls_cert and tls_key", false;
  if (t.ca_only && t.ca.empty()) return err = "[gateways] tls_ca_only needs tls_ca (the factory CA)", false;
  if (!t.required.ids.empty() && !t.enabled) return err = "[gateways] tls_required_ids needs tls_listen", false;
  return true;
}

// The TLS exposures' settings that need no file read (gateways/exp_tls.h
// reads them): a CA, the hub's certificate, roles.
bool check_exp_tls(const Config &cfg, const std::string &key, std::string &err) {
  const ExpTlsConf &t = cfg.exp_tls;
  if (t.ca.empty()) return err = key + ": a TLS exposure needs [modbus] tls_ca (the clients' CA)", false;
  if ((t.cert.empty() && cfg.tls.cert.empty()) || (t.key.empty() && cfg.tls.key.empty())) {
    return err = key + ": a TLS exposure needs [modbus] tls_cert and tls_key (or [gateways] tls_cert and tls_key)",
           false;
  }
  if (t.roles.empty()) return err = key + ": a TLS exposure needs [modbus] roles", false;
  return true;
}

bool check_exposures(const Config &cfg, std::string &err) {
  const std::vector<ExposureConf> &list = cfg.exposures;
  if (cfg.exp_tls.cert.empty() != cfg.exp_tls.key.empty()) {
    return err = "[modbus] tls_cert and tls_key: both or neither", false;
  }
  for (size_t i = 0; i < list.size(); i++) {
    const std::string &id = list[i].gateway;
    std::string key = "[[exposure]] " + id + " port " + std::to_string(list[i].port);
    if (!id_usable(reinterpret_cast<const uint8_t *>(id.data()), id.size())) {
      return err = "[[exposure]] gateway \"" + id + "\" is not a gateway ID", false;
    }
    if (list[i].tls && !check_exp_tls(cfg, key, err)) return false;
    for (size_t j = 0; j < i; j++) {
      if (list[j].gateway == id && list[j].port == list[i].port) return err = key + " is exposed twice", false;
    }
  }
  return true;
}

// Off loopback the API needs tokens, and they cross the network only
// inside TLS unless the operator allows them in clear.
bool http_check(const Config &cfg, std::string &err) {
  if (cfg.http_tls_cert.empty() != cfg.http_tls_key.empty())
    return err = "[http] tls_cert and tls_key: both or neither", false;
  if (!cfg.http_enabled || is_loopback(cfg.http_listen.host)) return true;
  const std::string where = "the API listens on " + cfg.http_listen.host + ", off loopback";
  if (cfg.http_token.empty() && cfg.http_tokens.empty())
    return err = where + ": set [http] token or [[http.tokens]]", false;
  if (cfg.http_tls_cert.empty() && !cfg.http_plain_tokens)
    return err = where +
                 ", over plain HTTP: its tokens would cross the network in clear; set [http] tls_cert and "
                 "tls_key, or plain_tokens = true",
           false;
  return true;
}

}  // namespace

bool config_check(const Config &cfg, std::string &err) {
  if (!http_check(cfg, err)) return false;
  if (cfg.mqtt.prefix.empty() || cfg.mqtt.prefix.find_first_of("+#") != std::string::npos) {
    err = "[mqtt] prefix must be a topic level without wildcards";
    return false;
  }
  if (!cfg.db_path.empty() && !cfg.db_url.empty()) {
    err = "[registry] path (SQLite) and url (PostgreSQL): one or the other";
    return false;
  }
  if (cfg.jobs.deadline_s > cfg.jobs.max_deadline_s) {
    err = "[jobs] deadline_s is beyond max_deadline_s";
    return false;
  }
  return check_tls(cfg, err) && check_exposures(cfg, err) && check_listeners(cfg, err);
}

}  // namespace hub
