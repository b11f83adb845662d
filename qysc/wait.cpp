// The daemon's waits on descriptors: the pass's own (loop_wait), and the
// connect's, the name lookup's (net_wait) and a write's for room
// (write_wait), which wait in slices with the watchdog serviced.
//
// Every wait that watches the serial lines reads what they deliver into
// their holding queues (linehold.h) as it comes, so a line's descriptor is
// readable only while bytes arrive that are not yet read, and a level-
// triggered poll never spins on a burst waiting for its idle gap. The
// burst rule counts the held bytes; a burst is taken from them, without a
// system call. A line left out of a wait: one whose queue is full (its
// bytes wait in the port), and for a second one that reported bytes but
// gave none (hung up, or an error), so it cannot make the waits spin.
#include <errno.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include "daemon.h"
#include "linehold.h"
#include "net.h"
#include "qycomm.h"
#include "settings.h"
#include "tlslink.h"
#include "waitset.h"

namespace {

constexpr uint32_t kMuteMs = 1000;         // a line that gave nothing sits out this long
constexpr uint32_t kServiceEveryMs = 250;  // the sliced waits service the watchdog this often

struct Watch {
  int link = -1;               // the descriptor registered as the link
  int line[3] = {-1, -1, -1};  // per slot
  bool muted[3] = {false, false, false};
  uint32_t mutedAt[3] = {0, 0, 0};
};

Watch g;
void (*g_spill)(int slot) = nullptr;  // the lines are kept through every wait

bool line_waits(int slot) {
  if (g.line[slot] < 0 || hold_room(slot) == 0) return false;
  if (g.muted[slot] && pass_ticks(nullptr) - g.mutedAt[slot] < kMuteMs) return false;
  g.muted[slot] = false;
  return true;
}

// The wait's descriptors: fd (if any) first, tagged 0, then the lines
// that wait, tagged with their slots.
void wait_set(WaitSet *w, int fd, short events, bool lines) {
  w->n = 0;
  if (fd >= 0) *w = WaitSet{1, {fd}, {events}, {0}, {0}};
  for (int slot = 1; lines && slot <= 2; slot++) {
    if (!line_waits(slot)) continue;
    w->fd[w->n] = g.line[slot];
    w->events[w->n] = POLLIN;
    w->tag[w->n++] = slot;
  }
}

// Reads the lines that have bytes into their holding queues; a queue half
// full goes on to the keeper, when there is one.
void read_lines(const WaitSet &w) {
  for (int i = 0; i < w.n && i < WAITSET_MAX; i++) {
    if (w.revents[i] == 0 || w.tag[i] == 0) continue;
    const int slot = w.tag[i];
    if (hold_fill(slot) <= 0) {
      g.muted[slot] = true;
      g.mutedAt[slot] = pass_ticks(nullptr);
    }
    if (g_spill != nullptr && hold_room(slot) < LINE_HOLD_SIZE / 2) g_spill(slot);
  }
}

}  // namespace

void watch_link(int fd) { g.link = fd; }

void watch_line(int slot) {
  if (slot < 1 || slot > 2) return;
  waitset_forget(g.line[slot]);  // closed by the reopen; its number may come back
  g.line[slot] = ComPortData[baseInfo.comInfo[slot].port].hFile;
  waitset_forget(g.line[slot]);
  g.muted[slot] = false;
}

int loop_wait(int fd, short events, uint32_t us, bool lines) {
  if (tls_pending(fd)) us = 0;  // the secure link holds decrypted bytes already
  WaitSet w;
  wait_set(&w, fd, events, lines);
  PrintRelease();
  const int rc = waitset_wait(&w, us);
  pass_clock_stale();
  if (rc <= 0) return tls_pending(fd) ? 1 : 0;
  read_lines(w);
  return (fd >= 0 && w.revents[0] != 0) || tls_pending(fd) ? 1 : 0;
}

bool pass_wait(uint32_t us) { return loop_wait(g.link, POLLIN, us, true) != 0; }

bool lines_kept(void) { return g_spill != nullptr; }

namespace {

// Waits up to total_ms for events on fd (-1: none), reading the lines
// meanwhile when lines is true, the watchdog serviced: 1 ready (or failed),
// 0 time out, -1 error.
int wait_holding(int fd, short events, int total_ms, bool lines) {
  PrintRelease();  // no line held waits out a wait
  pass_clock_stale();
  const uint32_t start = pass_ticks(nullptr);
  uint32_t served = start;
  for (;;) {
    const uint32_t now = pass_ticks(nullptr);
    if (now - served >= kServiceEveryMs) {
      ServiceWatchdog();
      served = now;
    }
    const int left = total_ms - static_cast<int>(now - start);
    if (left <= 0) return 0;
    WaitSet w;
    wait_set(&w, fd, events, lines);
    struct pollfd p[WAITSET_MAX];
    for (int i = 0; i < w.n; i++) p[i] = {w.fd[i], w.events[i], 0};
    const int rc = poll(p, static_cast<nfds_t>(w.n), left < NET_SLICE_MS ? left : NET_SLICE_MS);
    pass_clock_stale();
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return -1;
    for (int i = 0; i < w.n; i++) w.revents[i] = p[i].revents;
    read_lines(w);
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
