// Command-line options.
#include "core/options.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace hub {
namespace {

struct Opt {
  const char *name;
  bool takes_value;
  bool (*apply)(Config &c, const std::string &v);
};

bool endpoint(Endpoint &e, const std::string &v) { return parse_endpoint(v, &e); }

bool number(const std::string &v, unsigned long max, unsigned long *out) {
  char *end = nullptr;
  if (v.empty() || v.size() > 10) return false;
  *out = strtoul(v.c_str(), &end, 10);
  return *end == '\0' && *out <= max;
}

bool mqtt_at(Config &c, const std::string &v) {
  size_t colon = v.rfind(':');
  unsigned long port = 0;
  if (colon == std::string::npos || colon == 0 || !number(v.substr(colon + 1), 65535, &port) || port == 0) return false;
  c.mqtt.enabled = true;
  c.mqtt.host = v.substr(0, colon);
  c.mqtt.port = static_cast<int>(port);
  return true;
}

const Opt kOpts[] = {
    {"--listen", true, [](Config &c, const std::string &v) { return endpoint(c.gw_listen, v); }},
    {"--http", true, [](Config &c, const std::string &v) { return c.http_enabled = true, endpoint(c.http_listen, v); }},
    {"--no-http", false, [](Config &c, const std::string &) { return !(c.http_enabled = false); }},
    {"--db", true, [](Config &c, const std::string &v) { return c.db_path = v, true; }},
    {"--mqtt", true, mqtt_at},
    {"--mqtt-prefix", true, [](Config &c, const std::string &v) { return c.mqtt.prefix = v, true; }},
    {"--no-mqtt", false, [](Config &c, const std::string &) { return !(c.mqtt.enabled = false); }},
    {"--hub-id", true, [](Config &c, const std::string &v) { return c.hub_id = v, !v.empty(); }},
    {"--log-level", true, [](Config &c, const std::string &v) { return log_parse_level(v.c_str(), &c.log_level); }},
    {"--token", true, [](Config &c, const std::string &v) { return c.http_token = v, true; }},
    {"--gap", true,
     [](Config &c, const std::string &v) {
       unsigned long n = 0;
       return number(v, 10000, &n) && (c.gap_ms = static_cast<uint32_t>(n), true);
     }},
    {"--connect-rate", true,
     [](Config &c, const std::string &v) {
       unsigned long n = 0;
       return number(v, 1000000, &n) && (c.connect_rate = static_cast<double>(n), true);
     }},
    {"--init-timeout", true,
     [](Config &c, const std::string &v) {
       unsigned long n = 0;
       return number(v, 3600, &n) && n > 0 && (c.init_timeout_s = static_cast<uint32_t>(n), true);
     }},
    {"--max-connections", true,
     [](Config &c, const std::string &v) {
       unsigned long n = 0;
       return number(v, 1000000, &n) && n > 0 && (c.max_gateways = static_cast<unsigned>(n), true);
     }},
    {"--admit-all", false,
     [](Config &c, const std::string &) {
       c.allow.ids = {"*"};
       c.allow.nets.clear();
       return true;
     }},
};

const Opt *find(const char *name) {
  for (const Opt &o : kOpts) {
    if (strcmp(o.name, name) == 0) return &o;
  }
  return nullptr;
}

std::string host_name() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "hub";
  return name;
}

}  // namespace

OptResult parse_options(int argc, char **argv, Config &cfg, std::string &err) {
  OptResult result = OptResult::kRun;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "-h") || !strcmp(argv[i], "--help")) return OptResult::kHelp;
    if (!strcmp(argv[i], "--check")) result = OptResult::kCheck;
    if ((!strcmp(argv[i], "-c") || !strcmp(argv[i], "--config")) && i + 1 < argc) {
      if (!config_load_file(argv[++i], cfg, err)) return OptResult::kError;
    }
  }
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    if (!strcmp(a, "-c") || !strcmp(a, "--config")) {
      if (++i >= argc) return err = "-c needs a file", OptResult::kError;
      continue;
    }
    if (!strcmp(a, "--check")) continue;
    const Opt *o = find(a);
    if (!o) return err = std::string("unknown option ") + a, OptResult::kError;
    std::string v;
    if (o->takes_value) {
      if (++i >= argc) return err = std::string(a) + " needs a value", OptResult::kError;
      v = argv[i];
    }
    if (!o->apply(cfg, v)) return err = std::string("bad value for ") + a + ": " + v, OptResult::kError;
  }
  if (cfg.hub_id.empty()) cfg.hub_id = host_name();
  if (!config_check(cfg, err)) return OptResult::kError;
  return result;
}

void print_usage() {
  puts("usage: trm-hub [-c FILE] [options]\n"
       "  -c, --config FILE     TOML configuration (see hub.example.toml)\n"
       "  --listen ADDR:PORT    gateway port (default 0.0.0.0:11000; port 0: a free one)\n"
       "  --http ADDR:PORT      API, metrics and pages (default 127.0.0.1:8080)\n"
       "  --no-http             no HTTP server\n"
       "  --token TOKEN         bearer token the API requires (needed off loopback)\n"
       "  --db PATH             registry database (SQLite); none by default\n"
       "  --mqtt HOST:PORT      broker (default 127.0.0.1:1883)\n"
       "  --mqtt-prefix P       topic prefix (default trm)\n"
       "  --no-mqtt             no broker\n"
       "  --hub-id ID           this hub's name in a cluster (default: the host name)\n"
       "  --log-level LEVEL     error, warn, info (default) or debug\n"
       "  --gap MS              least time between two packets to one gateway (default 50)\n"
       "  --connect-rate N      new connections a second per source address (0: no limit)\n"
       "  --init-timeout S      seconds a connection may take to send its init packet (default 30)\n"
       "  --max-connections N   gateway connections at once (default 20000)\n"
       "  --admit-all           admit every gateway from anywhere (development, benchmarks)\n"
       "  --check               check the configuration and exit\n"
       "Once listening it prints \"listening gateways=ADDR:PORT http=ADDR:PORT hub=ID\".");
}

}  // namespace hub
