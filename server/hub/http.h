// The HTTP server (libmicrohttpd) on the hub's loop: its epoll descriptor
// sits in the hub's epoll set and MHD_run does the work, so requests are
// handled on the loop thread. A request that waits for a gateway (a
// command, a verify challenge) is suspended until its job ends. Bounded:
// connections in all and per address, request size, and an idle time-out
// that also drops a client that stops reading.
#ifndef HUB_HTTP_H
#define HUB_HTTP_H

#include <stdint.h>

#include <string>
#include <unordered_map>

#include "api.h"
#include "hub.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace hub {

class HttpServer : public Pollable {
 public:
  explicit HttpServer(Hub &h);
  ~HttpServer();
  HttpServer(const HttpServer &) = delete;
  HttpServer &operator=(const HttpServer &) = delete;

  bool start(std::string *why);
  int port() const { return port_; }
  void run();          // the descriptor is readable, or its time-out came
  void after_pass();   // resumed requests are answered (outside MHD's callbacks)
  int timeout_ms();    // -1: none
  void stop();

  struct Request;

 private:
  static void job_done(Hub &h, const Job &j);

  Hub &h_;
  MHD_Daemon *d_ = nullptr;
  int port_ = 0;
  bool resumed_ = false;
  std::unordered_map<uint64_t, Request *> waiting_;

 public:
  // libmicrohttpd's callbacks (C linkage types): see http.cpp.
  Request *take_waiting(uint64_t ticket);
  void add_waiting(uint64_t ticket, Request *r) { waiting_[ticket] = r; }
  Hub &hub() { return h_; }
};

// True when header is "Bearer <token>" (compared in constant time).
bool bearer_ok(const char *header, const std::string &token);

}  // namespace hub

#endif
