// Command line of the fleet simulator.
#ifndef FLEET_OPTIONS_H
#define FLEET_OPTIONS_H

#include <netinet/in.h>
#include <stdint.h>

#include "gwlink.h"
#include "tlskit.h"

namespace fleet {

constexpr int kMaxServers = 16;
constexpr uint32_t kMaxGateways = 60000;

struct Options {
  sockaddr_in servers[kMaxServers] = {};
  int server_count = 0;
  uint32_t gateways = 10;
  uint32_t first_id = 0x0A000001;  // 10.0.0.1, counted up per gateway
  const char *alias = "SIM";       // alias: this and the gateway number
  uint16_t heartbeat_s = 10;
  uint8_t signal = 71;
  uint32_t init_delay_ms = 1000;  // connect to init packet, as the daemon sleeps
  double burst_fraction = 0;      // of the gateways, spread evenly
  uint32_t burst_min = 64, burst_max = 512;
  double burst_rate = 1.0;        // bursts a second per bursting gateway
  bool burst_port[3] = {false, true, true};
  double connect_rate = 1000;     // connection attempts a second, all gateways
  double churn_fraction = 0;      // of the gateways up, dropped every churn_s
  uint32_t churn_s = 0;
  uint32_t reconnect_ms = 1000;   // after a drop (churn, command)
  uint32_t source_base = 0;       // bind gateway k to this address + k (0: any)
  uint8_t unit = 1;               // Modbus unit id of every slave
  Behaviour behaviour;
  int control_port = -1;          // loopback control socket (0: free port)
  uint32_t stats_ms = 1000;
  uint32_t duration_s = 0;        // 0: until quit or a signal
  uint64_t seed = 0;
  bool seed_given = false;
  const char *json_path = nullptr;
  const char *answer_log = nullptr;  // one line per Modbus answer: ID, transaction, us
  bool answer_times = true;       // kernel receive time stamps for Modbus answers
  // The secure link (tls.h): on with the factory CA; the hub checked by the
  // pin of its key and/or a CA.
  const char *tls_ca_key = nullptr, *tls_ca_cert = nullptr, *tls_hub_ca = nullptr;
  tlskit::Fingerprint tls_pin{};
  bool tls_pin_given = false;
  bool ack = true;            // offer the acknowledged link on the secure link (--no-ack: plain)
  uint32_t ack_retain_kb = 16;  // a gateway's kept line bytes
  bool help = false;
};

// Fills opt; false (after a message on stderr) on a bad command line.
bool parse_options(int argc, char **argv, Options &opt);
void print_usage();

// Text form of an IPv4 address held in host order.
void ip_text(uint32_t addr, char *out, size_t cap);

}  // namespace fleet

#endif
