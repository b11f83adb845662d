// simgate's handling of the modem's answers: the rate probe and the SIM
// state and PIN exchanges against a modem played from the input, with any
// PIN argument. Whatever the modem says, every command that goes to it is
// one AT command line (no control character but its CR LF, no command
// separator), and the run ends with one of the four exit statuses.
//
// The serial layer is replaced in this program: each exchange's answer is
// put in the port's queue while simgate waits its second, and the rest of
// the answer arrives after simgate has read (a late answer, which the next
// exchange must drop). The waits themselves take no time here.
//
// Input:
//   byte  bit 0: the port cannot be opened
//   byte  PIN length (mod 8), then the PIN bytes (a NUL ends the argument)
//   per exchange: byte length, the answer; byte length, the late part
#include <string.h>
#include <time.h>

#include <string_view>

#include "fuzzkit.h"
#include "simgate.h"
#include "uart.h"

namespace {

constexpr int kModemPort = simgate::kModemPort;
constexpr size_t kQueueMax = 1024;

struct Modem {
  fuzzkit::Reader *script;
  bool open_fails;
  bool open;
  uint8_t queue[kQueueMax];
  size_t len;
};

Modem g_modem;
thread_local bool tl_in_input = false;  // libFuzzer's own threads sleep for real

void arrive(size_t n) {
  const uint8_t *p = nullptr;
  n = g_modem.script->take(n, &p);
  if (n > kQueueMax - g_modem.len) n = kQueueMax - g_modem.len;
  memcpy(g_modem.queue + g_modem.len, p, n);
  g_modem.len += n;
}

void check_command(const char *cmd, int len) {
  const std::string_view c(cmd, len > 0 ? static_cast<size_t>(len) : 0);
  if (c.size() < 4 || c.substr(0, 2) != "AT" || c.substr(c.size() - 2) != "\r\n") {
    fuzzkit::fail("not one AT command line: \"%.*s\"", static_cast<int>(c.size()), c.data());
  }
  for (size_t i = 0; i + 2 < c.size(); i++) {
    const unsigned char ch = static_cast<unsigned char>(c[i]);
    if (ch < 0x20 || ch == 0x7F || ch == ';') {
      fuzzkit::fail("command carries byte 0x%02X: \"%.*s\"", ch, static_cast<int>(c.size()),
                    c.data());
    }
  }
}

void real_sleep_ms(unsigned long ms) {
  struct timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

}  // namespace

// ---- the serial layer of this program
extern "C" int Open_Com(unsigned char port, int, char, char, char) {
  if (port != kModemPort || g_modem.open_fails) return COM_ERR_OPEN;
  if (g_modem.open) return COM_ERR_IN_USE;
  g_modem.open = true;
  return COM_OK;
}

extern "C" int Close_Com(unsigned char) {
  g_modem.open = false;
  return COM_OK;
}

extern "C" int Send_Binary(unsigned char port, char *cmd, int len) {
  if (port != kModemPort || !g_modem.open) return COM_ERR_NOT_OPEN;
  check_command(cmd, len);
  return COM_OK;
}

extern "C" int Receive_Binary(unsigned char port, char *buf, int len) {
  if (port != kModemPort || !g_modem.open || len < 0) return -3;
  size_t n = g_modem.len < static_cast<size_t>(len) ? g_modem.len : static_cast<size_t>(len);
  memcpy(buf, g_modem.queue, n);
  memmove(g_modem.queue, g_modem.queue + n, g_modem.len - n);
  g_modem.len -= n;
  arrive(g_modem.script->byte());  // the late part of the answer
  return static_cast<int>(n);
}

extern "C" DWORD DataSizeInCom(int port) { return port == kModemPort ? g_modem.len : 0; }

// The answer comes while simgate waits for it.
extern "C" unsigned int sleep(unsigned int seconds) {
  if (tl_in_input) {
    arrive(g_modem.script->byte());
    return 0;
  }
  real_sleep_ms(1000ul * seconds);
  return 0;
}

extern "C" int usleep(useconds_t us) {
  if (!tl_in_input) real_sleep_ms(us / 1000);
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzkit::quiet_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzzkit::Reader in(data, size);
  memset(&g_modem, 0, sizeof g_modem);
  g_modem.script = &in;
  g_modem.open_fails = (in.byte() & 0x01) != 0;
  char pin[8] = {};
  const uint8_t *p = nullptr;
  const size_t n = in.take(in.byte() % sizeof pin, &p);
  memcpy(pin, p, n);
  pin[sizeof pin - 1] = '\0';

  tl_in_input = true;
  int status = simgate::probe_modem();
  if (status == simgate::kExitOk) status = simgate::unlock(pin);
  Close_Com(kModemPort);
  tl_in_input = false;
  if (status < simgate::kExitOk || status > simgate::kExitOtherCode) {
    fuzzkit::fail("exit status %d", status);
  }
  return 0;
}
