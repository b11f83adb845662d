// tls.ini: read over the defaults, one key a line, the last occurrence of a
// key winning; values are cut at CR/LF and to their field.
#include "tlsconf.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "linefile.h"
#include "settings.h"

TlsConf tlsConf;

namespace {

constexpr char kDefaultKey[] = "/quarne/qysc/tls/gateway.key";
constexpr char kDefaultCert[] = "/quarne/qysc/tls/gateway.crt";
constexpr int kLineBuf = 400;

template <size_t N>
void copy_text(char (&field)[N], const char *value) {
  snprintf(field, N, "%s", value);
}

int hex_digit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

void set_pin(TlsConf *c, const char *v) {
  uint8_t pin[TLS_PIN_LEN];
  const bool whole = strlen(v) == 2 * TLS_PIN_LEN;
  for (int i = 0; whole && i < TLS_PIN_LEN; i++) {
    const int hi = hex_digit(v[2 * i]), lo = hex_digit(v[2 * i + 1]);
    if (hi < 0 || lo < 0) break;
    pin[i] = static_cast<uint8_t>(hi << 4 | lo);
    if (i == TLS_PIN_LEN - 1) {
      memcpy(c->pin, pin, sizeof pin);
      c->havePin = 1;
      c->badPin = 0;
      return;
    }
  }
  c->havePin = 0;
  c->badPin = 1;
}

void set_handshake_ms(TlsConf *c, const char *v) {
  const uint32_t ms = StrToU32(v);
  c->handshakeMs = ms < TLS_HANDSHAKE_MS_MIN   ? TLS_HANDSHAKE_MS_MIN
                   : ms > TLS_HANDSHAKE_MS_MAX ? TLS_HANDSHAKE_MS_MAX
                                               : ms;
}

void set_retain_kb(TlsConf *c, const char *v) {
  const uint32_t kb = StrToU32(v);
  c->retainKb = kb < RETAIN_KB_MIN ? RETAIN_KB_MIN : kb > RETAIN_KB_MAX ? RETAIN_KB_MAX : kb;
}

struct TlsKey {
  std::string_view key;
  void (*apply)(TlsConf *c, const char *value);
};

constexpr TlsKey kKeys[] = {
    {"enable=", [](TlsConf *c, const char *v) { c->enable = StrToU32(v) == 1 ? 1 : 0; }},
    {"ca=", [](TlsConf *c, const char *v) { copy_text(c->ca, v); }},
    {"pin=", set_pin},
    {"name=", [](TlsConf *c, const char *v) { copy_text(c->name, v); }},
    {"key=", [](TlsConf *c, const char *v) { copy_text(c->key, v); }},
    {"cert=", [](TlsConf *c, const char *v) { copy_text(c->cert, v); }},
    {"handshake_ms=", set_handshake_ms},
    {"ack=", [](TlsConf *c, const char *v) { c->ack = StrToU32(v) == 0 ? 0 : 1; }},
    {"retain_kb=", set_retain_kb},
};

bool dotted_address(const char *host) {
  return host[0] != '\0' && strspn(host, "0123456789.") == strlen(host);
}

}  // namespace

void tls_conf_default(TlsConf *c) {
  memset(c, 0, sizeof *c);
  copy_text(c->key, kDefaultKey);
  copy_text(c->cert, kDefaultCert);
  c->handshakeMs = TLS_HANDSHAKE_MS_DEFAULT;
  c->ack = 1;
  c->retainKb = RETAIN_KB_DEFAULT;
}

void tls_conf_line(TlsConf *c, char *line) {
  line[strcspn(line, "\r\n")] = '\0';
  for (const TlsKey &k : kKeys) {
    if (strncmp(line, k.key.data(), k.key.size()) == 0) {
      k.apply(c, line + k.key.size());
      return;
    }
  }
}

int tls_conf_read(TlsConf *c, const char *path) {
  LineFile f(path);
  if (!f.ok()) return -1;
  char line[kLineBuf];
  while (f.gets(line, sizeof line)) tls_conf_line(c, line);
  return 0;
}

const char *tls_conf_problem(const TlsConf *c) {
  if (c->badPin != 0) return "pin= is not 64 hex digits";
  if (c->ca[0] == '\0' && c->havePin == 0) return "neither ca= nor pin= names the hub";
  return nullptr;
}

void tls_conf_path(const char *configPath, char *out, size_t size) {
  const char *slash = strrchr(configPath, '/');
  const int dir = slash == nullptr ? 0 : static_cast<int>(slash - configPath + 1);
  snprintf(out, size, "%.*stls.ini", dir, configPath);
}

const char *tls_server_name(const TlsConf *c, const char *serverHost) {
  if (c->name[0] != '\0') return c->name;
  return dotted_address(serverHost) ? "" : serverHost;
}
