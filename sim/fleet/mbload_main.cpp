// trm-mbload: Modbus TCP requests at a steady total rate spread over many
// servers (one connection each, one request in flight), with round-trip
// times. "report" on standard input prints the figures since the last
// report; the end of the run prints the whole run's.
#include <arpa/inet.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>

#include "mbload.h"

using namespace mbload;

namespace {

Run g_run;

bool add_targets(Run &r, const char *text) {
  char host[64];
  unsigned lo = 0, hi = 0;
  const int got = sscanf(text, "%63[^:]:%u-%u", host, &lo, &hi);
  if (got < 2) return false;
  if (got == 2) hi = lo;
  in_addr a;
  if (inet_pton(AF_INET, host, &a) != 1 || lo == 0 || hi > 65535 || hi < lo) return false;
  for (unsigned p = lo; p <= hi; p++) {
    if (r.n == kMaxTargets) return false;
    Target &t = r.t[r.n++];
    t.addr.sin_family = AF_INET;
    t.addr.sin_addr = a;
    t.addr.sin_port = htons(static_cast<uint16_t>(p));
    t.fd = -1;
  }
  return true;
}

bool add_targets_file(Run &r, const char *path) {
  FILE *fp = fopen(path, "r");
  if (fp == nullptr) return false;
  char line[128];
  bool ok = true;
  while (ok && fgets(line, sizeof line, fp) != nullptr) {
    line[strcspn(line, " \t\r\n#")] = '\0';
    if (line[0] != '\0') ok = add_targets(r, line);
  }
  fclose(fp);
  return ok;
}

const option kLong[] = {
    {"target", required_argument, nullptr, 't'}, {"targets-file", required_argument, nullptr, 'T'},
    {"rate", required_argument, nullptr, 'r'},   {"duration", required_argument, nullptr, 'd'},
    {"warmup", required_argument, nullptr, 'w'}, {"timeout", required_argument, nullptr, 'o'},
    {"unit", required_argument, nullptr, 'u'},   {"function", required_argument, nullptr, 'f'},
    {"address", required_argument, nullptr, 'a'}, {"count", required_argument, nullptr, 'c'},
    {"json", required_argument, nullptr, 'j'},   {"log", required_argument, nullptr, 'l'},
    {nullptr, 0, nullptr, 0},
};

bool parse(int argc, char **argv, Run &r) {
  int c;
  while ((c = getopt_long(argc, argv, "t:r:d:", kLong, nullptr)) != -1) {
    bool ok = true;
    switch (c) {
      case 't': ok = add_targets(r, optarg); break;
      case 'T': ok = add_targets_file(r, optarg); break;
      case 'r': r.rate = atof(optarg); ok = r.rate > 0 && r.rate <= 1e6; break;
      case 'd': r.seconds = atof(optarg); ok = r.seconds > 0 && r.seconds <= 86400; break;
      case 'w': r.warmup = atof(optarg); ok = r.warmup >= 0 && r.warmup <= 3600; break;
      case 'o': r.timeout_us = static_cast<uint64_t>(atof(optarg) * 1000); ok = r.timeout_us > 0; break;
      case 'u': r.req.unit = static_cast<uint8_t>(atoi(optarg)); break;
      case 'f': r.req.fc = static_cast<uint8_t>(atoi(optarg)); ok = r.req.fc == 3 || r.req.fc == 4 || r.req.fc == 6; break;
      case 'a': r.req.addr = static_cast<uint16_t>(atoi(optarg)); break;
      case 'c': r.req.count = static_cast<uint16_t>(atoi(optarg)); ok = r.req.count >= 1 && r.req.count <= 125; break;
      case 'j': r.json = optarg; break;
      case 'l': ok = (r.log = fopen(optarg, "w")) != nullptr; break;
      default: ok = false;
    }
    if (!ok) return false;
  }
  return r.n > 0 && optind == argc;
}

}  // namespace

int main(int argc, char **argv) {
  Run &r = g_run;
  if (!parse(argc, argv, r)) {
    fprintf(stderr, "usage: trm-mbload -t HOST:PORT[-PORT2]... | --targets-file FILE  [-r REQ/S] [-d S]\n"
                    "  [--warmup S] [--timeout MS] [--unit N] [--function 3|4|6] [--address A] [--count N]\n"
                    "  [--json FILE] [--log FILE]   (standard input: report, quit)\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  r.ep = epoll_create1(EPOLL_CLOEXEC);
  run(r);
  const uint64_t end = now_us();
  const double secs = end > r.measure_from ? static_cast<double>(end - r.measure_from) / 1e6 : 0;
  const long log_end = log_mark(r);
  if (r.log != nullptr) fclose(r.log);
  print_json(stdout, r, r.total, secs, log_end);
  if (r.json != nullptr) {
    FILE *fp = fopen(r.json, "w");
    if (fp != nullptr) {
      print_json(fp, r, r.total, secs, log_end);
      fclose(fp);
    }
  }
  return 0;
}
