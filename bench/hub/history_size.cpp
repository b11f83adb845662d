// The registry's size under a fleet's history, with a fast-forwarded
// clock: N gateways for D days through the hub's own gateway code (no
// sockets) and its history, with churn (each gateway drops and comes back
// a few times a day, now and then replaced by a newer connection) and a
// signal that changes now and then. The journal is written every simulated
// minute and pruned as the writer thread does (here once a simulated
// minute). Prints the registry's size against its cap, and the CPU the
// hub's side spent: the gateway code that makes the rows (the loop's share,
// the simulation's own bookkeeping included) and the writer's (storing and
// pruning), each per row and as a share of one core in the fleet's time.
// With --url the registry is that PostgreSQL database (empty, made for the
// run) instead of a SQLite file in DIR. With --end now the history ends at
// the present (a registry for the pages' screenshots and benchmark);
// --first-id numbers the gateways as trm-fleet does.
//
//   hub_history_size [--gateways N] [--days D] [--minutes M] [--churn PER_DAY] [--signal P] [--cap MB] [--dir DIR]
//                    [--url CONNINFO] [--end now] [--first-id A.B.C.D]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <random>
#include <string>
#include <vector>

#include "gateways/session.h"
#include "core/hub.h"
#include "store/journal.h"
#include "core/log.h"
#include "qylink.h"
#include "store/registry.h"

namespace {

struct Args {
  unsigned gateways = 10000, days = 30;
  unsigned minutes = 0;    // instead of days, when given
  double churn = 3.0;      // drops a gateway per day
  double signal = 0.02;    // chance a minute that its signal changes
  unsigned cap_mb = 256;
  std::string dir = "/tmp/hub-history-size";
  std::string url;  // PostgreSQL instead of a file in dir
  bool end_now = false;
  uint32_t first_id = 0;  // 0: 10.64.0.0 and up
};

// The I-th gateway's ID: from --first-id counted up, or 10.64.0.0 and up.
std::string gateway_id(const Args &a, unsigned i) {
  uint32_t v = a.first_id ? a.first_id + i : (10u << 24) + (64u << 16) + i;
  return std::to_string(v >> 24) + "." + std::to_string(v >> 16 & 255) + "." + std::to_string(v >> 8 & 255) + "." +
         std::to_string(v & 255);
}

bool parse_ipv4(const std::string &s, uint32_t *v) {
  unsigned b[4];
  char tail;
  if (sscanf(s.c_str(), "%u.%u.%u.%u%c", &b[0], &b[1], &b[2], &b[3], &tail) != 4) return false;
  *v = b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3];
  return b[0] < 256 && b[1] < 256 && b[2] < 256 && b[3] < 256;
}

std::vector<uint8_t> packet(uint8_t type, const std::string &id, uint8_t signal) {
  std::vector<uint8_t> b(PACKET_BUF_SIZE);
  b.resize(wire_put_prefix(b.data(), b.size(), type, id.data(), id.size(), signal));
  if (type == PACKAGE_TYPE_INIT) {
    const uint8_t body[] = {0, 0, 7, 'T', 'R', 'M', '-', '3', '1', '0', 3, 's', 'i', 'm', 5, 'V', '1', '.', '0', '1',
                            2, 60, 0, 10, 50, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    b.insert(b.end(), body, body + sizeof body);
  }
  wire_finish(b.data(), b.size());
  EncodePacket(b.data(), static_cast<int>(b.size()));
  return b;
}

void feed(hub::Hub &h, hub::Session &s, std::vector<uint8_t> wire) { hub::gw_on_wire(h, s, wire.data(), wire.size()); }

double cpu_now() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

long long file_bytes(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

bool parse(int argc, char **argv, Args *a) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--gateways") a->gateways = static_cast<unsigned>(atoi(v.c_str()));
    else if (k == "--days") a->days = static_cast<unsigned>(atoi(v.c_str()));
    else if (k == "--minutes") a->minutes = static_cast<unsigned>(atoi(v.c_str()));
    else if (k == "--churn") a->churn = atof(v.c_str());
    else if (k == "--signal") a->signal = atof(v.c_str());
    else if (k == "--cap") a->cap_mb = static_cast<unsigned>(atoi(v.c_str()));
    else if (k == "--dir") a->dir = v;
    else if (k == "--url") a->url = v;
    else if (k == "--end" && v == "now") a->end_now = true;
    else if (k == "--first-id" && parse_ipv4(v, &a->first_id)) continue;
    else return false;
  }
  return (argc % 2) == 1 && a->gateways > 0;
}

struct Sim {
  hub::Hub &h;
  std::vector<std::string> ids;
  std::vector<hub::Session *> live;
  std::vector<int64_t> back_at;  // wall ms an offline gateway comes back
  std::mt19937 rng{12345};
};

void connect(Sim &sim, size_t i) {
  hub::Session &s = hub::gw_open(sim.h, -1, 0x0A400000u + static_cast<uint32_t>(i), 40000);
  feed(sim.h, s, packet(PACKAGE_TYPE_INIT, sim.ids[i], static_cast<uint8_t>(10 + sim.rng() % 20)));
  sim.live[i] = &s;
}

