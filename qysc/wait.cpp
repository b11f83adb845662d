// The daemon's waits on descriptors: the connect's and the name lookup's
// (net_wait) and a write's for room (write_wait), both in slices with the
// watchdog serviced, and the pass's wait while the link is up: one epoll
// set holding the server link and both serial lines. The pass's wait ends
// as soon as the server sends, either line receives bytes, or the time
// given runs out (at most 5 ms, less when a burst comes due sooner).
//
// The lines are edge-triggered: every arrival of bytes is one event, also
// while earlier bytes still wait in the line's queue for their idle gap.
// A level-triggered wait would return at once for as long as a burst is
// pending and make the loop spin; this way a pending burst costs nothing
// until its gap is up, and a line's queue length is asked for only when
// bytes arrived or the daemon took some.
#include <errno.h>
#include <poll.h>
#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include "daemon.h"
#include "linehold.h"
#include "net.h"
#include "qycomm.h"
#include "settings.h"
#include "tlslink.h"

namespace {

constexpr int kEvents = 3;  // the link and two lines
constexpr uint64_t kLinkTag = 0;

struct Watch {
  int epfd = -1;
  int link = -1;                       // the descriptor registered as the link
  int line[3] = {-1, -1, -1};          // per slot
  bool fresh[3] = {true, true, true};  // bytes arrived since the last count
};

Watch g;

int epoll_set() {
  if (g.epfd < 0) g.epfd = epoll_create1(EPOLL_CLOEXEC);
  return g.epfd;
}

void add(int fd, uint32_t events, uint64_t tag) {
  struct epoll_event ev = {};
  ev.events = events;
  ev.data.u64 = tag;
  if (epoll_set() >= 0) epoll_ctl(g.epfd, EPOLL_CTL_ADD, fd, &ev);
}

void remove(int fd) {
  struct epoll_event ev = {};
  if (fd >= 0 && g.epfd >= 0) epoll_ctl(g.epfd, EPOLL_CTL_DEL, fd, &ev);
}

}  // namespace

void watch_link(int fd) {
  remove(g.link);
  g.link = fd;
  if (fd >= 0) add(fd, EPOLLIN, kLinkTag);
}

void watch_line(int slot) {
  if (slot < 1 || slot > 2) return;
  remove(g.line[slot]);  // a descriptor the reopen closed is gone from the set already
  g.line[slot] = ComPortData[baseInfo.comInfo[slot].port].hFile;
  if (g.line[slot] >= 0) add(g.line[slot], EPOLLIN | EPOLLET, static_cast<uint64_t>(slot));
  g.fresh[slot] = true;
}

bool line_fresh(int slot) {
  const bool f = g.fresh[slot];
  g.fresh[slot] = false;
  return f;
}

void line_touched(int slot) { g.fresh[slot] = true; }

// Waits until the set has events or us microseconds have passed: a ppoll
// on the epoll set, whose wait is exact to the microsecond (epoll_wait's
// whole milliseconds would let a burst leave up to a millisecond late).
// An idle pass is this one call; events are then fetched without waiting.
int wait_events(struct epoll_event *ev, uint32_t us) {
  if (us > 0) {
    struct pollfd p = {g.epfd, POLLIN, 0};
    struct timespec ts = {static_cast<time_t>(us / 1000000),
                          static_cast<long>(us % 1000000) * 1000};
    if (ppoll(&p, 1, &ts, nullptr) <= 0) return 0;
  }
  return epoll_wait(g.epfd, ev, kEvents, 0);
}

bool pass_wait(uint32_t us) {
  const bool held = tls_pending(g.link);  // bytes the secure link holds already: no wait
  if (held) us = 0;
  if (epoll_set() < 0) {  // no epoll: wait the time out and try the link
    daemon_pause((us + 999) / 1000);
    return true;
  }
  struct epoll_event ev[kEvents];
  const int n = wait_events(ev, us);
  bool link = false;
  for (int i = 0; i < n; i++) {
    if (ev[i].data.u64 == kLinkTag) {
      link = true;
    } else {
      g.fresh[ev[i].data.u64] = true;
    }
  }
  return link || held;
}

namespace {

constexpr uint32_t kServiceEveryMs = 250;

void (*g_spill)(int slot) = nullptr;  // the lines are kept through every wait

// The wait's descriptors: fd (if any) for events, and each line that has
// room left in its holding queue and has not come up empty in this wait.
int holding_set(struct pollfd *p, int *slot_of, int fd, short events, const bool *skip) {
  int n = 0;
  p[n++] = {fd, events, 0};
  for (int slot = 1; slot <= 2; slot++) {
    if (g.line[slot] < 0 || skip[slot] || hold_room(slot) == 0) continue;
    slot_of[n] = slot;
    p[n++] = {g.line[slot], POLLIN, 0};
  }
  return n;
}

// Reads the lines that have bytes into their holding queues; a line that
// reported readiness but gave nothing (hung up, an error) is left out of
// the rest of the wait, so it cannot make the wait spin. A queue half full
// goes on to the keeper, when there is one.
void hold_ready_lines(const struct pollfd *p, const int *slot_of, int n, bool *skip) {
  for (int i = 1; i < n; i++) {
    if (p[i].revents == 0) continue;
    if (hold_fill(slot_of[i]) <= 0) skip[slot_of[i]] = true;
    g.fresh[slot_of[i]] = true;
    if (g_spill != nullptr && hold_room(slot_of[i]) < LINE_HOLD_SIZE / 2) g_spill(slot_of[i]);
  }
}

// Waits up to total_ms for events on fd (-1: none), reading the lines
// meanwhile when lines is true, the watchdog serviced: 1 ready (or failed),
// 0 time out, -1 error.
int wait_holding(int fd, short events, int total_ms, bool lines) {
  const uint32_t start = GetTimeTicks();
  uint32_t served = start;
  bool skip[3] = {!lines, !lines, !lines};
  for (;;) {
    const uint32_t now = GetTimeTicks();
    if (now - served >= kServiceEveryMs) {
      ServiceWatchdog();
      served = now;
    }
    const int left = total_ms - static_cast<int>(now - start);
    if (left <= 0) return 0;
    struct pollfd p[3];
    int slot_of[3] = {0, 0, 0};
    const int n = holding_set(p, slot_of, fd, events, skip);
    const int rc = poll(p, static_cast<nfds_t>(n), left < NET_SLICE_MS ? left : NET_SLICE_MS);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return -1;
    hold_ready_lines(p, slot_of, n, skip);
    if (fd >= 0 && p[0].revents != 0) return 1;
  }
}

}  // namespace

int write_wait(int fd, int total_ms) { return wait_holding(fd, POLLOUT, total_ms, true); }

void wait_keep_lines(void (*spill)(int slot)) { g_spill = spill; }

void hold_pause(uint32_t ms) {
  if (g_spill == nullptr) return daemon_pause(ms);
  wait_holding(-1, 0, static_cast<int>(ms), true);
}

// Declared with the link's socket (net.h), whose connect uses it, as does
// the name lookup (resolve.cpp): here, so neither waits through the other.
extern "C" int net_wait(int fd, short events, int total_ms) {
  return wait_holding(fd, events, total_ms, g_spill != nullptr);
}
