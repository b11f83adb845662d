// Rate probing: "AT" at each rate of the list until the modem answers OK.
#include <string.h>
#include <unistd.h>

#include <string_view>

#include "celmon.h"
#include "uart.h"

namespace celmon {

namespace {

constexpr int kProbeRates[] = {115200, 57600, 38400, 19200, 9600, 230400, 460800, 921600};
constexpr useconds_t kAnswerWaitUs = 500000;
constexpr size_t kProbeBufSize = 256;
constexpr int kProbeReadMax = 200;

bool has_ok(const char *reply, int n) {
  if (n <= 0) return false;
  return std::string_view(reply, static_cast<size_t>(n)).find("\r\nOK\r\n") != std::string_view::npos;
}

// One try; true when the modem answered at `rate` (port left open).
// Sets *open_error when the port could not be opened.
bool try_rate(int rate, int *open_error) {
  PrintMsg("--> try baudrate = %d\r\n", rate);
  int rc = Open_Com(kModemPort, rate, 8, 0, 0);
  if (rc != COM_OK) {
    PrintMsg("Couldn't Open MODEM PORT=%d , Error Coe=%d\r\n", kModemPort, rc);
    *open_error = rc;
    return false;
  }
  char at[] = "AT\r\n";
  Send_Binary(kModemPort, at, 4);
  usleep(kAnswerWaitUs);
  char reply[kProbeBufSize];
  memset(reply, 0, sizeof reply);
  int n = Receive_Binary(kModemPort, reply, kProbeReadMax);
  if (has_ok(reply, n)) {
    PrintMsg("OK : received data [%d]:%s", n, reply);
    PrintMsg("baudrate=%d\r\n", rate);
    return true;
  }
  PrintMsg("Err : received data [%d]:%s\r\n", n, reply);
  usleep(1000);
  Close_Com(kModemPort);
  return false;
}

}  // namespace

int probe_rate() {
  for (int rate : kProbeRates) {
    int open_error = 0;
    if (try_rate(rate, &open_error)) return rate;
    if (open_error != 0) return -kExitNoPort;
  }
  PrintMsg("couldn't communicate with modem\r\n");
  PrintMsg("baudrate=error\r\n");
  return -kExitNoAnswer;
}

}  // namespace celmon
