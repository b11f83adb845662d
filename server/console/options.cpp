// Command-line options.
#include "options.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include "gateways.h"
#include "out.h"
#include "tls.h"

namespace console {
namespace {

constexpr uint32_t kTimeoutMin = 10, kTimeoutMax = 60000;
constexpr uint32_t kGapMax = 5000;

bool to_number(const char *s, long lo, long hi, long *v) {
  char *end = nullptr;
  if (*s < '0' || *s > '9') return false;
  long x = strtol(s, &end, 10);
  if (*end != '\0' || x < lo || x > hi) return false;
  *v = x;
  return true;
}

// "GW:PORT:TCPPORT"
bool parse_exposure(const char *s, ExposureOpt &e) {
  int gw = 0, port = 0, tcp = 0, used = 0;
  if (sscanf(s, "%d:%d:%d%n", &gw, &port, &tcp, &used) != 3 || s[used] != '\0') return false;
  if (gw < 1 || gw > kMaxGateways || port < 1 || port > 2 || tcp < 0 || tcp > 65535) return false;
  e = ExposureOpt{gw, static_cast<unsigned>(port), tcp};
  return true;
}

bool bad(const char *what, const char *value) {
  out_line("error: bad %s \"%s\" (try --help)", what, value);
  return false;
}

enum : int { kTlsCert = 256, kTlsKey, kTlsCa };

const option kLong[] = {
    {"addr", required_argument, nullptr, 'a'},
    {"port", required_argument, nullptr, 'p'},
    {"modbus", required_argument, nullptr, 'm'},
    {"modbus-timeout", required_argument, nullptr, 't'},
    {"gap", required_argument, nullptr, 'g'},
    {"keep", no_argument, nullptr, 'k'},
    {"tls-cert", required_argument, nullptr, kTlsCert},
    {"tls-key", required_argument, nullptr, kTlsKey},
    {"tls-ca", required_argument, nullptr, kTlsCa},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

bool apply(int c, const char *arg, Options &opt) {
  long v = 0;
  switch (c) {
    case 'a': opt.addr = arg; return true;
    case 'p': return to_number(arg, 0, 65535, &v) ? (opt.port = static_cast<int>(v), true) : bad("port", arg);
    case 't':
      if (!to_number(arg, kTimeoutMin, kTimeoutMax, &v)) return bad("time-out", arg);
      opt.modbus_timeout_ms = static_cast<uint32_t>(v);
      return true;
    case 'g':
      if (!to_number(arg, 0, kGapMax, &v)) return bad("gap", arg);
      opt.gap_ms = static_cast<uint32_t>(v);
      return true;
    case 'm':
      if (opt.modbus_count == kMaxExposures) return bad("--modbus (too many)", arg);
      return parse_exposure(arg, opt.modbus[opt.modbus_count]) ? (opt.modbus_count++, true)
                                                                : bad("--modbus GW:PORT:TCPPORT", arg);
    case 'k': opt.keep = true; return true;
    case kTlsCert: opt.tls_cert = arg; return true;
    case kTlsKey: opt.tls_key = arg; return true;
    case kTlsCa: opt.tls_ca = arg; return true;
    case 'h': opt.help = true; return true;
    default: out_line("error: unknown option (try --help)"); return false;
  }
}

// TLS takes the certificate and the key together; a CA only with them.
bool tls_complete(const Options &opt) {
  if (!opt.tls_cert == !opt.tls_key && (opt.tls_cert || !opt.tls_ca)) return true;
  out_line("error: %s (try --help)", opt.tls_cert || opt.tls_key ? "--tls-cert and --tls-key go together"
                                                                   : "--tls-ca needs --tls-cert and --tls-key");
  return false;
}

}  // namespace

bool parse_options(int argc, char **argv, Options &opt) {
  opterr = 0;
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, "a:p:m:t:g:kh", kLong, nullptr)) != -1) {
    if (!apply(c, optarg, opt)) return false;
  }
  if (optind < argc) return bad("argument", argv[optind]);
  return tls_complete(opt);
}

void print_usage() {
  static const char *const kLines[] = {
      "usage: trm-console [options]   (commands on standard input; 'help' lists them)",
      "  -a, --addr ADDR            listen address (default 127.0.0.1)",
      "  -p, --port N               gateway port (default 11000; 0: any free port)",
      "  -m, --modbus GW:PORT:TCP   Modbus TCP server for gateway GW's port 1 or 2",
      "  -t, --modbus-timeout MS    Modbus response time-out (default 1000)",
      "  -g, --gap MS               least time between packets to one gateway (default 50)",
      "  -k, --keep                 keep running when standard input ends",
  };
  static const char *const kTlsLines[] = {
      "      --tls-cert FILE        the gateway port speaks TLS: the console's certificate (PEM, ECDSA P-256)",
      "      --tls-key FILE         its key (PEM)",
      "      --tls-ca FILE          gateways' certificates must chain to this CA (PEM; without it any key",
      "                             is taken and its fingerprint shown)",
  };
  for (const char *l : kLines) out_line("%s", l);
  if (!tls_built()) return;
  for (const char *l : kTlsLines) out_line("%s", l);
}

}  // namespace console
