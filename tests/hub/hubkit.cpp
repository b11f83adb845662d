// Test kit of the hub.
#include "hubkit.h"

#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "gateways/channels.h"
#include "gateways/exposures.h"
#include "jobs/jobs.h"
#include "gateways/session.h"
#include "qylink.h"

namespace hubtest {
namespace {

Bytes prefix(uint8_t type, const std::string &id, uint8_t signal) {
  Bytes b(PACKET_BUF_SIZE);
  b.resize(wire_put_prefix(b.data(), b.size(), type, id.data(), id.size(), signal));
  return b;
}

void finish(Bytes &b) { wire_finish(b.data(), b.size()); }

void str(Bytes &b, const std::string &s) {
  b.push_back(static_cast<uint8_t>(s.size()));
  b.insert(b.end(), s.begin(), s.end());
}

}  // namespace

Bytes bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

Bytes init_packet(const std::string &id, const std::string &alias, uint16_t heartbeat, uint8_t signal) {
  Bytes b = prefix(PACKAGE_TYPE_INIT, id, signal);
  b.push_back(0);  // cellular link up
  b.push_back(0);
  str(b, "TRM-310");
  str(b, alias);
  str(b, "V1.01");
  b.push_back(2);
  b.push_back(static_cast<uint8_t>(heartbeat));
  b.push_back(static_cast<uint8_t>(heartbeat >> 8));
  b.push_back(10);
  b.push_back(50);
  b.push_back(0);
  b.insert(b.end(), 8, 0);
  finish(b);
  return b;
}

Bytes heartbeat_packet(const std::string &id, uint8_t signal) {
  Bytes b = prefix(PACKAGE_TYPE_HEARTBEAT, id, signal);
  finish(b);
  return b;
}

Bytes data_packet(const std::string &id, const std::vector<Section> &sections, uint8_t signal) {
  Bytes b = prefix(PACKAGE_TYPE_DATA, id, signal);
  b.push_back(static_cast<uint8_t>(sections.size()));
  for (const Section &s : sections) {
    size_t off = b.size();
    b.resize(off + PACKAGE_SECTION_HEAD + s.second.size());
    wire_put_section(b.data(), b.size(), off, s.first, s.second.data(), s.second.size());
  }
  finish(b);
  return b;
}

Bytes heartbeat_burst(const std::string &id) {
  Bytes one = heartbeat_packet(id), all;
  for (unsigned i = 0; i < wire_heartbeat_copies(one.size()); i++) all.insert(all.end(), one.begin(), one.end());
  return all;
}

bool FakeBroker::publish(const std::string &topic, const std::string &payload, int, bool retain) {
  if (!up) return false;
  sent.push_back(Msg{topic, payload, retain});
  return true;
}

std::vector<std::string> FakeBroker::on(const std::string &topic) const {
  std::vector<std::string> out;
  for (const Msg &m : sent) {
    if (m.topic == topic) out.push_back(m.payload);
  }
  return out;
}

std::vector<Section> Gw::received() {
  Bytes wire(65536);
  ssize_t n = recv(far, wire.data(), wire.size(), MSG_DONTWAIT);
  std::vector<Section> out;
  if (n <= 0) return out;
  DecodePacket(wire.data(), static_cast<int>(n));
  for (size_t off = 0; off + PACKAGE_HEADER_LEN <= static_cast<size_t>(n);) {
    const uint8_t *p = wire.data() + off;
    size_t len = wire_get16(p + 1), pos = 0;
    for (unsigned i = 0; i < wire_section_count(p); i++) {
      WireSection sec = wire_next_section(p, &pos);
      out.emplace_back(sec.port, Bytes(sec.data, sec.data + sec.len));
    }
    off += len;
  }
  return out;
}

hub::Config HubTest::config() {
  hub::Config c;
  c.hub_id = "hub-a";
  c.gap_ms = 0;
  c.allow.ids = {"*"};
  c.mqtt.enabled = false;
  c.http_enabled = false;
  return c;
}

HubTest::HubTest(hub::Config cfg) : h(new hub::Hub(cfg)) {
  hub::log_mute(true);
  hub::hub_set_time(*h, now, wall);
  h->started_ms = wall;
  h->mqtt->pub = &broker;
}

HubTest::~HubTest() {
  h.reset();
  for (int fd : fds_) close(fd);
}

Gw HubTest::connect(uint32_t addr) {
  int sv[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
  fcntl(sv[0], F_SETFL, O_NONBLOCK);
  fds_.push_back(sv[1]);
  hub::Session &s = hub::gw_open(*h, sv[0], addr, 40000);
  return Gw{&s, sv[1]};
}

void HubTest::feed(Gw &g, const Bytes &plain, size_t piece) {
  Bytes wire(plain);
  EncodePacket(wire.data(), static_cast<int>(wire.size()));
  if (piece == 0) piece = wire.size();
  for (size_t off = 0; off < wire.size(); off += piece) {
    Bytes part(wire.begin() + static_cast<long>(off),
               wire.begin() + static_cast<long>(std::min(wire.size(), off + piece)));
    hub::gw_on_wire(*h, *g.s, part.data(), part.size());
  }
  pass();
}

void HubTest::online(Gw &g, const std::string &id) { feed(g, init_packet(id)); }

void HubTest::pass() {
  hub::gw_pump(*h);
  hub::exp_tick(*h);
  hub::cmd_tick(*h);
  hub::jobs_tick(*h);
  hub::mqtt_pump(*h);
  hub::gw_pump(*h);
}

void HubTest::advance(uint32_t ms) {
  for (uint32_t left = ms; left > 0;) {
    uint32_t step = left < 1000 ? left : 1000;
    now += step;
    wall += step;
    left -= step;
    hub::hub_set_time(*h, now, wall);
    hub::gw_tick(*h);
    pass();
  }
}

hub::GatewayRecord &HubTest::rec(const std::string &id) { return *hub::hub_find(*h, id); }

}  // namespace hubtest
