/* What the system's fixed idle timings cost on this machine with nothing
 * else around them, the floor of any daemon that keeps them: one wait
 * (ppoll) until the next thing due, a wake-up for the status LED's toggle
 * (every 500 ms connected, 2 s offline), one every 2 s that reads a small
 * file (the modem information file), and offline a connect every 1.1 s
 * that the server's address refuses, with its log line.
 *
 *   trm_idle_floor connected FILE
 *   trm_idle_floor offline FILE PORT      (a loopback port nothing listens on)
 *
 * Runs until it is killed. Built by CMake beside the bench (else bench.py
 * builds it with cc). */
#define _GNU_SOURCE /* ppoll */
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void sleep_until(double due) {
  const double d = due - now();
  if (d <= 0) return;
  struct timespec ts = {(time_t)d, (long)((d - (double)(time_t)d) * 1e9)};
  ppoll(NULL, 0, &ts, NULL);
}

static void refused_connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons((unsigned short)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(fd, (struct sockaddr *)&a, sizeof a);
  struct pollfd p = {fd, POLLOUT, 0};
  poll(&p, 1, 500);
  static const char line[] = "->net_connect Error: connecting Error, -1, 111\r\n";
  if (write(1, line, sizeof line - 1) < 0) exit(1);
  close(fd);
}

static void read_file(const char *path) {
  char buf[512];
  const int fd = open(path, O_RDONLY);
  if (fd < 0) return;
  while (read(fd, buf, sizeof buf) > 0) {
  }
  close(fd);
}

int main(int argc, char **argv) {
  if (argc < 3) return 2;
  const int offline = strcmp(argv[1], "offline") == 0;
  const int port = offline && argc > 3 ? atoi(argv[3]) : 0;
  const double led_s = offline ? 2.0 : 0.5;
  signal(SIGPIPE, SIG_IGN);
  double led = now() + led_s, modem = now() + 2.0, conn = now() + 1.1;
  for (;;) {
    double due = led < modem ? led : modem;
    if (offline && conn < due) due = conn;
    sleep_until(due);
    const double t = now();
    if (t >= led) led = t + led_s;
    if (t >= modem) {
      read_file(argv[2]);
      modem = t + 2.0;
    }
    if (offline && t >= conn) {
      refused_connect(port);
      conn = now() + 1.1;
    }
  }
}
