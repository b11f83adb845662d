// A Modbus TCP load generator: one connection per target server, one
// request in flight on each, requests paced so the whole runs at a given
// rate; every answer checked and its round trip recorded.
#ifndef FLEET_MBLOAD_H
#define FLEET_MBLOAD_H

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

namespace mbload {

constexpr int kMaxTargets = 4096;
constexpr int kBins = 20000;  // 5 us each, up to 100 ms; then one overflow bin
constexpr uint32_t kBinUs = 5;

struct Histogram {
  uint32_t bins[kBins + 1];
  uint64_t count;
  double sum_us;
  uint64_t max_us;
};

void hist_add(Histogram &h, uint64_t us);
// The q-quantile (upper edge of its bin), us.
double hist_quantile(const Histogram &h, double q);

struct Counters {
  uint64_t sent, answered, exceptions, timeouts, bad, late, reconnects, connect_fail;
  Histogram rtt;
};

enum class ConnState : uint8_t { kClosed, kConnecting, kReady, kWaiting };

struct Target {
  sockaddr_in addr;
  int fd;
  ConnState state;
  uint16_t tid;
  uint64_t due_us;   // next request
  uint64_t sent_us;  // request in flight since
  uint8_t rx[512];
  size_t rx_len;
};

struct Request {
  uint8_t unit, fc;
  uint16_t addr, count;
};

// The request ADU with transaction id tid; its length.
size_t build_request(const Request &r, uint16_t tid, uint8_t *out);

enum class Check { kNeedMore, kAnswer, kException, kBad };
// Judges the bytes received for request tid: a whole answer (*used bytes),
// an exception, bytes that belong to no answer, or not all there yet.
Check check_response(const Request &r, uint16_t tid, const uint8_t *p, size_t n, size_t *used);

struct Run {
  Target t[kMaxTargets];
  int n = 0;
  double rate = 1000;
  double seconds = 10, warmup = 1;
  uint64_t timeout_us = 2000000;
  Request req = {1, 3, 0, 10};
  const char *json = nullptr;
  FILE *log = nullptr;  // --log: target, transaction id, round trip (us) per answer
  int ep = -1;
  uint64_t start = 0, measure_from = 0;
  Counters total = {}, interval = {};
};

uint64_t now_us();
// The whole run: connects, requests at the rate until the duration ends or
// "quit" comes on standard input.
void run(Run &r);
// The figures as one JSON line (log_end: where the round-trip log stands).
void print_json(FILE *fp, const Run &r, const Counters &c, double seconds, long log_end);
// Where the round-trip log stands, all of it written out.
long log_mark(const Run &r);

}  // namespace mbload

#endif
