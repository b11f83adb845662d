// Packet layout of the server link: header checks, prefix and sections,
// the section walk, and the link's fixed arithmetic.
#include <string.h>

#include "qylink.h"

extern "C" {

uint16_t wire_get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t wire_get32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void wire_put16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void wire_put32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

WireHeader wire_check_header(const uint8_t *p, size_t avail, size_t *len) {
  if (avail < PACKAGE_HEADER_LEN) return WIRE_HEADER_PARTIAL;
  if (p[0] != PACKAGE_VER) return WIRE_HEADER_VERSION;
  if (p[3] > PACKAGE_TYPE_HEARTBEAT) return WIRE_HEADER_TYPE;
  if (p[4] > PACKAGE_MAX_IPLEN) return WIRE_HEADER_IPLEN;
  const size_t n = wire_get16(p + 1);
  if (n < PACKAGE_HEADER_LEN || n > PACKET_BUF_SIZE) return WIRE_HEADER_LENGTH;
  *len = n;
  return WIRE_HEADER_OK;
}

size_t wire_prefix_len(const uint8_t *p) { return PACKAGE_HEADER_LEN + p[4] + 1u; }

size_t wire_put_prefix(uint8_t *buf, size_t cap, uint8_t type, const char *ip, size_t iplen,
                       uint8_t signal) {
  const size_t end = PACKAGE_HEADER_LEN + iplen + 1;
  if (iplen > 0xFF || end > cap) return 0;
  buf[0] = PACKAGE_VER;
  wire_put16(buf + 1, 0);
  buf[3] = type;
  buf[4] = static_cast<uint8_t>(iplen);
  if (iplen > 0) memcpy(buf + PACKAGE_HEADER_LEN, ip, iplen);
  buf[end - 1] = signal;
  return end;
}

size_t wire_put_section(uint8_t *buf, size_t cap, size_t off, uint16_t port, const uint8_t *data,
                        size_t n) {
  if (n > 0xFFFF || off > cap || cap - off < PACKAGE_SECTION_HEAD + n) return 0;
  wire_put16(buf + off, port);
  wire_put16(buf + off + 2, static_cast<uint16_t>(n));
  if (data != nullptr && n > 0) memmove(buf + off + PACKAGE_SECTION_HEAD, data, n);
  return off + PACKAGE_SECTION_HEAD + n;
}

size_t wire_finish(uint8_t *buf, size_t len) {
  wire_put16(buf + 1, static_cast<uint16_t>(len));
  return len;
}

size_t wire_put_init(uint8_t *buf, size_t cap, const WireInit *init) {
  const char *texts[] = {init->model, init->alias, init->version};
  size_t need = PACKAGE_HEADER_LEN + init->iplen + 1 + 2 + 3 + 1 + 2 + 1 + 2 + INIT_RESERVED;
  for (const char *t : texts) need += strnlen(t, 0xFF);
  size_t off = wire_put_prefix(buf, cap, PACKAGE_TYPE_INIT, init->ip, init->iplen, init->signal);
  if (off == 0 || need > cap) return 0;
  buf[off++] = init->net;
  buf[off++] = 0;
  for (const char *t : texts) {
    const size_t n = strnlen(t, 0xFF);
    buf[off] = static_cast<uint8_t>(n);
    memcpy(buf + off + 1, t, n);
    off += 1 + n;
  }
  buf[off++] = init->ports;
  wire_put16(buf + off, init->heartbeat_s);
  buf[off + 2] = INIT_CONSTANT;
  wire_put16(buf + off + 3, init->server_delay);
  off += 5;
  memset(buf + off, 0, INIT_RESERVED);
  return wire_finish(buf, off + INIT_RESERVED);
}

int wire_sections_fit(const uint8_t *pkt, size_t len) {
  size_t off = wire_prefix_len(pkt);
  if (off >= len) return 0;
  const unsigned count = pkt[off++];
  for (unsigned i = 0; i < count; i++) {
    if (len - off < PACKAGE_SECTION_HEAD) return 0;
    const uint16_t port = wire_get16(pkt + off);
    const size_t n = wire_get16(pkt + off + 2);
    off += PACKAGE_SECTION_HEAD;
    if (len - off < n || (port == COM_PORT_VERIFY && n < VERIFY_CHALLENGE_LEN)) return 0;
    off += n;
  }
  return 1;
}

unsigned wire_section_count(const uint8_t *pkt) { return pkt[wire_prefix_len(pkt)]; }

WireSection wire_next_section(const uint8_t *pkt, size_t *off) {
  if (*off == 0) *off = wire_prefix_len(pkt) + 1;
  const uint8_t *head = pkt + *off;
  const size_t at = *off + PACKAGE_SECTION_HEAD;
  WireSection s = {wire_get16(head), wire_get16(head + 2), pkt + at, at};
  *off = at + s.len;
  return s;
}

int32_t wire_verify_answer(uint8_t x, uint8_t y) {
  const int32_t X = x, Y = y;
  return 5 * X * Y + 3 * Y * Y - 11;
}

unsigned wire_heartbeat_copies(size_t len) {
  if (len == 0) return 0;
  size_t s = len;
  while (s + len < HEARTBEAT_BURST_LIMIT) s += len;
  return static_cast<unsigned>(s / len - 1);
}

}  // extern "C"
