// trm-console: plays the remote server of TRM-310 gateways. Gateways
// connect to it; it prints what they send, sends what the commands on
// standard input ask for, and can expose a bridged serial port as a Modbus
// TCP server. The gateway port speaks TLS with --tls-cert and --tls-key.
// One thread around poll.
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include "commands.h"
#include "gateways.h"
#include "input.h"
#include "modbus.h"
#include "net.h"
#include "options.h"
#include "out.h"
#include "qylink.h"
#include "tls.h"

using namespace console;

namespace {

constexpr int kPollMs = 20;
constexpr uint32_t kDrainMs = 2000;  // at the end: time left for queued packets
constexpr int kMaxFds = 2 + kMaxGateways + kMaxExposures * (kMaxClients + 1);

volatile sig_atomic_t g_signal = 0;

void on_signal(int sig) { g_signal = sig; }

void set_signals() {
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Over TLS the line also gives the console's pin (a gateway's tls.ini
// pin=) and whether gateways' certificates must chain to a CA.
void listening(const Options &opt, int port) {
  if (!tls_enabled()) return out_line("listening addr=%s port=%d", opt.addr, port);
  char pin[72];
  tls_own_pin(pin, sizeof pin);
  out_line("listening addr=%s port=%d tls=%s pin=%s", opt.addr, port, opt.tls_ca ? "ca" : "any-key", pin);
}

bool start(const Options &opt, int *lfd) {
  char err[128];
  int port = 0;
  *lfd = net_listen(opt.addr, opt.port, &port, err, sizeof err);
  if (*lfd < 0) {
    out_line("error: gateway listener %s:%d: %s", opt.addr, opt.port, err);
    return false;
  }
  listening(opt, port);
  for (int i = 0; i < opt.modbus_count; i++) {
    const ExposureOpt &e = opt.modbus[i];
    if (mb_expose(e.gw, e.port, opt.addr, e.tcp_port) < 0) return false;
  }
  return true;
}

// Runs the commands that are waiting, until one holds the script.
// Returns how many ran.
int run_commands(Session &s, Input &in, uint32_t now) {
  char line[kInputLineMax];
  int ran = 0;
  while (!s.quit && !cmd_busy(s, now) && in_line(in, line, sizeof line)) {
    cmd_run(s, line, now);
    ran++;
  }
  return ran;
}

// One pass: poll, then every source in turn. Returns the commands run.
int pass(Session &s, Input &in, int lfd, bool read_stdin) {
  pollfd fds[kMaxFds];
  int n = 0;
  int in_at = -1;
  if (read_stdin) {
    in_at = n;
    fds[n++] = pollfd{in.fd, POLLIN, 0};
  }
  int l_at = n;
  fds[n++] = pollfd{lfd, POLLIN, 0};
  int gw_at = n;
  int gw_n = gw_fill(fds + n, kMaxFds - n);
  n += gw_n;
  int mb_at = n;
  int mb_n = mb_fill(fds + n, kMaxFds - n);
  n += mb_n;
  if (poll(fds, static_cast<nfds_t>(n), kPollMs) < 0) return 0;  // a signal
  uint32_t now = qy_ticks();
  if (in_at >= 0 && (fds[in_at].revents & (POLLIN | POLLHUP | POLLERR))) in_read(in);
  gw_serve(fds + gw_at, gw_n, now);
  if (fds[l_at].revents & POLLIN) gw_accept(lfd);
  mb_serve(fds + mb_at, mb_n);
  gw_tick(now);
  mb_tick(now);
  return run_commands(s, in, now);
}

void run(const Options &opt, int lfd) {
  Session s{};
  s.addr = opt.addr;
  Input in;
  in_init(in, STDIN_FILENO);
  bool tty = isatty(STDIN_FILENO);
  if (tty) fputs("> ", stdout);
  while (!s.quit && !g_signal) {
    bool read_stdin = !in.eof && !in_has_line(in);
    int ran = pass(s, in, lfd, read_stdin);
    if (in.eof && !in_has_line(in) && !cmd_busy(s, qy_ticks()) && !opt.keep) s.quit = true;
    if (tty && ran > 0 && !s.quit) fputs("> ", stdout);
  }
  uint32_t start = qy_ticks();
  while (!g_signal && !gw_drained() && qy_ticks() - start < kDrainMs) pass(s, in, lfd, false);
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  Options opt;
  if (!parse_options(argc, argv, opt)) return 2;
  if (opt.help) {
    print_usage();
    return 0;
  }
  if (!tls_setup(opt.tls_cert, opt.tls_key, opt.tls_ca)) return 2;
  set_signals();
  gw_setup(opt.gap_ms, mb_on_section, nullptr);
  mb_setup(opt.modbus_timeout_ms);
  int lfd = -1;
  if (!start(opt, &lfd)) {
    tls_teardown();
    return 1;
  }
  run(opt, lfd);
  gw_close_all("console ends");
  mb_close_all();
  close(lfd);
  tls_teardown();
  if (g_signal) {
    out_line("signal %d: bye", static_cast<int>(g_signal));
  } else {
    out_line("bye");
  }
  return 0;
}
