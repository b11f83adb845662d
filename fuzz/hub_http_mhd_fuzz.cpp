// Covers the hub's HTTP layer as a client reaches it: raw request bytes over
// a socket pair into the hub's libmicrohttpd daemon (request line, headers,
// Content-Length and chunked bodies, pipelining, the body limit, requests
// suspended for a gateway and resumed), then the API behind it.
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "web/http.h"
#include "hub_fuzzkit.h"

namespace {

constexpr int kRounds = 24;

// Takes whatever the hub answered; false once it closed the connection.
bool drain(int fd) {
  char buf[16384];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  }
}

// The input as far as the socket takes it; the offset reached.
size_t send_some(int fd, const uint8_t *data, size_t size, size_t off) {
  while (off < size) {
    ssize_t n = write(fd, data + off, size - off);
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  return off;
}

}  // namespace

// Input: the bytes a client sends on one connection.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  hubfuzz::Rig rig;
  hub::Session &gw = rig.gateway();
  hub::HttpServer srv(*rig.h);
  std::string why;
  int sv[2];
  if (!srv.start(-1, &why) || socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) return 0;
  if (!srv.adopt(sv[0])) {
    close(sv[0]);
    close(sv[1]);
    return 0;
  }
  size_t sent = 0;
  bool open = true;
  for (int round = 0; round < kRounds && open; round++) {
    sent = send_some(sv[1], data, size, sent);
    if (round == kRounds / 3) hub::gw_end(*rig.h, gw, "end of input");  // waiting requests are answered
    if (round == kRounds / 2) shutdown(sv[1], SHUT_WR);
    srv.run();
    rig.pass(1);
    srv.after_pass();
    open = drain(sv[1]);
  }
  close(sv[1]);
  srv.stop();
  return 0;
}
