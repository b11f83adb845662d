// Commands of the fleet, one a line from standard input or the control
// socket: figures, one gateway's state, and faults on demand. Every fault
// ends by itself (bounded in time and rate).
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "fleet.h"

namespace fleet {
namespace {

constexpr int kArgsMax = 4;
constexpr uint32_t kFaultSecondsMax = 3600;

struct Args {
  char *v[kArgsMax + 1];
  int n;
};

Args split(char *line) {
  Args a = {};
  char *save = nullptr;
  for (char *tok = strtok_r(line, " \t\r\n", &save); tok != nullptr && a.n <= kArgsMax;
       tok = strtok_r(nullptr, " \t\r\n", &save)) {
    a.v[a.n++] = tok;
  }
  return a;
}

bool number(const char *text, uint32_t min, uint32_t max, uint32_t *out) {
  char *end = nullptr;
  errno = 0;
  const unsigned long v = strtoul(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || v < min || v > max) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

// Optional argument k of a: its value, or def when absent; false when bad.
bool opt_number(const Args &a, int k, uint32_t min, uint32_t max, uint32_t def, uint32_t *out) {
  *out = def;
  return a.n <= k || number(a.v[k], min, max, out);
}

// A gateway by number (0..N-1) or by its ID text.
bool find_gateway(const Fleet &f, const char *text, uint32_t *k) {
  if (strchr(text, '.') == nullptr) return number(text, 0, f.opt.gateways - 1, k);
  for (uint32_t i = 0; i < f.opt.gateways; i++) {
    if (strcmp(f.gw[i].who.id, text) == 0) {
      *k = i;
      return true;
    }
  }
  return false;
}

const char *state_name(GwState s) {
  switch (s) {
    case GwState::kDown: return "down";
    case GwState::kWaiting: return "waiting";
    case GwState::kConnecting: return "connecting";
    case GwState::kHandshake: return "handshake";
    case GwState::kStarting: return "starting";
    case GwState::kUp: return "up";
  }
  return "?";
}

void show(Fleet &f, uint32_t k, int fd) {
  const Gateway &g = f.gw[k];
  say(fd, "gw %u id=%s alias=%s state=%s server=%u connects=%u bursts=%u seq1=%u seq2=%u modbus=%u "
      "malformed=%u commands=%u stalled=%d fault=%d queued=%u ack=%d retained=%u", k, g.who.id, g.who.alias, state_name(g.state),
      g.server, g.connects, g.bursts, g.seq[1], g.seq[2], g.modbus, g.malformed, g.command_sections, g.stalled ? 1 : 0,
      static_cast<int>(g.fault), static_cast<unsigned>(g.tx_len - g.tx_off), g.ack_link ? 1 : 0, g.ring.used);
}

// garbage/flood K [RATE] [SECONDS]
bool start_fault(Fleet &f, const Args &a, uint32_t k, Fault kind, uint32_t now) {
  Gateway &g = f.gw[k];
  uint32_t rate = 0, secs = 0;
  const uint32_t def = kind == Fault::kGarbage ? 100000 : 500;
  const uint32_t max = kind == Fault::kGarbage ? 10000000 : 100000;
  if (!opt_number(a, 2, 1, max, def, &rate) || !opt_number(a, 3, 1, kFaultSecondsMax, 10, &secs)) {
    return false;
  }
  if (g.state != GwState::kUp) return false;
  g.fault = kind;
  g.fault_rate = rate;
  g.fault_until = now + secs * 1000;
  g.fault_next = now;
  link_reschedule(f, k, now);
  return true;
}

bool stall(Fleet &f, const Args &a, uint32_t k, uint32_t now) {
  uint32_t secs = 0;
  if (!opt_number(a, 2, 1, kFaultSecondsMax, 30, &secs) || f.gw[k].state != GwState::kUp) return false;
  f.gw[k].stalled = true;
  f.gw[k].stall_until = now + secs * 1000;
  link_update_events(f, k);
  link_reschedule(f, k, now);
  return true;
}

bool stop(Fleet &f, uint32_t k, uint32_t now) {
  Gateway &g = f.gw[k];
  g.fault = Fault::kNone;
  g.stalled = false;
  link_update_events(f, k);
  if (g.state == GwState::kUp) link_reschedule(f, k, now);
  return true;
}

bool one_burst(Fleet &f, const Args &a, uint32_t k, uint32_t now) {
  uint32_t port = 0, size = 0;
  if (a.n < 3 || !number(a.v[2], 1, 2, &port)) return false;
  if (!opt_number(a, 3, kBurstMin, data_capacity(f.gw[k].who), 64, &size)) return false;
  // With the acknowledged link a gateway not up keeps its line's bytes, as the daemon does.
  const bool can = f.gw[k].state == GwState::kUp || ack_on(f, f.gw[k]);
  return can && traffic_burst(f, k, static_cast<uint16_t>(port), size, now);
}

// How many gateways answered how many command sections (0, 1, 2, 3 or
// more), over gateways FIRST..FIRST+COUNT-1 (all by default): a job sent
// once to each shows as all of them at 1.
void command_counts(const Fleet &f, const Args &a, int fd) {
  uint32_t first = 0, n = 0;
  if (!opt_number(a, 1, 0, f.opt.gateways - 1, 0, &first) || !opt_number(a, 2, 1, f.opt.gateways, f.opt.gateways, &n)) {
    return say(fd, "error: command-counts [FIRST [COUNT]]");
  }
  uint32_t by[4] = {0, 0, 0, 0};
  for (uint32_t k = first; k < first + n && k < f.opt.gateways; k++) by[f.gw[k].command_sections < 3 ? f.gw[k].command_sections : 3]++;
  say(fd, "command-counts 0=%u 1=%u 2=%u 3+=%u", by[0], by[1], by[2], by[3]);
}

bool gateway_command(Fleet &f, const Args &a, uint32_t k, uint32_t now) {
  const char *c = a.v[0];
  Gateway &g = f.gw[k];
  if (strcmp(c, "garbage") == 0) return start_fault(f, a, k, Fault::kGarbage, now);
  if (strcmp(c, "flood") == 0) return start_fault(f, a, k, Fault::kFlood, now);
  if (strcmp(c, "stall") == 0) return stall(f, a, k, now);
  if (strcmp(c, "stop") == 0) return stop(f, k, now);
  if (strcmp(c, "burst") == 0) return one_burst(f, a, k, now);
  if (strcmp(c, "drop") == 0 && g.state != GwState::kDown) {
    f.st.drops++;
    link_close(f, k, now, f.opt.reconnect_ms);
    return true;
  }
  if (strcmp(c, "down") == 0) {
    link_close(f, k, now, kStayDown);
    return true;
  }
  if (strcmp(c, "up") == 0 && g.state == GwState::kDown) {
    link_close(f, k, now, 0);
    return true;
  }
  return false;
}

void help(int fd) {
  say(fd, "commands: stats | json | reset-times | connect-rate R | show K | garbage K [BYTES/S] [S] | flood K [PACKETS/S] [S] |"
          " stall K [S] | stop K | burst K PORT [SIZE] | drop K | down K | up K | command-counts [FIRST [COUNT]] | quit"
          "   (K: gateway number 0..N-1 or its ID)");
}

}  // namespace

void say(int fd, const char *fmt, ...) {
  char line[2048];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, sizeof line - 1, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (n > static_cast<int>(sizeof line) - 2) n = sizeof line - 2;
  line[n++] = '\n';
  for (int off = 0; off < n;) {
    const ssize_t w = write(fd, line + off, static_cast<size_t>(n - off));
    if (w <= 0 && errno != EINTR) return;
    if (w > 0) off += static_cast<int>(w);
  }
}

void control_command(Fleet &f, const char *text, int fd, uint32_t now) {
  char line[512];
  snprintf(line, sizeof line, "%s", text);
  const char *hash = strchr(line, '#');
  if (hash != nullptr) line[hash - line] = '\0';
  const Args a = split(line);
  if (a.n == 0) return;
  const char *c = a.v[0];
  if (strcmp(c, "help") == 0) return help(fd);
  if (strcmp(c, "quit") == 0 || strcmp(c, "exit") == 0) {
    f.quit = true;
    return;
  }
  if (strcmp(c, "stats") == 0) {
    char out[512];
    stats_line(f, now, out, sizeof out);
    return say(fd, "%s", out);
  }
  if (strcmp(c, "reset-times") == 0) {
    stats_reset_times(f.st);
    return say(fd, "ok reset-times");
  }
  if (strcmp(c, "connect-rate") == 0) {
    uint32_t rate = 0;
    if (a.n < 2 || !number(a.v[1], 1, 1000000, &rate)) return say(fd, "error: connect-rate R (1..1000000)");
    f.opt.connect_rate = rate;
    return say(fd, "ok connect-rate %u", rate);
  }
  if (strcmp(c, "json") == 0) {
    char out[4096];
    stats_json(f, now, out, sizeof out);
    return say(fd, "%s", out);
  }
  if (strcmp(c, "command-counts") == 0) return command_counts(f, a, fd);
  uint32_t k = 0;
  if (a.n < 2 || !find_gateway(f, a.v[1], &k)) return say(fd, "error: %s: which gateway?", c);
  if (strcmp(c, "show") == 0) return show(f, k, fd);
  if (gateway_command(f, a, k, now)) return say(fd, "ok %s gw %u id=%s", c, k, f.gw[k].who.id);
  say(fd, "error: %s gw %u: bad arguments, unknown command, or not possible in state %s", c, k,
      state_name(f.gw[k].state));
}

}  // namespace fleet
