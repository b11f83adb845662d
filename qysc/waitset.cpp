// The loop's waits on its descriptors: one epoll set kept registered
// across waits where the kernel has epoll_pwait2, one ppoll elsewhere.
#include "waitset.h"

#include <errno.h>
#include <poll.h>
#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include "daemon.h"

namespace {

struct Registered {
  int fd = -1;
  uint32_t events = 0;
};

struct Epoll {
  int fd = -1;
  bool none = false;  // no epoll_pwait2 (or no epoll): ppoll
  Registered reg[WAITSET_MAX];
};

Epoll g;

int want_events(const WaitSet &w, int fd) {
  for (int i = 0; i < w.n; i++) {
    if (w.fd[i] == fd) return w.events[i];
  }
  return -1;
}

void unregister(Registered &r) {
  struct epoll_event ev = {};
  epoll_ctl(g.fd, EPOLL_CTL_DEL, r.fd, &ev);  // fails harmlessly for a descriptor closed since
  r = Registered{};
}

Registered *registered(int fd) {
  for (Registered &r : g.reg) {
    if (r.fd == fd) return &r;
  }
  return nullptr;
}

// One descriptor into the set, or its events changed.
void enter(int fd, uint32_t events) {
  Registered *r = registered(fd);
  const int op = r != nullptr ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  if (r == nullptr) r = registered(-1);  // a free entry: at most WAITSET_MAX are wanted
  struct epoll_event ev = {};
  ev.events = events;
  ev.data.fd = fd;
  if (epoll_ctl(g.fd, op, fd, &ev) != 0 && errno == EEXIST) epoll_ctl(g.fd, EPOLL_CTL_MOD, fd, &ev);
  *r = Registered{fd, events};
}

// The epoll set made to hold exactly w's descriptors: system calls only
// where the set changed since the last wait.
void sync_set(const WaitSet &w) {
  for (Registered &r : g.reg) {
    if (r.fd >= 0 && want_events(w, r.fd) < 0) unregister(r);
  }
  for (int i = 0; i < w.n; i++) {
    const uint32_t events = static_cast<uint32_t>(w.events[i]);
    const Registered *r = registered(w.fd[i]);
    if (r == nullptr || r->events != events) enter(w.fd[i], events);
  }
}

void give_up_epoll() {
  if (g.fd >= 0) close(g.fd);
  g = Epoll{};
  g.none = true;
}

int epoll_waits(WaitSet *w, const struct timespec *ts) {
  if (g.fd < 0) g.fd = epoll_create1(EPOLL_CLOEXEC);
  if (g.fd < 0) {
    give_up_epoll();
    return -2;
  }
  sync_set(*w);
  struct epoll_event ev[WAITSET_MAX];
  const int n = epoll_pwait2(g.fd, ev, WAITSET_MAX, ts, nullptr);
  if (n < 0 && errno == ENOSYS) {
    give_up_epoll();
    return -2;
  }
  for (int i = 0; i < n; i++) {
    for (int k = 0; k < w->n; k++) {
      if (w->fd[k] == ev[i].data.fd) w->revents[k] = static_cast<short>(ev[i].events);
    }
  }
  return n;
}

int poll_waits(WaitSet *w, const struct timespec *ts) {
  struct pollfd p[WAITSET_MAX];
  for (int i = 0; i < w->n; i++) p[i] = {w->fd[i], w->events[i], 0};
  const int n = ppoll(w->n > 0 ? p : nullptr, static_cast<nfds_t>(w->n), ts, nullptr);
  for (int i = 0; n > 0 && i < w->n; i++) w->revents[i] = p[i].revents;
  return n;
}

// A test's fake pause: the set looked at once, the time handed to it.
int fake_waits(WaitSet *w, uint32_t us) {
  const struct timespec none = {0, 0};
  const int n = poll_waits(w, &none);
  if (n == 0) daemon_pause((us + 999) / 1000);
  return n;
}

}  // namespace

int waitset_wait(WaitSet *w, uint32_t us) {
  for (int i = 0; i < w->n; i++) w->revents[i] = 0;
  if (daemon_pause_faked()) return fake_waits(w, us);
  const struct timespec ts = {static_cast<time_t>(us / 1000000),
                              static_cast<long>(us % 1000000) * 1000};
  if (!g.none) {
    const int n = epoll_waits(w, &ts);
    if (n != -2) return n;
  }
  return poll_waits(w, &ts);
}

void waitset_forget(int fd) {
  for (Registered &r : g.reg) {
    if (r.fd == fd && fd >= 0) unregister(r);
  }
}
