// Where commands come from: standard input and a control socket on the
// loopback address (a few clients, one command a line, answers to the same
// client).
#ifndef FLEET_INPUTS_H
#define FLEET_INPUTS_H

#include <stddef.h>
#include <stdint.h>

#include "fleet.h"

namespace fleet {

// epoll tags above every gateway number
constexpr uint32_t kTagStdin = 0x80000000u;
constexpr uint32_t kTagSignal = 0x80000001u;
constexpr uint32_t kTagListen = 0x80000002u;
constexpr uint32_t kTagClient = 0x80000010u;  // + client slot
constexpr int kClients = 4;

struct LineIn {
  int fd;      // -1: closed
  int out_fd;  // answers go here
  size_t len;
  char buf[1024];
};

struct Inputs {
  LineIn in;  // standard input
  int listen_fd;
  int port;   // control port it got
  LineIn clients[kClients];
};

// Registers standard input (when epoll can watch it) and opens the control
// socket when asked; false when the socket cannot be opened.
bool inputs_open(Fleet &f, Inputs &io);
void inputs_event(Fleet &f, Inputs &io, uint32_t tag, uint32_t now);
void inputs_close(Inputs &io);

}  // namespace fleet

#endif
