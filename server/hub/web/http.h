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

#include "core/hub.h"
#include "web/api.h"

struct MHD_Daemon;
struct MHD_Connection;
struct MHD_OptionItem;

namespace hub {

// The HTTPS certificate and key as read (https.cpp); the key is wiped when
// the server stops.
struct HttpsKeys {
  std::string cert, key;
  ~HttpsKeys();
  void wipe();
};
// Reads [http] tls_cert and tls_key when set; false with a reason naming the file.
bool https_load(const Config &c, HttpsKeys *k, std::string *why);
// libmicrohttpd's TLS options for the keys read (at most 3; none without TLS).
size_t https_options(const HttpsKeys &k, MHD_OptionItem *out);

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
  void run();         // the descriptor is readable
  void after_pass();  // resumed requests answered, MHD's time-outs and ready connections run
  void tick();        // once a second: requests past their deadline are cut off
  int timeout_ms();   // -1: none
  void stop();

  struct Request;
  // A connection's request clock: from its opening or the previous reply
  // until its request has arrived whole.
  struct Conn {
    uint32_t since = 0;
    bool receiving = true;
    bool cut = false;    // shut down for missing its deadline
    bool spoke = false;  // a request's headers came (over TLS: the handshake went through)
  };

 private:
  Hub &h_;
  MHD_Daemon *d_ = nullptr;
  HttpsKeys tls_;
  uint32_t tls_logged_at_ = 0;
  void tls_refused(MHD_Connection *c);
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
  void request_begins(MHD_Connection *c);   // the previous one ended: the clock starts again
  void request_headers(MHD_Connection *c);  // the first call for a request
  void request_arrived(MHD_Connection *c);
  Hub &hub() { return h_; }
};

}  // namespace hub

#endif
