// Init fields, IDs and the hub's own packets.
#include "core/packet.h"

#include <string.h>

namespace hub {
namespace {

// Reads fields in order; once a read fails, every later read fails too.
struct Cursor {
  const uint8_t *p;
  size_t len, pos;
  bool ok = true;

  const uint8_t *take(size_t n) {
    if (!ok || len - pos < n) {
      ok = false;
      return nullptr;
    }
    pos += n;
    return p + pos - n;
  }
  uint8_t u8() {
    const uint8_t *q = take(1);
    return q ? *q : 0;
  }
  uint16_t u16() {
    const uint8_t *q = take(2);
    return q ? wire_get16(q) : 0;
  }
  std::string str() {
    size_t n = u8();
    const uint8_t *q = take(n);
    return q ? std::string(reinterpret_cast<const char *>(q), n) : std::string();
  }
};

constexpr size_t kInitReserved = 8;

}  // namespace

bool parse_init(const uint8_t *pkt, size_t len, InitInfo *out) {
  Cursor c{pkt, len, wire_prefix_len(pkt)};
  out->netif = c.u8();
  c.u8();  // reserved
  out->model = c.str();
  out->alias = c.str();
  out->version = c.str();
  out->ports = c.u8();
  out->heartbeat_s = c.u16();
  c.u8();   // constant
  c.u16();  // server delay
  c.take(kInitReserved);
  return c.ok;
}

bool id_usable(const uint8_t *p, size_t n) {
  if (n == 0 || n > kIdMax) return false;
  for (size_t i = 0; i < n; i++) {
    if (p[i] <= 0x20 || p[i] >= 0x7F || strchr("/+#\"\\", p[i]) != nullptr) return false;
  }
  return !(n == 3 && memcmp(p, "hub", 3) == 0);
}

size_t build_packet(uint16_t port, const uint8_t *data, size_t n, uint8_t *out, size_t cap) {
  if (n > kSectionMax) return 0;
  size_t off = wire_put_prefix(out, cap, PACKAGE_TYPE_DATA, "", 0, 0);
  if (off == 0 || off >= cap) return 0;
  out[off++] = 1;  // one section
  off = wire_put_section(out, cap, off, port, data, n);
  if (off == 0) return 0;
  wire_finish(out, off);
  EncodePacket(out, static_cast<int>(off));
  return off;
}

}  // namespace hub
