// Inside the exposures: what each kind does with its clients and its
// port's sections (one row per ExpKind, in its order: exposures.cpp), and
// what the kinds share (exposures.cpp).
#ifndef HUB_GATEWAYS_EXP_KINDS_H
#define HUB_GATEWAYS_EXP_KINDS_H

#include <stddef.h>
#include <stdint.h>

#include "core/hub.h"
#include "gateways/exposures.h"

namespace hub {

struct KindRow {
  size_t out_max;                     // unread bytes before a client is dropped
  int sndbuf;                         // the kernel's buffer: a client that stops reading is found out soon
  unsigned (*most)(const Config &c);  // clients at once
  size_t (*room)(const Hub &h, const ExpClient &c);  // bytes a client may send on now
  void (*opened)(Hub &h, ExpClient &c);
  void (*input)(Hub &h, ExpClient &c, const uint8_t *data, size_t n);
  void (*ended)(Hub &h, ExpClient &c);
  // A section of the exposed port: true when it answered a request.
  bool (*section)(Hub &h, Exposure &e, GatewayRecord &r, const uint8_t *data, size_t n);
  void (*offline)(Hub &h, Exposure &e);  // the gateway went away or was held
  void (*drained)(Hub &h, Exposure &e);  // its send queue has room again
  void (*changed)(Hub &h, Exposure &e);  // its online or admission state changed
};
const KindRow &exp_kind(ExpKind k);

// The exposure's gateway when it is online and admitted.
GatewayRecord *exp_gateway(Hub &h, const Exposure &e);
// Queues bytes for a client (dropped when it has its kind's out_max unread).
void exp_put_out(Hub &h, ExpClient &c, const uint8_t *data, size_t n);
// A raw client's bytes to the port, cut into sections (dropped and counted
// while the gateway is away).
void exp_raw_to_gateway(Hub &h, Exposure &e, const uint8_t *data, size_t n);
// Clients paused for room read again.
void exp_resume_clients(Hub &h, Exposure &e);

// exp_raw.cpp
void raw_input(Hub &h, ExpClient &c, const uint8_t *data, size_t n);
bool raw_section(Hub &h, Exposure &e, GatewayRecord &r, const uint8_t *data, size_t n);

// exp_modbus.cpp
void mb_input(Hub &h, ExpClient &c, const uint8_t *data, size_t n);
bool mb_section(Hub &h, Exposure &e, GatewayRecord &r, const uint8_t *data, size_t n);
void mb_offline(Hub &h, Exposure &e);
void mb_drained(Hub &h, Exposure &e);
bool mb_tick(Hub &h);

// exp_com.cpp
void com_opened(Hub &h, ExpClient &c);
void com_input(Hub &h, ExpClient &c, const uint8_t *data, size_t n);
void com_ended(Hub &h, ExpClient &c);
bool com_section(Hub &h, Exposure &e, GatewayRecord &r, const uint8_t *data, size_t n);
void com_changed(Hub &h, Exposure &e);
bool com_tick(Hub &h);

}  // namespace hub

#endif
