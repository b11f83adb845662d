// Command line of the console.
#ifndef CONSOLE_OPTIONS_H
#define CONSOLE_OPTIONS_H

#include <stdint.h>

#include "modbus.h"

namespace console {

struct ExposureOpt {
  int gw;
  unsigned port;
  int tcp_port;
};

struct Options {
  const char *addr = "127.0.0.1";
  int port = 11000;
  uint32_t modbus_timeout_ms = 1000;
  uint32_t gap_ms = 50;
  bool keep = false;  // keep running when standard input ends
  bool help = false;
  ExposureOpt modbus[kMaxExposures] = {};
  int modbus_count = 0;
  // The gateway listener over TLS (tls.h): the console's certificate and
  // key, and the CA the gateways' certificates must chain to.
  const char *tls_cert = nullptr, *tls_key = nullptr, *tls_ca = nullptr;
};

// Fills opt; false (after a message) on a bad command line.
bool parse_options(int argc, char **argv, Options &opt);

void print_usage();

}  // namespace console

#endif
