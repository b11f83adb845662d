// Key fingerprints as text, and a gateway's revoked keys.
#include <algorithm>

#include "core/hub.h"

namespace hub {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string fp_hex(const Fingerprint &f) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out(2 * f.size(), '0');
  for (size_t i = 0; i < f.size(); i++) {
    out[2 * i] = kDigits[f[i] >> 4];
    out[2 * i + 1] = kDigits[f[i] & 15];
  }
  return out;
}

bool fp_parse(const char *text, size_t n, Fingerprint *out) {
  if (n != 2 * out->size()) return false;
  Fingerprint f{};
  for (size_t i = 0; i < f.size(); i++) {
    int hi = hex_digit(text[2 * i]), lo = hex_digit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    f[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  *out = f;
  return true;
}

bool GatewayKeys::is_revoked(const Fingerprint &f) const {
  return std::find(revoked.begin(), revoked.end(), f) != revoked.end();
}

}  // namespace hub
