// trm-mbload: Modbus TCP requests at a steady total rate spread over many
// servers (one connection each, one request in flight), with round-trip
// times. "report" on standard input prints the figures since the last
// report; the end of the run prints the whole run's.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "mbload.h"

using namespace mbload;

namespace {

constexpr uint32_t kStdinTag = 0xFFFFFFFFu;
constexpr uint64_t kRetryUs = 100000;

struct Run {
  Target t[kMaxTargets];
  int n = 0;
  double rate = 1000;
  double seconds = 10, warmup = 1;
  uint64_t timeout_us = 2000000;
  Request req = {1, 3, 0, 10};
  const char *json = nullptr;
  int ep = -1;
  uint64_t start = 0, measure_from = 0;
  Counters total = {}, interval = {};
};

Run g_run;

uint64_t now_us() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

bool add_targets(Run &r, const char *spec) {
  char host[64];
  unsigned lo = 0, hi = 0;
  const int got = sscanf(spec, "%63[^:]:%u-%u", host, &lo, &hi);
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

void count(Run &r, uint64_t Counters::*field) {
  r.total.*field += 1;
  r.interval.*field += 1;
}

void close_target(Run &r, int i, uint64_t now) {
  Target &t = r.t[i];
  if (t.fd >= 0) close(t.fd);
  t.fd = -1;
  t.state = ConnState::kClosed;
  t.rx_len = 0;
  t.due_us = now + kRetryUs;
}

void open_target(Run &r, int i, uint64_t now) {
  Target &t = r.t[i];
  t.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(t.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  epoll_event ev = {};
  ev.events = EPOLLIN | EPOLLOUT;
  ev.data.u32 = static_cast<uint32_t>(i);
  epoll_ctl(r.ep, EPOLL_CTL_ADD, t.fd, &ev);
  const int rc = connect(t.fd, reinterpret_cast<sockaddr *>(&t.addr), sizeof t.addr);
  if (rc != 0 && errno != EINPROGRESS) {
    count(r, &Counters::connect_fail);
    return close_target(r, i, now);
  }
  t.state = ConnState::kConnecting;
}

void send_request(Run &r, int i, uint64_t now) {
  Target &t = r.t[i];
  uint8_t buf[16];
  const size_t n = build_request(r.req, ++t.tid, buf);
  if (write(t.fd, buf, n) != static_cast<ssize_t>(n)) return close_target(r, i, now);
  if (now > t.due_us + 1000) count(r, &Counters::late);
  t.sent_us = now;
  t.state = ConnState::kWaiting;
  const uint64_t period = static_cast<uint64_t>(1e6 * r.n / r.rate);
  t.due_us += period;
  if (t.due_us + 1000000 < now) t.due_us = now;  // a long stall: no catching up
  if (now >= r.measure_from) count(r, &Counters::sent);
}

void on_answer(Run &r, int i, Check c, uint64_t now) {
  Target &t = r.t[i];
  if (now >= r.measure_from && t.sent_us >= r.measure_from) {
    count(r, c == Check::kAnswer ? &Counters::answered : &Counters::exceptions);
    hist_add(r.total.rtt, now - t.sent_us);
    hist_add(r.interval.rtt, now - t.sent_us);
  }
  t.state = ConnState::kReady;
  if (now >= t.due_us) send_request(r, i, now);
}

void on_readable(Run &r, int i, uint64_t now) {
  Target &t = r.t[i];
  const ssize_t n = read(t.fd, t.rx + t.rx_len, sizeof t.rx - t.rx_len);
  if (n < 0 && errno == EAGAIN) return;
  if (n <= 0) return close_target(r, i, now);
  t.rx_len += static_cast<size_t>(n);
  size_t used = 0;
  const Check c = t.state == ConnState::kWaiting ? check_response(r.req, t.tid, t.rx, t.rx_len, &used)
                                                 : Check::kBad;
  if (c == Check::kNeedMore) return;
  if (c == Check::kBad) {
    count(r, &Counters::bad);
    return close_target(r, i, now);
  }
  t.rx_len -= used;
  memmove(t.rx, t.rx + used, t.rx_len);
  on_answer(r, i, c, now);
}

void on_event(Run &r, int i, uint32_t events, uint64_t now) {
  Target &t = r.t[i];
  if (t.state == ConnState::kConnecting && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(t.fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      count(r, &Counters::connect_fail);
      return close_target(r, i, now);
    }
    epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);
    epoll_ctl(r.ep, EPOLL_CTL_MOD, t.fd, &ev);
    t.state = ConnState::kReady;
    if (t.due_us < now) t.due_us = now;
    return;
  }
  if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0) on_readable(r, i, now);
}

// Sends what is due, times out what waited too long; the wait until the next.
uint64_t step(Run &r, uint64_t now) {
  uint64_t next = now + 100000;
  for (int i = 0; i < r.n; i++) {
    Target &t = r.t[i];
    if (t.state == ConnState::kClosed && now >= t.due_us) {
      if (t.fd < 0 && t.tid > 0) count(r, &Counters::reconnects);
      open_target(r, i, now);
    }
    if (t.state == ConnState::kReady && now >= t.due_us) send_request(r, i, now);
    if (t.state == ConnState::kWaiting && now - t.sent_us > r.timeout_us) {
      count(r, &Counters::timeouts);
      close_target(r, i, now);
    }
    const uint64_t at = t.state == ConnState::kWaiting ? t.sent_us + r.timeout_us : t.due_us;
    if (t.state != ConnState::kConnecting && at < next) next = at;
  }
  return next > now ? next - now : 0;
}

void print_json(FILE *fp, const Run &r, const Counters &c, double seconds) {
  const Histogram &h = c.rtt;
  fprintf(fp,
          "{\"targets\":%d,\"rate\":%.0f,\"seconds\":%.1f,\"sent\":%llu,\"answered\":%llu,"
          "\"exceptions\":%llu,\"timeouts\":%llu,\"bad\":%llu,\"late\":%llu,\"reconnects\":%llu,"
          "\"connect_fail\":%llu,\"rtt_us\":{\"count\":%llu,\"mean\":%.1f,\"p50\":%.0f,\"p90\":%.0f,"
          "\"p99\":%.0f,\"p999\":%.0f,\"max\":%llu}}\n",
          r.n, r.rate, seconds, (unsigned long long)c.sent, (unsigned long long)c.answered,
          (unsigned long long)c.exceptions, (unsigned long long)c.timeouts, (unsigned long long)c.bad,
          (unsigned long long)c.late, (unsigned long long)c.reconnects, (unsigned long long)c.connect_fail,
          (unsigned long long)h.count, h.count ? h.sum_us / static_cast<double>(h.count) : 0.0,
          hist_quantile(h, 0.5), hist_quantile(h, 0.9), hist_quantile(h, 0.99), hist_quantile(h, 0.999),
          (unsigned long long)h.max_us);
  fflush(fp);
}

// "report": the figures since the last one; "quit" ends the run.
bool on_stdin(Run &r, uint64_t now, uint64_t *last_report) {
  char buf[256];
  const ssize_t n = read(0, buf, sizeof buf - 1);
  if (n <= 0) {
    epoll_ctl(r.ep, EPOLL_CTL_DEL, 0, nullptr);
    return true;
  }
  buf[n] = '\0';
  if (strstr(buf, "report") != nullptr) {
    print_json(stdout, r, r.interval, static_cast<double>(now - *last_report) / 1e6);
    memset(&r.interval, 0, sizeof r.interval);
    *last_report = now;
  }
  return strstr(buf, "quit") == nullptr;
}

const option kLong[] = {
    {"target", required_argument, nullptr, 't'}, {"targets-file", required_argument, nullptr, 'T'},
    {"rate", required_argument, nullptr, 'r'},   {"duration", required_argument, nullptr, 'd'},
    {"warmup", required_argument, nullptr, 'w'}, {"timeout", required_argument, nullptr, 'o'},
    {"unit", required_argument, nullptr, 'u'},   {"function", required_argument, nullptr, 'f'},
    {"address", required_argument, nullptr, 'a'}, {"count", required_argument, nullptr, 'c'},
    {"json", required_argument, nullptr, 'j'},   {nullptr, 0, nullptr, 0},
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
      default: ok = false;
    }
    if (!ok) return false;
  }
  return r.n > 0 && optind == argc;
}

