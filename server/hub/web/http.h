// The HTTP server (libmicrohttpd) on the hub's loop: its epoll descriptor
// sits in the hub's epoll set and MHD_run does the work, so requests are
// handled on the loop thread. A request that waits for a gateway (a
// command, a verify challenge) is suspended until its job ends. Bounded:
// connections in all and per address; bodies (kApiBodyMax: a larger one is
// refused with 413 as soon as it shows, and the connection closed); an
// idle time-out (MHD's), which also drops a client that stops reading; and
// a deadline for each request to arrive whole, so a client that trickles
// bytes cannot hold a connection for ever.
#ifndef HUB_HTTP_H
#define HUB_HTTP_H

#include <stdint.h>

#include <string>
#include <unordered_map>

#include "web/api.h"
#include "core/hub.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace hub {

class HttpServer : public Pollable {
 public:
  explicit HttpServer(Hub &h);
  ~HttpServer();
  HttpServer(const HttpServer &) = delete;
  HttpServer &operator=(const HttpServer &) = delete;

  // Serves connections on listen_fd (a listening socket, taken over), or
  // only those given to adopt() when it is -1.
  bool start(int listen_fd, std::string *why);
  bool adopt(int sock);  // a connected socket accepted elsewhere (the fuzz target's socket pair)
  int port() const { return port_; }
  void run();          // the descriptor is readable
  void after_pass();   // resumed requests answered, MHD's time-outs and ready connections run
  void tick();         // once a second: requests past their deadline are cut off
  int timeout_ms();    // -1: none
  void stop();

  struct Request;
  // A connection's request clock: from its opening or the previous reply
  // until its request has arrived whole.
  struct Conn {
    uint32_t since = 0;
    bool receiving = true;
    bool cut = false;  // shut down for missing its deadline
  };

 private:
  Hub &h_;
  MHD_Daemon *d_ = nullptr;
  int port_ = 0;
  bool resumed_ = false;
  std::unordered_map<uint64_t, Request *> waiting_;
  std::unordered_map<MHD_Connection *, Conn> conns_;

 public:
  // libmicrohttpd's callbacks (C linkage types): see http.cpp.
  Request *take_waiting(uint64_t ticket);
  // A command exchange a request waits for ended: its reply goes out.
  static void exchange_done(Hub &h, const Exchange &x);
  void add_waiting(uint64_t ticket, Request *r) { waiting_[ticket] = r; }
  void conn_event(MHD_Connection *c, void **ctx, bool opened);
  void request_begins(MHD_Connection *c);  // the previous one ended: the clock starts again
  void request_arrived(MHD_Connection *c);
  Hub &hub() { return h_; }
};

}  // namespace hub

#endif