// One simulated minute: drops, returns (a tenth of them as a new
// connection over a stale one), signal changes.
void minute(Sim &sim, const Args &a) {
  std::uniform_real_distribution<double> u(0, 1);
  double drop = a.churn / 1440.0;
  for (size_t i = 0; i < sim.ids.size(); i++) {
    if (!sim.live[i]) {
      if (sim.h.wall_ms >= sim.back_at[i]) connect(sim, i);
      continue;
    }
    double x = u(sim.rng);
    if (x < drop * 0.1) {
      connect(sim, i);  // replaces the live one
    } else if (x < drop) {
      hub::gw_end(sim.h, *sim.live[i], "silent for too long");
      sim.live[i] = nullptr;
      sim.back_at[i] = sim.h.wall_ms + 60000 * static_cast<int64_t>(1 + sim.rng() % 30);
    } else if (u(sim.rng) < a.signal) {
      feed(sim.h, *sim.live[i], packet(PACKAGE_TYPE_HEARTBEAT, sim.ids[i], static_cast<uint8_t>(5 + sim.rng() % 26)));
    }
  }
  hub::hub_reap(sim.h);
}

}  // namespace

int main(int argc, char **argv) {
  Args a;
  if (!parse(argc, argv, &a)) {
    fprintf(stderr, "usage: hub_history_size [--gateways N] [--days D] [--minutes M] [--churn PER_DAY] [--signal P] "
                    "[--cap MB] [--dir DIR] [--url CONNINFO] [--end now] [--first-id A.B.C.D]\n");
    return 2;
  }
  hub::log_mute(true);
  std::string path = a.dir + "/registry.db", why;
  if (system(("rm -rf " + a.dir + " && mkdir -p " + a.dir).c_str()) != 0) return 1;
  hub::Config cfg;
  cfg.allow.ids = {"*"};
  cfg.mqtt.enabled = false;
  cfg.history.max_mb = a.cap_mb;
  cfg.history.days = 30;
  hub::Hub h(cfg);
  hub::Registry reg;
  h.journal.reset(new hub::Journal);
  hub::Journal &journal = *h.journal;
  hub::DbTarget db{a.url.empty() ? hub::DbKind::kSqlite : hub::DbKind::kPostgres, a.url.empty() ? path : a.url, 0};
  if (!reg.open(db, &why) || !journal.open(db, cfg.history, &why)) {
    fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  int64_t wall = a.end_now ? static_cast<int64_t>(time(nullptr)) * 1000 - a.days * hub::kDayMs
                           : 1796000000000;  // 2026-11-28
  hub::hub_set_time(h, 1000, wall);
  Sim sim{h, {}, std::vector<hub::Session *>(a.gateways), std::vector<int64_t>(a.gateways)};
  for (unsigned i = 0; i < a.gateways; i++) sim.ids.push_back(gateway_id(a, i));
  for (size_t i = 0; i < sim.ids.size(); i++) connect(sim, i);
  timespec t0{}, t1{};
  clock_gettime(CLOCK_MONOTONIC, &t0);
  journal.write_waiting();  // the fleet's first connections, not counted below
  uint64_t rows0 = journal.written();
  unsigned total = a.minutes ? a.minutes : a.days * 1440;
  double loop_cpu = 0, writer_cpu = 0;
  for (unsigned m = 0; m < total; m++) {
    hub::hub_set_time(h, 1000 + (m + 1) * 60000u, wall + (m + 1) * int64_t{60000});
    double c0 = cpu_now();
    minute(sim, a);
    double c1 = cpu_now();
    journal.write_waiting();
    journal.prune(h.wall_ms);
    double c2 = cpu_now();
    loop_cpu += c1 - c0;
    writer_cpu += c2 - c1;
    if (m % 1440 == 1439) {
      printf("day %3u: %.1f MB in use, %llu rows written, %llu pruned\n", m / 1440 + 1, journal.used_bytes() / 1048576.0,
             static_cast<unsigned long long>(journal.written()), static_cast<unsigned long long>(journal.pruned()));
      fflush(stdout);
    }
  }
  for (auto &kv : h.records) reg.put(*kv.second);
  reg.stop();
  journal.write_waiting();
  clock_gettime(CLOCK_MONOTONIC, &t1);
  double secs = static_cast<double>(t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
  printf("gateways %u, minutes %u, churn %.1f/day, signal change %.3f/min: %llu rows written, %llu pruned, %llu dropped\n",
         a.gateways, total, a.churn, a.signal, static_cast<unsigned long long>(journal.written()),
         static_cast<unsigned long long>(journal.pruned()), static_cast<unsigned long long>(journal.dropped()));
  double rows = static_cast<double>(journal.written() - rows0), fleet_s = total * 60.0;
  printf("history rows %.0f (%.1f a second of fleet time); CPU per row: loop %.1f us, writer %.1f us; "
         "share of one core: loop %.3f %%, writer %.3f %%\n",
         rows, rows / fleet_s, loop_cpu / rows * 1e6, writer_cpu / rows * 1e6, loop_cpu / fleet_s * 100,
         writer_cpu / fleet_s * 100);
  printf("in use %.1f MB, file %.1f MB (+ WAL %.1f MB), cap %u MB; %.0f s\n", journal.used_bytes() / 1048576.0,
         file_bytes(path) / 1048576.0, file_bytes(path + "-wal") / 1048576.0, a.cap_mb, secs);
  return 0;
}