void run(Run &r) {
  epoll_event ev = {};
  ev.events = EPOLLIN;
  ev.data.u32 = kStdinTag;
  epoll_ctl(r.ep, EPOLL_CTL_ADD, 0, &ev);
  r.start = now_us();
  r.measure_from = r.start + static_cast<uint64_t>(r.warmup * 1e6);
  const uint64_t end = r.measure_from + static_cast<uint64_t>(r.seconds * 1e6);
  const double gap = 1e6 / r.rate;  // targets take turns, evenly spread
  for (int i = 0; i < r.n; i++) r.t[i].due_us = r.start + static_cast<uint64_t>(i * gap);
  uint64_t last_report = r.measure_from;
  epoll_event evs[256];
  for (uint64_t now = r.start; now < end; now = now_us()) {
    const uint64_t wait = step(r, now);
    const int n = epoll_wait(r.ep, evs, 256, static_cast<int>((wait + 999) / 1000));
    now = now_us();
    for (int k = 0; k < n; k++) {
      if (evs[k].data.u32 != kStdinTag) {
        on_event(r, static_cast<int>(evs[k].data.u32), evs[k].events, now);
      } else if (!on_stdin(r, now, &last_report)) {
        return;
      }
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  Run &r = g_run;
  if (!parse(argc, argv, r)) {
    fprintf(stderr, "usage: trm-mbload -t HOST:PORT[-PORT2]... | --targets-file FILE  [-r REQ/S] [-d S]\n"
                    "  [--warmup S] [--timeout MS] [--unit N] [--function 3|4|6] [--address A] [--count N]\n"
                    "  [--json FILE]   (standard input: report, quit)\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  r.ep = epoll_create1(EPOLL_CLOEXEC);
  run(r);
  const uint64_t end = now_us();
  const double secs = end > r.measure_from ? static_cast<double>(end - r.measure_from) / 1e6 : 0;
  print_json(stdout, r, r.total, secs);
  if (r.json != nullptr) {
    FILE *fp = fopen(r.json, "w");
    if (fp != nullptr) {
      print_json(fp, r, r.total, secs);
      fclose(fp);
    }
  }
  return 0;
}
