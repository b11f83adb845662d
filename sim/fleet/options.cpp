// Command line of the fleet simulator: every value checked against its range.
#include "options.h"

#include "tls.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace fleet {
namespace {

bool parse_u32(const char *text, uint32_t min, uint32_t max, uint32_t *out) {
  char *end = nullptr;
  const unsigned long long v = strtoull(text, &end, 10);
  if (end == text || *end != '\0' || text[0] == '-' || v < min || v > max) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool parse_real(const char *text, double min, double max, double *out) {
  char *end = nullptr;
  const double v = strtod(text, &end);
  if (end == text || *end != '\0' || !(v >= min && v <= max)) return false;
  *out = v;
  return true;
}

bool parse_ipv4(const char *text, uint32_t *out) {
  in_addr a;
  if (inet_pton(AF_INET, text, &a) != 1) return false;
  *out = ntohl(a.s_addr);
  return true;
}

bool parse_server(const char *text, Options &opt) {
  if (opt.server_count == kMaxServers) return false;
  char host[256];
  const char *colon = strrchr(text, ':');
  if (colon == nullptr || static_cast<size_t>(colon - text) >= sizeof host) return false;
  memcpy(host, text, static_cast<size_t>(colon - text));
  host[colon - text] = '\0';
  uint32_t port = 0;
  if (!parse_u32(colon + 1, 1, 65535, &port)) return false;
  addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *res = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) return false;
  sockaddr_in &sa = opt.servers[opt.server_count++];
  memcpy(&sa, res->ai_addr, sizeof sa);
  sa.sin_port = htons(static_cast<uint16_t>(port));
  freeaddrinfo(res);
  return true;
}

// "MIN" or "MIN-MAX"
bool parse_size_range(const char *text, uint32_t cap, Options &opt) {
  char buf[32];
  snprintf(buf, sizeof buf, "%s", text);
  char *dash = strchr(buf, '-');
  if (dash != nullptr) *dash = '\0';
  if (!parse_u32(buf, kBurstMin, cap, &opt.burst_min)) return false;
  opt.burst_max = opt.burst_min;
  return dash == nullptr || (parse_u32(dash + 1, opt.burst_min, cap, &opt.burst_max));
}

bool parse_ports(const char *text, Options &opt) {
  opt.burst_port[1] = strchr(text, '1') != nullptr;
  opt.burst_port[2] = strchr(text, '2') != nullptr;
  return strspn(text, "12,") == strlen(text) && (opt.burst_port[1] || opt.burst_port[2]);
}

bool parse_churn(const char *text, Options &opt) {
  char buf[64];
  snprintf(buf, sizeof buf, "%s", text);
  char *colon = strchr(buf, ':');
  if (colon == nullptr) return false;
  *colon = '\0';
  return parse_real(buf, 0, 1, &opt.churn_fraction) && parse_u32(colon + 1, 1, 86400, &opt.churn_s);
}

const option kLong[] = {
    {"server", required_argument, nullptr, 's'},    {"gateways", required_argument, nullptr, 'n'},
    {"first-id", required_argument, nullptr, 'i'},  {"alias", required_argument, nullptr, 'A'},
    {"heartbeat", required_argument, nullptr, 'H'}, {"signal", required_argument, nullptr, 'q'},
    {"init-delay", required_argument, nullptr, 'I'}, {"burst-fraction", required_argument, nullptr, 'f'},
    {"burst-size", required_argument, nullptr, 'z'}, {"burst-rate", required_argument, nullptr, 'r'},
    {"burst-ports", required_argument, nullptr, 'P'}, {"connect-rate", required_argument, nullptr, 'c'},
    {"churn", required_argument, nullptr, 'C'},     {"reconnect-delay", required_argument, nullptr, 'R'},
    {"source-base", required_argument, nullptr, 'b'}, {"unit", required_argument, nullptr, 'u'},
    {"port2", required_argument, nullptr, '2'},     {"control", required_argument, nullptr, 'k'},
    {"stats", required_argument, nullptr, 'S'},     {"duration", required_argument, nullptr, 'd'},
    {"seed", required_argument, nullptr, 'e'},      {"json", required_argument, nullptr, 'j'},
    {"no-answer-times", no_argument, nullptr, 'T'}, {"answer-log", required_argument, nullptr, 'L'},
    {"tls-ca-key", required_argument, nullptr, 'K'}, {"tls-ca-cert", required_argument, nullptr, 'X'},
    {"tls-pin", required_argument, nullptr, 'p'},    {"tls-hub-ca", required_argument, nullptr, 'V'},
    {"no-ack", no_argument, nullptr, 'N'},           {"ack-retain-kb", required_argument, nullptr, 'Q'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

bool apply(int c, const char *a, Options &opt) {
  uint32_t v = 0;
  switch (c) {
    case 's': return parse_server(a, opt);
    case 'n': return parse_u32(a, 1, kMaxGateways, &opt.gateways);
    case 'i': return parse_ipv4(a, &opt.first_id);
    case 'A': opt.alias = a; return strlen(a) <= 3;
    case 'H': return parse_u32(a, 1, 65535, &v) && ((opt.heartbeat_s = static_cast<uint16_t>(v)), true);
    case 'q': return parse_u32(a, 0, 255, &v) && ((opt.signal = static_cast<uint8_t>(v)), true);
    case 'I': return parse_u32(a, 0, 60000, &opt.init_delay_ms);
    case 'f': return parse_real(a, 0, 1, &opt.burst_fraction);
    case 'z': return parse_size_range(a, PACKET_BUF_SIZE - 32, opt);
    case 'r': return parse_real(a, 0.001, 1000, &opt.burst_rate);
    case 'P': return parse_ports(a, opt);
    case 'c': return parse_real(a, 1, 1e6, &opt.connect_rate);
    case 'C': return parse_churn(a, opt);
    case 'R': return parse_u32(a, 0, 600000, &opt.reconnect_ms);
    case 'b': return parse_ipv4(a, &opt.source_base);
    case 'u': return parse_u32(a, 0, 255, &v) && ((opt.unit = static_cast<uint8_t>(v)), true);
    case '2':
      opt.behaviour.port2 = strcmp(a, "echo") == 0 ? Port2Mode::kEcho : Port2Mode::kRecord;
      return strcmp(a, "echo") == 0 || strcmp(a, "record") == 0;
    case 'k': return parse_u32(a, 0, 65535, &v) && ((opt.control_port = static_cast<int>(v)), true);
    case 'S': return parse_u32(a, 0, 3600000, &opt.stats_ms);
    case 'd': return parse_u32(a, 0, 7 * 86400, &opt.duration_s);
    case 'e': opt.seed_given = true; opt.seed = strtoull(a, nullptr, 10); return true;
    case 'j': opt.json_path = a; return true;
    case 'T': opt.answer_times = false; return true;
    case 'L': opt.answer_log = a; return true;
    case 'K': opt.tls_ca_key = a; return true;
    case 'X': opt.tls_ca_cert = a; return true;
    case 'p': opt.tls_pin_given = true; return tlskit::fp_parse(a, strlen(a), &opt.tls_pin);
    case 'V': opt.tls_hub_ca = a; return true;
    case 'N': opt.ack = false; return true;
    case 'Q': return parse_u32(a, 1, 4096, &opt.ack_retain_kb);
    case 'h': opt.help = true; return true;
    default: return false;
  }
}

const char *name_of(int c) {
  for (const option &o : kLong) {
    if (o.val == c) return o.name;
  }
  return "?";
}

// The secure link needs the CA's pair and a way to check the hub, or nothing of it.
bool tls_options_whole(const Options &opt) {
  const bool any = opt.tls_ca_key || opt.tls_ca_cert || opt.tls_hub_ca || opt.tls_pin_given;
  if (!any) return true;
  if (!opt.tls_ca_key || !opt.tls_ca_cert) {
    fprintf(stderr, "trm-fleet: the secure link needs --tls-ca-key and --tls-ca-cert (the factory CA)\n");
    return false;
  }
  if (!opt.tls_hub_ca && !opt.tls_pin_given) {
    fprintf(stderr, "trm-fleet: the secure link needs --tls-pin or --tls-hub-ca to check the hub\n");
    return false;
  }
  return true;
}

}  // namespace

bool parse_options(int argc, char **argv, Options &opt) {
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, "s:n:h", kLong, nullptr)) != -1) {
    if (!apply(c, optarg, opt)) {
      if (c != '?') fprintf(stderr, "trm-fleet: bad value for --%s: %s\n", name_of(c), optarg);
      return false;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "trm-fleet: unexpected argument: %s\n", argv[optind]);
    return false;
  }
  if (opt.server_count == 0 && !opt.help) {
    fprintf(stderr, "trm-fleet: give at least one --server HOST:PORT\n");
    return false;
  }
  return tls_options_whole(opt);
}

