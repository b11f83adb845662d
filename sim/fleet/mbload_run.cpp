// The load generator's loop: connections, paced requests, answers, time-outs.
#include <errno.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "mbload.h"

namespace mbload {
namespace {

constexpr uint32_t kStdinTag = 0xFFFFFFFFu;
constexpr uint64_t kRetryUs = 100000;

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
    if (r.log != nullptr) {
      fprintf(r.log, "%d %u %llu\n", i, t.tid, static_cast<unsigned long long>(now - t.sent_us));
    }
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
    print_json(stdout, r, r.interval, static_cast<double>(now - *last_report) / 1e6, log_mark(r));
    memset(&r.interval, 0, sizeof r.interval);
    *last_report = now;
  }
  return strstr(buf, "quit") == nullptr;
}

}  // namespace

// Where the round-trip log stands, all of it written out.
long log_mark(const Run &r) {
  if (r.log == nullptr) return 0;
  fflush(r.log);
  return ftell(r.log);
}

uint64_t now_us() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
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

}  // namespace mbload
