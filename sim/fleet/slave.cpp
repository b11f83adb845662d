// The Modbus RTU slave a simulated gateway has on its bridged line:
// holding registers 0..127, read (0x03, 0x04 the same table) and written
// (0x06, 0x10); exceptions 01, 02, 03 as a real slave sends them.
#include <string.h>

#include "gwlink.h"
#include "mbtcp.h"

namespace fleet {
namespace {

constexpr uint8_t kIllegalFunction = 0x01;
constexpr uint8_t kIllegalAddress = 0x02;
constexpr uint8_t kIllegalValue = 0x03;
constexpr unsigned kReadMax = 125;
constexpr unsigned kWriteMax = 123;

using mbtcp::be16;
using mbtcp::put_be16;

size_t exception(const uint8_t *req, uint8_t code, uint8_t *out, bool *exc) {
  out[0] = req[0];
  out[1] = static_cast<uint8_t>(req[1] | 0x80);
  out[2] = code;
  *exc = true;
  return 3;
}

bool in_range(unsigned addr, unsigned count) { return addr + count <= kRegisters; }

size_t read_regs(Slave &s, const uint8_t *req, size_t n, uint8_t *out, size_t cap, bool *exc) {
  if (n != 6) return exception(req, kIllegalValue, out, exc);
  const unsigned addr = be16(req + 2), count = be16(req + 4);
  if (count < 1 || count > kReadMax || cap < 3 + 2 * count) {
    return exception(req, kIllegalValue, out, exc);
  }
  if (!in_range(addr, count)) return exception(req, kIllegalAddress, out, exc);
  out[0] = req[0];
  out[1] = req[1];
  out[2] = static_cast<uint8_t>(2 * count);
  for (unsigned i = 0; i < count; i++) put_be16(out + 3 + 2 * i, s.regs[addr + i]);
  return 3 + 2 * count;
}

size_t write_one(Slave &s, const uint8_t *req, size_t n, uint8_t *out, bool *exc) {
  if (n != 6) return exception(req, kIllegalValue, out, exc);
  const unsigned addr = be16(req + 2);
  if (!in_range(addr, 1)) return exception(req, kIllegalAddress, out, exc);
  s.regs[addr] = static_cast<uint16_t>(be16(req + 4));
  memcpy(out, req, 6);
  return 6;
}

size_t write_many(Slave &s, const uint8_t *req, size_t n, uint8_t *out, bool *exc) {
  if (n < 7) return exception(req, kIllegalValue, out, exc);
  const unsigned addr = be16(req + 2), count = be16(req + 4);
  if (count < 1 || count > kWriteMax || req[6] != 2 * count || n != 7 + 2 * count) {
    return exception(req, kIllegalValue, out, exc);
  }
  if (!in_range(addr, count)) return exception(req, kIllegalAddress, out, exc);
  for (unsigned i = 0; i < count; i++) s.regs[addr + i] = static_cast<uint16_t>(be16(req + 7 + 2 * i));
  memcpy(out, req, 6);
  return 6;
}

}  // namespace

uint16_t slave_pattern(uint32_t k, int a) { return static_cast<uint16_t>(k * 256u + static_cast<uint32_t>(a)); }

void slave_init(Slave &s, uint32_t k, uint8_t unit) {
  s.unit = unit;
  for (int a = 0; a < kRegisters; a++) s.regs[a] = slave_pattern(k, a);
}

size_t slave_answer(Slave &s, const uint8_t *req, size_t n, uint8_t *out, size_t cap, bool *exc) {
  *exc = false;
  if (n < 2 || cap < 8 || req[0] != s.unit) return 0;
  switch (req[1]) {
    case 0x03:
    case 0x04: return read_regs(s, req, n, out, cap, exc);
    case 0x06: return write_one(s, req, n, out, exc);
    case 0x10: return write_many(s, req, n, out, exc);
    default: return exception(req, kIllegalFunction, out, exc);
  }
}

}  // namespace fleet