void ip_text(uint32_t addr, char *out, size_t cap) {
  snprintf(out, cap, "%u.%u.%u.%u", addr >> 24, addr >> 16 & 0xFF, addr >> 8 & 0xFF, addr & 0xFF);
}

void print_usage() {
  puts("usage: trm-fleet --server HOST:PORT [--server ...] [options]\n"
       "  -n, --gateways N         simulated gateways (10; up to 60000)\n"
       "  --first-id A.B.C.D       ID of the first gateway, counted up (10.0.0.1)\n"
       "  --alias PREFIX           alias prefix, up to 3 characters, + the number (SIM)\n"
       "  --heartbeat S            heartbeat period in the init packet and on the link (10)\n"
       "  --signal N               signal byte of every packet (71)\n"
       "  --init-delay MS          connect to init packet (1000)\n"
       "  --burst-fraction F       share of gateways sending serial bursts (0)\n"
       "  --burst-size MIN[-MAX]   burst section bytes (64-512; at least 40)\n"
       "  --burst-rate R           bursts a second per bursting gateway (1)\n"
       "  --burst-ports 1,2        ports the bursts go out on (1,2)\n"
       "  --connect-rate R         connection attempts a second over the fleet (1000)\n"
       "  --churn F:S              every S seconds drop a share F of the gateways up\n"
       "  --reconnect-delay MS     wait after a drop before connecting again (1000)\n"
       "  --source-base A.B.C.D    bind gateway k to this address + k (loopback: 127.x)\n"
       "  --unit N                 Modbus unit id of the slaves on port 1 (1)\n"
       "  --port2 echo|record      bytes for port 2 are sent back or only counted (record)\n"
       "  --control PORT           control socket on 127.0.0.1 (0: a free port)\n"
       "  --stats MS               stats line period, 0 for none (1000)\n"
       "  --duration S             run this long, then end (0: until quit or a signal)\n"
       "  --seed N                 random seed (printed on the first line)\n"
       "  --json FILE              also write the final figures to FILE\n"
       "  --no-answer-times        no kernel time stamps for Modbus answer times\n"
       "  --answer-log FILE        one line per Modbus answer: ID, transaction id, answer time (us)\n"
       "  --tls-ca-key FILE        the secure link: the factory CA's key (PEM) signing each gateway's\n"
       "  --tls-ca-cert FILE         certificate (CN its ID), and the CA's certificate\n"
       "  --tls-pin HEX            the hub's key: SHA-256 of its public key (trm-pki.sh pin)\n"
       "  --tls-hub-ca FILE        the hub's certificate: chains to this CA and names the server address\n"
       "  --no-ack                 on the secure link, only the plain protocol (the acknowledged link\n"
       "                             is offered by default)\n"
       "  --ack-retain-kb N        line bytes each gateway keeps until the hub has them (16 KiB)\n"
       "commands on standard input or the control socket: type help");
}

}  // namespace fleet
