// The console's Modbus TCP exposure of a gateway's bridged port 1 with
// what its clients send: up to three clients writing any bytes in any
// pieces, a gateway that answers the request it was given (or sends any
// section), goes away and comes back, and time passing for the time-outs.
// Clients and the gateway are socket pairs taken in through the same door
// as accepted connections; everything goes through the console's own poll
// handling. Whatever the clients send, what reaches a client is whole
// Modbus TCP frames, and no descriptor is left behind.
//
// Input: a script of steps, each an opcode byte (low 3 bits the step,
// the rest its argument) and its bytes:
//   0 client (arg % 3) sends: length byte, bytes
//   1 the gateway answers the last request it was given: length byte,
//     the bytes after the function code
//   2 the gateway sends a section of port 1 (arg odd: port 2): length
//     byte, bytes
//   3 time passes: byte x 4 ms (the time-out is 200 ms)
//   4 client (arg % 3) disconnects
//   5 client (arg % 3) reads what it was sent
//   6 the gateway disconnects and connects again
//   7 the gateway sends raw stream bytes: length byte, bytes
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "fuzzkit.h"
#include "mbtcp.h"
#include "gateways.h"
#include "modbus.h"
#include "out.h"
#include "qylink.h"

namespace {

constexpr int kGw = 1;
constexpr unsigned kPort = COM_PORT_RS485;
constexpr uint32_t kTimeoutMs = 200;
constexpr int kClients = 3;
constexpr int kMaxPasses = 4;

struct Peer {
  int fd = -1;
  std::vector<uint8_t> in;  // bytes read, not yet judged
};

uint32_t g_now = 0;
Peer g_gw;
Peer g_client[kClients];
std::vector<uint8_t> g_last_request;

uint32_t fake_ticks() { return g_now; }
void discard(void *, const char *, size_t) {}

// A socket pair: the console's end is returned, ours goes into `peer`.
int connect_pair(Peer &peer) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) {
    fuzzkit::fail("socketpair failed");
  }
  peer.fd = sv[1];
  peer.in.clear();
  return sv[0];
}

void hang_up(Peer &peer) {
  if (peer.fd >= 0) close(peer.fd);
  peer.fd = -1;
  peer.in.clear();
}

void send_plain(Peer &peer, std::vector<uint8_t> bytes) {
  if (peer.fd < 0 || bytes.empty()) return;
  EncodePacket(bytes.data(), static_cast<int>(bytes.size()));
  if (send(peer.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) {
    // a full socket is part of the game
  }
}

std::vector<uint8_t> packet(uint8_t type, const uint8_t *body, size_t n) {
  uint8_t buf[PACKET_BUF_SIZE];
  size_t off = wire_put_prefix(buf, sizeof buf, type, "10.0.0.7", 8, 23);
  if (n > sizeof buf - off) n = sizeof buf - off;
  memcpy(buf + off, body, n);
  wire_finish(buf, off + n);
  return std::vector<uint8_t>(buf, buf + off + n);
}

std::vector<uint8_t> section_packet(unsigned port, const uint8_t *data, size_t n) {
  uint8_t body[PACKET_BUF_SIZE];
  body[0] = 1;
  const size_t end = wire_put_section(body, sizeof body, 1, static_cast<uint16_t>(port), data, n);
  return packet(PACKAGE_TYPE_DATA, body, end);
}

void gateway_connects() {
  console::gw_adopt(connect_pair(g_gw), "gateway");
  // network, reserved, model, alias, version, ports, heartbeat 10 s, 10, delay 50, reserved
  static const char kInit[] =
      "\x01\x00"
      "\x07TRM-310"
      "\x07KX-7700"
      "\x05V1.01"
      "\x02"
      "\x0a\x00"
      "\x0a"
      "\x32\x00"
      "\0\0\0\0\0\0\0\0";
  const uint8_t *init = reinterpret_cast<const uint8_t *>(kInit);
  send_plain(g_gw, packet(PACKAGE_TYPE_INIT, init, sizeof kInit - 1));
}

// The requests the console forwarded to the gateway; the last one is kept.
void gateway_reads() {
  uint8_t buf[4096];
  for (ssize_t n; (n = recv(g_gw.fd, buf, sizeof buf, 0)) > 0;) {
    DecodePacket(buf, static_cast<int>(n));
    g_gw.in.insert(g_gw.in.end(), buf, buf + n);
  }
  std::vector<uint8_t> &s = g_gw.in;
  while (s.size() >= PACKAGE_HEADER_LEN) {
    const size_t len = wire_get16(s.data() + 1);
    if (len < PACKAGE_HEADER_LEN || len > s.size()) break;
    const size_t head = wire_prefix_len(s.data()) + 1;
    if (len >= head + PACKAGE_SECTION_HEAD) {
      size_t off = 0;
      const WireSection sec = wire_next_section(s.data(), &off);
      if (sec.port == kPort && sec.data + sec.len <= s.data() + len) {
        g_last_request.assign(sec.data, sec.data + sec.len);
      }
    }
    s.erase(s.begin(), s.begin() + static_cast<long>(len));
  }
}

// What a client was sent must be whole Modbus TCP frames.
void client_reads(Peer &c) {
  uint8_t buf[4096];
  for (ssize_t n; c.fd >= 0 && (n = recv(c.fd, buf, sizeof buf, 0)) > 0;)
    c.in.insert(c.in.end(), buf, buf + n);
  size_t len = 0;
  mbtcp::Frame f;
  while ((f = mbtcp::frame_check(c.in.data(), c.in.size(), &len)) == mbtcp::Frame::kWhole) {
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(len));
  }
  if (f == mbtcp::Frame::kBad) {
    fuzzkit::fail("a client was sent a frame with protocol %u, length %u", mbtcp::be16(c.in.data() + 2),
                  mbtcp::be16(c.in.data() + 4));
  }
}

