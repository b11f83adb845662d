// The secure link's settings file (tls.ini) on any content: it is always
// read, every text setting ends terminated within its field, the handshake
// bound stays within its limits, a pin is either whole or refused, and a
// file that is on but names no usable check of the hub is always refused.
#include <string.h>

#include "fuzzkit.h"
#include "tlsconf.h"

namespace {

constexpr char kPath[] = "/quarne/qysc/tls.ini";

template <size_t N>
void check_terminated(const char (&field)[N], const char *name) {
  if (memchr(field, '\0', N) == nullptr) fuzzkit::fail("%s is not terminated", name);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzkit::quiet_stdout();
  fuzzkit::board(kPath);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzzkit::write_file(kPath, data, size);
  TlsConf c;
  tls_conf_default(&c);
  if (tls_conf_read(&c, kPath) != 0) fuzzkit::fail("tls.ini was not read");
  check_terminated(c.ca, "ca");
  check_terminated(c.name, "name");
  check_terminated(c.key, "key");
  check_terminated(c.cert, "cert");
  if (c.handshakeMs < TLS_HANDSHAKE_MS_MIN || c.handshakeMs > TLS_HANDSHAKE_MS_MAX) {
    fuzzkit::fail("handshake bound %u out of its limits", c.handshakeMs);
  }
  if (c.enable != 0 && c.enable != 1) fuzzkit::fail("enable is %d", c.enable);
  if (c.havePin != 0 && c.badPin != 0) fuzzkit::fail("a pin both taken and refused");
  const bool checkable = (c.ca[0] != '\0' || c.havePin != 0) && c.badPin == 0;
  if ((tls_conf_problem(&c) == nullptr) != checkable) {
    fuzzkit::fail("a file that names no usable check of the hub was taken, or one that does refused");
  }
  const char *name = tls_server_name(&c, "hub.example");
  if (strlen(name) >= TLS_NAME_MAX && name != c.name) fuzzkit::fail("server name too long");
  return 0;
}
