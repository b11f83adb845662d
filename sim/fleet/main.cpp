// trm-fleet: many simulated TRM-310 gateways against one or more servers,
// for load and fault runs. One thread around epoll; every gateway a fixed
// record made at start.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>
#include <arpa/inet.h>

#include "fleet.h"
#include "inputs.h"

using namespace fleet;

namespace {

constexpr int kEvents = 512;
constexpr uint32_t kIdleMaxMs = 100;
constexpr uint32_t kSpareFds = 64;

// Room for one descriptor per gateway: the soft limit up to the hard one,
// and the hard one too where we may.
bool raise_fd_limit(uint32_t gateways) {
  const rlim_t want = gateways + kSpareFds;
  rlimit r;
  if (getrlimit(RLIMIT_NOFILE, &r) != 0) return false;
  if (r.rlim_cur >= want) return true;
  if (r.rlim_max < want) r.rlim_max = want;  // only with the privilege
  r.rlim_cur = want;
  if (setrlimit(RLIMIT_NOFILE, &r) == 0) return true;
  getrlimit(RLIMIT_NOFILE, &r);
  fprintf(stderr, "trm-fleet: %u gateways need %llu descriptors; the limit is %llu\n", gateways,
          static_cast<unsigned long long>(want), static_cast<unsigned long long>(r.rlim_max));
  return false;
}

int open_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

void print_start(const Fleet &f, const Inputs &io) {
  char first[32], servers[kMaxServers * 24] = "";
  ip_text(f.opt.first_id, first, sizeof first);
  for (int s = 0; s < f.opt.server_count; s++) {
    const sockaddr_in &a = f.opt.servers[s];
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
    snprintf(servers + strlen(servers), sizeof servers - strlen(servers), "%s%s:%u", s ? "," : "",
             host, ntohs(a.sin_port));
  }
  say(1, "fleet gateways=%u servers=%s first_id=%s seed=%llu%s control=%d", f.opt.gateways, servers,
      first, static_cast<unsigned long long>(f.opt.seed), f.tls != nullptr ? " tls=on" : "",
      io.listen_fd >= 0 ? io.port : -1);
}

struct Clock {
  uint32_t next_stats, next_churn, end;
};

uint32_t until(uint32_t now, uint32_t t, uint32_t cap) {
  const int32_t d = tick_diff(t, now);
  if (d <= 0) return 0;
  return static_cast<uint32_t>(d) < cap ? static_cast<uint32_t>(d) : cap;
}

// Periodic work of the loop: the stats line, churn, the end of the run.
void periodic(Fleet &f, Clock &c, uint32_t now) {
  if (f.opt.stats_ms > 0 && tick_diff(now, c.next_stats) >= 0) {
    char line[512];
    stats_line(f, now, line, sizeof line);
    say(1, "%s", line);
    c.next_stats += f.opt.stats_ms;
  }
  if (f.opt.churn_s > 0 && tick_diff(now, c.next_churn) >= 0) {
    fleet_churn(f, now);
    c.next_churn += f.opt.churn_s * 1000;
  }
  if (f.opt.duration_s > 0 && tick_diff(now, c.end) >= 0) f.quit = true;
}

uint32_t wait_ms(const Fleet &f, const Clock &c, uint32_t now) {
  uint32_t ms = wheel_idle_ms(f.wheel, now, kIdleMaxMs);
  if (f.opt.stats_ms > 0) ms = until(now, c.next_stats, ms);
  if (f.opt.churn_s > 0) ms = until(now, c.next_churn, ms);
  if (f.opt.duration_s > 0) ms = until(now, c.end, ms);
  return ms;
}

void run(Fleet &f, Inputs &io, int sfd) {
  const uint32_t t0 = f.start;
  Clock c = {t0 + f.opt.stats_ms, t0 + f.opt.churn_s * 1000, t0 + f.opt.duration_s * 1000};
  epoll_event ev[kEvents];
  while (!f.quit) {
    const int n = epoll_wait(f.ep, ev, kEvents, static_cast<int>(wait_ms(f, c, qy_ticks())));
    f.now = qy_ticks();
    for (int k = 0; k < n; k++) {
      const uint32_t tag = ev[k].data.u32;
      if (tag < f.opt.gateways) {
        link_event(f, tag, ev[k].events, f.now);
      } else if (tag == kTagSignal) {
        signalfd_siginfo si;
        if (read(sfd, &si, sizeof si) == sizeof si) say(1, "signal %u", si.ssi_signo);
        f.quit = true;
      } else {
        inputs_event(f, io, tag, f.now);
      }
    }
    wheel_expire(f.wheel, f.now, fleet_timer, &f);
    periodic(f, c, f.now);
  }
}

void finish(Fleet &f) {
  static char json[8192];
  const uint32_t now = qy_ticks();
  const size_t n = stats_json(f, now, json, sizeof json);
  fleet_shutdown(f);
  if (f.opt.json_path != nullptr) {
    FILE *fp = fopen(f.opt.json_path, "w");
    if (fp != nullptr) {
      fprintf(fp, "%.*s\n", static_cast<int>(n), json);
      fclose(fp);
    }
  }
  if (f.answer_log != nullptr) fclose(f.answer_log);
  say(1, "%.*s", static_cast<int>(n), json);
}

}  // namespace

int main(int argc, char **argv) {
  static Fleet f;
  if (!parse_options(argc, argv, f.opt)) {
    print_usage();
    return 2;
  }
  if (f.opt.help) {
    print_usage();
    return 0;
  }
  if (f.opt.answer_log != nullptr && (f.answer_log = fopen(f.opt.answer_log, "w")) == nullptr) {
    fprintf(stderr, "trm-fleet: cannot write %s\n", f.opt.answer_log);
    return 1;
  }
  if (!f.opt.seed_given) f.opt.seed = static_cast<uint64_t>(time(nullptr)) ^ static_cast<uint64_t>(getpid());
  if (!raise_fd_limit(f.opt.gateways)) return 1;
  if (!tls_open(f)) {
    fprintf(stderr, "trm-fleet: cannot set up the secure link\n");
    return 1;
  }
  f.start = f.now = qy_ticks();
  f.ep = epoll_create1(EPOLL_CLOEXEC);
  static Inputs io;
  const int sfd = open_signals();
  if (f.ep < 0 || sfd < 0 || !fleet_init(f) || !inputs_open(f, io)) {
    fprintf(stderr, "trm-fleet: cannot start (epoll, signals, memory or the control socket)\n");
    return 1;
  }
  epoll_event ev = {};
  ev.events = EPOLLIN;
  ev.data.u32 = kTagSignal;
  epoll_ctl(f.ep, EPOLL_CTL_ADD, sfd, &ev);
  print_start(f, io);
  run(f, io, sfd);
  finish(f);
  inputs_close(io);
  return 0;
}