// Poll passes of the console until nothing is ready.
void passes() {
  for (int i = 0; i < kMaxPasses; i++) {
    pollfd fds[64];
    const int gw_n = console::gw_fill(fds, 64);
    const int mb_n = console::mb_fill(fds + gw_n, 64 - gw_n);
    const int ready = poll(fds, static_cast<nfds_t>(gw_n + mb_n), 0);
    console::gw_serve(fds, gw_n, g_now);
    console::mb_serve(fds + gw_n, mb_n);
    console::gw_tick(g_now);
    console::mb_tick(g_now);
    if (ready <= 0) break;
  }
  gateway_reads();
}

void step(fuzzkit::Reader &in) {
  const uint8_t op = in.byte();
  const unsigned arg = op >> 3;
  const uint8_t *p = nullptr;
  Peer &client = g_client[arg % kClients];
  switch (op & 7) {
    case 0: {
      if (client.fd < 0) console::mb_adopt(kGw, kPort, connect_pair(client), "client");
      const size_t n = in.take(in.byte(), &p);
      if (client.fd >= 0 && n > 0 && send(client.fd, p, n, MSG_NOSIGNAL) < 0) {
        // a full socket is part of the game
      }
      break;
    }
    case 1: {
      std::vector<uint8_t> adu(
          g_last_request.begin(),
          g_last_request.begin() + (g_last_request.size() < 8 ? g_last_request.size() : 8));
      adu.resize(8);
      const size_t n = in.take(in.byte(), &p);
      adu.insert(adu.end(), p, p + n);
      adu[4] = static_cast<uint8_t>((adu.size() - 6) >> 8);
      adu[5] = static_cast<uint8_t>(adu.size() - 6);
      send_plain(g_gw, section_packet(kPort, adu.data(), adu.size()));
      break;
    }
    case 2: {
      const size_t n = in.take(in.byte(), &p);
      send_plain(g_gw, section_packet((arg & 1) ? COM_PORT_RS232 : kPort, p, n));
      break;
    }
    case 3: g_now += 4u * in.byte(); break;
    case 4: hang_up(client); break;
    case 5: client_reads(client); break;
    case 6:
      hang_up(g_gw);
      passes();
      gateway_connects();
      break;
    default: {
      const size_t n = in.take(in.byte(), &p);
      send_plain(g_gw, std::vector<uint8_t>(p, p + n));
      break;
    }
  }
  passes();
}

int lowest_free_fd() {
  int fd = dup(STDIN_FILENO);
  close(fd);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (!fuzzkit::log_wanted()) console::out_set_sink(discard, nullptr);
  qy_ticks_install(fake_ticks);
  console::gw_setup(0, console::mb_on_section, nullptr);
  console::mb_setup(kTimeoutMs);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const int free_fd = lowest_free_fd();
  g_now = 1000;
  g_last_request.clear();
  if (console::mb_expose(kGw, kPort, "127.0.0.1", 0) < 0)
    fuzzkit::fail("no Modbus listener on loopback");
  gateway_connects();
  passes();
  fuzzkit::Reader in(data, size);
  while (in.left() > 0) step(in);
  for (Peer &c : g_client) client_reads(c);
  console::gw_close_all("input ends");
  console::mb_close_all();
  hang_up(g_gw);
  for (Peer &c : g_client) hang_up(c);
  if (lowest_free_fd() != free_fd) fuzzkit::fail("a descriptor was left open");
  return 0;
}
