// Packets of a simulated gateway, laid out as the daemon lays out its own,
// and the dispatch of a server section to its answer.
#include "gwlink.h"

#include <stdio.h>
#include <string.h>

#include "mbtcp.h"

namespace fleet {
namespace {

using mbtcp::kMbapLen;

constexpr char kModel[] = "TRM-310";
constexpr char kVersion[] = "V1.01";
constexpr uint8_t kComNum = 2;
constexpr uint16_t kServerDelay = 50;

size_t put_prefix(const Identity &who, uint8_t type, uint8_t *buf) {
  return wire_put_prefix(buf, PACKET_BUF_SIZE, type, who.id, who.id_len, who.signal);
}

Reply verify_answer(const WireSection &s, uint8_t *out) {
  wire_put32(out, static_cast<uint32_t>(wire_verify_answer(s.data[0], s.data[1])));
  return {Answer::kVerify, COM_PORT_VERIFY, VERIFY_ANSWER_LEN, false, false};
}

// The bridge keeps the request's first six bytes, puts the RTU frame's
// length (unit id and PDU) in the MBAP length and appends the frame.
Reply modbus_answer(Slave &slave, const WireSection &s, uint8_t *out, size_t cap) {
  Reply r = {Answer::kModbusIgnored, COM_PORT_RS485, 0, false, false};
  if (s.len < mbtcp::kMinAdu || cap < kMbapLen) return r;
  bool exception = false;
  const size_t n = slave_answer(slave, s.data + kMbapLen, s.len - kMbapLen, out + kMbapLen,
                                cap - kMbapLen, &exception);
  if (n == 0) return r;
  memcpy(out, s.data, 4);
  mbtcp::put_be16(out + 4, static_cast<unsigned>(n));
  r.kind = exception ? Answer::kModbusException : Answer::kModbus;
  r.len = kMbapLen + n;
  return r;
}

Reply port2_answer(const Behaviour &how, const WireSection &s, uint8_t *out, size_t cap) {
  if (how.port2 == Port2Mode::kRecord || s.len > cap) {
    return {Answer::kRecorded, COM_PORT_RS232, 0, false, false};
  }
  memcpy(out, s.data, s.len);
  return {Answer::kEcho, COM_PORT_RS232, s.len, false, false};
}

}  // namespace

bool identity_init(Identity &who, const char *id, const char *alias, uint8_t signal,
                   uint16_t heartbeat_s) {
  if (strlen(id) > kIdMax || strlen(alias) > kAliasMax) return false;
  memset(&who, 0, sizeof who);
  snprintf(who.id, sizeof who.id, "%s", id);
  who.id_len = static_cast<uint8_t>(strlen(id));
  snprintf(who.alias, sizeof who.alias, "%s", alias);
  who.signal = signal;
  who.heartbeat_s = heartbeat_s;
  return true;
}

size_t build_init(const Identity &who, uint8_t *buf) {
  const WireInit init = {who.id,    who.id_len, who.signal,      who.net,     kModel,
                         who.alias, kVersion,   kComNum,         who.heartbeat_s, kServerDelay};
  return wire_put_init(buf, PACKET_BUF_SIZE, &init);
}

size_t build_heartbeat(const Identity &who, uint8_t *buf) {
  return wire_finish(buf, put_prefix(who, PACKAGE_TYPE_HEARTBEAT, buf));
}

size_t build_heartbeat_burst(const Identity &who, uint8_t *buf) {
  const size_t len = build_heartbeat(who, buf);
  const unsigned copies = wire_heartbeat_copies(len);
  for (unsigned i = 1; i < copies; i++) memcpy(buf + i * len, buf, len);
  return copies > 0 ? copies * len : len;
}

size_t data_capacity(const Identity &who) {
  return PACKET_BUF_SIZE - (PACKAGE_HEADER_LEN + who.id_len + 1 + 1 + PACKAGE_SECTION_HEAD);
}

size_t build_data(const Identity &who, uint16_t port, const uint8_t *data, size_t n, uint8_t *buf) {
  if (n > data_capacity(who)) return 0;
  size_t off = put_prefix(who, PACKAGE_TYPE_DATA, buf);
  buf[off++] = 1;
  off = wire_put_section(buf, PACKET_BUF_SIZE, off, port, data, n);
  return off == 0 ? 0 : wire_finish(buf, off);
}

size_t burst_payload(const char *id, uint16_t port, uint32_t seq, size_t len, uint8_t *out,
                     size_t cap) {
  char head[64];
  const int h = snprintf(head, sizeof head, "#%s/%u/%u/%zu:", id, port, seq, len);
  if (h < 0 || static_cast<size_t>(h) > len || len > cap) return 0;
  memcpy(out, head, static_cast<size_t>(h));
  for (size_t i = static_cast<size_t>(h); i < len; i++) {
    out[i] = static_cast<uint8_t>('a' + (seq + (i - static_cast<size_t>(h))) % 26);
  }
  return len;
}

Reply answer_section(const Identity &who, Slave &slave, const Behaviour &how, const WireSection &s,
                     uint8_t *out, size_t cap) {
  switch (s.port) {
    case COM_PORT_VERIFY: return verify_answer(s, out);
    case COM_PORT_RS485: return modbus_answer(slave, s, out, cap);
    case COM_PORT_RS232: return port2_answer(how, s, out, cap);
    case COM_PORT_QYCOM:
    case COM_PORT_QYIO: {
      Reply r = {s.port == COM_PORT_QYCOM ? Answer::kCommand : Answer::kConfig, s.port, 0, false,
                 false};
      r.len = command_replies(who, s.port, s.data, s.len, out, cap, &r.relink, &r.reboot);
      if (r.len == 0) r.kind = Answer::kNone;
      return r;
    }
    default: return {Answer::kNone, 0, 0, false, false};
  }
}

}  // namespace fleet
