// Init and data packets of a gateway, field by field, never reading past
// the packet.
#include "describe.h"

#include <stdio.h>
#include <string.h>

#include "bytes.h"
#include "out.h"
#include "qylink.h"

namespace console {
namespace {

// Reads fields in order; once a read fails, every later read fails too.
struct Cursor {
  const uint8_t *p;
  size_t len;
  size_t pos;
  const char *failed_at;

  bool take(size_t n, const char *field) {
    if (failed_at) return false;
    if (len - pos < n) {
      failed_at = field;
      return false;
    }
    pos += n;
    return true;
  }
  unsigned u8(const char *field) { return take(1, field) ? p[pos - 1] : 0; }
  unsigned u16(const char *field) { return take(2, field) ? wire_get16(p + pos - 2) : 0; }
  // A length-prefixed string, shown as quoted escaped text.
  void str(const char *field, char *out, size_t cap) {
    unsigned n = u8(field);
    const uint8_t *s = p + pos;
    if (take(n, field)) {
      fmt_text(s, n, out, cap);
    } else {
      out[0] = '\0';
    }
  }
};

constexpr size_t kInitReserved = 8;
constexpr size_t kStrRoom = text_room(255);

void print_section(int gw, unsigned port, const uint8_t *d, size_t n) {
  static char text[text_room(kPacketMax)];
  fmt_text(d, n, text, sizeof text);
  if (port == COM_PORT_QYCOM || port == COM_PORT_QYIO) {
    out_line("gw%d port%u len=%zu text=\"%s\"", gw, port, n, text);
    return;
  }
  static char hex[hex_room(kPacketMax)];
  fmt_hex(d, n, hex, sizeof hex);
  out_line("gw%d port%u len=%zu text=\"%s\" hex=%s", gw, port, n, text, hex);
}

void check_verify(Receiver &rx, const uint8_t *d, size_t n) {
  if (n != VERIFY_ANSWER_LEN) {
    out_line("gw%d malformed: verify answer of %zu bytes (want 4)", rx.gw, n);
    return;
  }
  int32_t answer = static_cast<int32_t>(wire_get32(d));
  if (!rx.verify_pending) {
    out_line("gw%d verify answer=%d unsolicited", rx.gw, static_cast<int>(answer));
    return;
  }
  rx.verify_pending = false;
  out_line("gw%d verify answer=%d expected=%d %s", rx.gw, static_cast<int>(answer),
           static_cast<int>(rx.verify_expect), answer == rx.verify_expect ? "match" : "mismatch");
}

// One section at c; false when it runs past the packet (reported).
bool take_section(Receiver &rx, Cursor &c, unsigned index) {
  size_t head = c.pos;
  if (!c.take(PACKAGE_SECTION_HEAD, "section head")) {
    out_line("gw%d malformed: section %u head runs past the packet", rx.gw, index);
    return false;
  }
  unsigned port = wire_get16(c.p + head);
  size_t n = wire_get16(c.p + head + 2);
  const uint8_t *d = c.p + c.pos;
  if (!c.take(n, "section data")) {
    out_line("gw%d malformed: section %u port%u len=%zu runs past the packet (%zu bytes left)",
             rx.gw, index, port, n, c.len - c.pos);
    return false;
  }
  if (port == COM_PORT_VERIFY) {
    check_verify(rx, d, n);
  } else {
    print_section(rx.gw, port, d, n);
  }
  if (rx.on_section) rx.on_section(rx.ctx, rx.gw, port, d, n);
  return true;
}

}  // namespace

size_t prefix_len(const uint8_t *pkt) { return wire_prefix_len(pkt); }

void describe_prefix(const uint8_t *pkt, char *out, size_t cap) {
  char ip[text_room(PACKAGE_MAX_IPLEN)];
  fmt_text(pkt + kHeaderLen, pkt[4], ip, sizeof ip);
  snprintf(out, cap, "ip=\"%s\" signal=%u", ip, pkt[prefix_len(pkt) - 1]);
}

void describe_init(int gw, const uint8_t *pkt, size_t len) {
  Cursor c{pkt, len, prefix_len(pkt), nullptr};
  char model[kStrRoom], alias[kStrRoom], version[kStrRoom];
  unsigned net = c.u8("network interface");
  unsigned rsv = c.u8("reserved byte");
  c.str("model name", model, sizeof model);
  c.str("alias", alias, sizeof alias);
  c.str("version", version, sizeof version);
  unsigned ports = c.u8("port count");
  unsigned heartbeat = c.u16("heartbeat period");
  unsigned constant = c.u8("constant");
  unsigned delay = c.u16("server delay");
  const uint8_t *reserved = pkt + c.pos;
  if (!c.take(kInitReserved, "reserved bytes")) {
    out_line("gw%d malformed: init packet of %zu bytes ends inside the %s", gw, len, c.failed_at);
    return;
  }
  char prefix[128], res[hex_room(kInitReserved)];
  describe_prefix(pkt, prefix, sizeof prefix);
  fmt_hex(reserved, kInitReserved, res, sizeof res);
  out_line("gw%d init %s net=%u rsv=%u model=\"%s\" alias=\"%s\" version=\"%s\" ports=%u "
           "heartbeat=%u const=%u delay=%u reserved=%s",
           gw, prefix, net, rsv, model, alias, version, ports, heartbeat, constant, delay, res);
  if (c.pos < len) out_line("gw%d malformed: %zu bytes after the init fields", gw, len - c.pos);
}

void describe_data(Receiver &rx, const uint8_t *pkt, size_t len) {
  Cursor c{pkt, len, prefix_len(pkt), nullptr};
  unsigned count = c.u8("section count");
  if (c.failed_at) {
    out_line("gw%d malformed: data packet of %zu bytes has no section count", rx.gw, len);
    return;
  }
  char prefix[128];
  describe_prefix(pkt, prefix, sizeof prefix);
  out_line("gw%d data %s sections=%u len=%zu", rx.gw, prefix, count, len);
  for (unsigned i = 1; i <= count; i++) {
    if (!take_section(rx, c, i)) return;
  }
  if (c.pos < len) out_line("gw%d malformed: %zu bytes after the last section", rx.gw, len - c.pos);
}

}  // namespace console
