// A gateway's serial port 1 or 2 as a TCP server for SCADA and IT systems:
// raw (bytes pass both ways as they are), Modbus TCP (each request goes
// to the gateway's bridge as one section, one in flight per port, a bounded
// queue behind it; exceptions 0x0B on time-out, 0x0A while the gateway is
// offline or held, 0x06 when the queue is full) or an RFC 2217 serial port
// (one client; the bit rate and format it sets carried out through the
// gateway's virtual COM channel, carrier while the gateway is online). An
// exposure is tied to a gateway ID, not to a connection: it waits for its
// gateway and works again after every reconnect.
#ifndef HUB_EXPOSURES_H
#define HUB_EXPOSURES_H

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/config.h"
#include "core/hub.h"
#include "gateways/session.h"
#include "mbtcp.h"

namespace hub {

constexpr size_t kModbusClientOut = 4 * mbtcp::kAduMax;  // unread responses before a client is dropped
constexpr size_t kRawClientOut = 65536;                  // unread bytes before a raw client is dropped

struct Exposure;
struct ComLine;       // an rfc2217 exposure's line and its client's Telnet state (gateways/exp_com.h)
struct ExpTls;        // the TLS exposures' context (gateways/exp_tls.h)
struct ExpTlsClient;  // a TLS exposure's client's TLS state

struct ExpClient : Pollable {
  ExpClient();
  ~ExpClient();
  Exposure *ex = nullptr;
  uint32_t serial = 0;
  std::string peer;
  bool closed = false;
  bool paused = false;  // raw, rfc2217: not read until the gateway's queue has room
  std::vector<uint8_t> in, out;
  std::unique_ptr<ExpTlsClient> tls;  // TLS exposures only
};

struct Exposure : Pollable {
  Exposure();
  ~Exposure();
  ExposureConf conf;
  int bound_port = 0;
  bool from_api = false;
  std::vector<ExpClient *> clients;
  mbtcp::Port mb;  // requests: at_us the pass's time; link the session's serial
  bool in_busy = false;
  uint64_t forward_us = 0;  // time the request in flight spent in the hub
  uint64_t requests = 0, timeouts = 0;
  uint64_t woken = 0;            // when its waiting clients last had their turn (Exposures::wakes)
  std::unique_ptr<ComLine> com;  // rfc2217 only
};

struct Exposures {
  std::vector<std::unique_ptr<Exposure>> list;
  std::unordered_map<std::string, std::array<Exposure *, 2>> by_gw;
  std::vector<Exposure *> busy;                    // a Modbus request in flight
  std::vector<Exposure *> com_wait;                // an rfc2217 line with work or a timer
  std::vector<ExpClient *> closed;                 // freed by exp_reap
  std::vector<std::unique_ptr<Exposure>> retired;  // removed in this pass
  uint32_t next_serial = 0;
  uint64_t wakes = 0;
  std::unique_ptr<ExpTls> tls;  // null: no TLS exposures possible
  // Where changes refused are audited (the store's audit log; null: only logged).
  void (*audit)(Hub &h, const std::string &who, const std::string &action, const std::string &gw,
                const std::string &outcome) = nullptr;
  Exposures();
  ~Exposures();
};

// Opens an exposure (its listener when the hub has sockets). null with a
// reason when the port is taken by another exposure or cannot be bound.
Exposure *exp_add(Hub &h, const ExposureConf &c, bool from_api, std::string *why);
bool exp_remove(Hub &h, const std::string &gw, unsigned port);
Exposure *exp_find(Hub &h, const std::string &gw, unsigned port);

// A client connected (fd -1: none, for tests): null when the exposure has
// all the clients it takes. Bytes it sent; its end.
ExpClient *exp_client_open(Hub &h, Exposure &e, int fd, const std::string &peer);
void exp_client_input(Hub &h, ExpClient &c, const uint8_t *data, size_t n);
void exp_client_end(Hub &h, ExpClient &c, const char *why);
// Socket events: the listener has connections; a client's events (epoll's:
// what it sent read into buf, a scratch buffer of cap bytes).
void exp_accept(Hub &h, Exposure &e);
void exp_client_events(Hub &h, ExpClient &c, uint32_t events, uint8_t *buf, size_t cap);
void exp_client_readable(Hub &h, ExpClient &c, uint8_t *buf, size_t cap);
// Raw and rfc2217 clients: how many bytes the client may send on now (0: pause it).
size_t exp_raw_room(const Hub &h, const ExpClient &c);
// Writes what waits for a client (on room, or after adding to it).
void exp_client_flush(Hub &h, ExpClient &c);

// Gateway side: a port section (true when it answered a Modbus request),
// the gateway went away, its send queue has room again, its state changed
// (kExposureHooks).
extern const GatewayHooks kExposureHooks;
bool exp_on_section(Hub &h, GatewayRecord &r, uint16_t port, const uint8_t *data, size_t n);
void exp_on_offline(Hub &h, GatewayRecord &r);
void exp_on_drain(Hub &h, GatewayRecord &r);

// Time-outs and waiting work; true while something waits on a short timer.
bool exp_tick(Hub &h);
void exp_reap(Hub &h);

}  // namespace hub

#endif
