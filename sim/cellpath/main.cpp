// trm-cellpath: an emulated cellular path between two network namespaces.
//
//   trm-cellpath --gw /run/netns/A:DEV --srv /run/netns/B:DEV --profile TEXT [--seed N]
//
// Makes a TUN device DEV in each namespace and relays IP packets between
// them, "up" (the gateway's side to the server's) and "down", with the
// profile's delay, jitter, rate, bearer buffer, loss and outages. Prints
// "seed", "profile" and "ready" lines once the devices exist (the caller
// then gives them addresses and brings them up), "outage on|off" when the
// switch changes, and "stats" lines on demand and at the end. Control
// lines on standard input: outage on, outage off, stats, quit; SIGUSR1 and
// SIGUSR2 switch the outage on and off. Ends at SIGTERM, SIGINT, "quit" or
// the end of standard input.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "profile.h"
#include "relay.h"
#include "tun.h"

namespace {

struct Options {
  const char *gw = nullptr, *srv = nullptr, *profile = "";
  const char *seed = nullptr;
};

bool options(int argc, char **argv, Options *o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const char *k = argv[i], *v = argv[i + 1];
    if (strcmp(k, "--gw") == 0) o->gw = v;
    else if (strcmp(k, "--srv") == 0) o->srv = v;
    else if (strcmp(k, "--profile") == 0) o->profile = v;
    else if (strcmp(k, "--seed") == 0) o->seed = v;
    else return false;
  }
  return argc % 2 == 1 && o->gw != nullptr && o->srv != nullptr;
}

// "PATH:DEV" of one side to its TUN descriptor.
int side(const char *arg) {
  char path[256], err[256];
  const char *colon = strrchr(arg, ':');
  if (colon == nullptr || colon - arg >= static_cast<long>(sizeof path)) {
    fprintf(stderr, "trm-cellpath: '%s' is not PATH:DEV\n", arg);
    return -1;
  }
  snprintf(path, sizeof path, "%.*s", static_cast<int>(colon - arg), arg);
  const int fd = cellpath::open_tun(path, colon + 1, err, sizeof err);
  if (fd < 0) fprintf(stderr, "trm-cellpath: %s\n", err);
  return fd;
}

uint64_t random_seed() {
  uint64_t s = 0;
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0 || read(fd, &s, sizeof s) != static_cast<ssize_t>(sizeof s)) {
    s = static_cast<uint64_t>(cellpath::now_ns()) ^ static_cast<uint64_t>(getpid());
  }
  if (fd >= 0) close(fd);
  return s % 1000000000000ULL;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Options o;
  cellpath::Profile p;
  char err[256], text[512];
  if (!options(argc, argv, &o)) {
    fprintf(stderr, "usage: trm-cellpath --gw NSPATH:DEV --srv NSPATH:DEV --profile TEXT "
                    "[--seed N]\n");
    return 2;
  }
  if (!cellpath::parse_profile(o.profile, &p, err, sizeof err) ||
      (o.seed != nullptr && !cellpath::parse_profile(
           (std::string("seed=") + o.seed).c_str(), &p, err, sizeof err))) {
    fprintf(stderr, "trm-cellpath: profile: %s\n", err);
    return 2;
  }
  if (!p.seeded) p.seed = random_seed();
  const int gw = side(o.gw), srv = side(o.srv);
  if (gw < 0 || srv < 0) return 1;
  cellpath::describe_profile(p, text, sizeof text);
  printf("seed %llu\nprofile %s\nready\n", static_cast<unsigned long long>(p.seed), text);
  cellpath::Relay relay(p, gw, srv, cellpath::now_ns());
  return relay.run();
}
