// One poll cycle: reopen the modem port, run the three queries, check the
// PPP interface, replace the file, release the port. A cycle that cannot
// send every query leaves the file alone.
#include <stdio.h>
#include <string.h>

#include "celmon.h"
#include "uart.h"

namespace celmon {

namespace {

constexpr const char *kPppInterface = "ppp0";
constexpr int kQueryOrder[] = {QUERY_CPIN, QUERY_CREG, QUERY_CSQ};

}  // namespace

bool poll_cycle(int rate, const char *path) {
  Close_Com(kModemPort);
  int rc = Open_Com(kModemPort, rate, 8, 0, 0);
  if (rc != COM_OK) {
    PrintMsg("Couldn't Open MODEM PORT=%d , Error Coe=%d\r\n", kModemPort, rc);
    Close_Com(kModemPort);
    return false;
  }
  char result[kResultSize];
  memset(result, 0, sizeof result);
  for (int code : kQueryOrder) {
    if (modem_query(code, kQueryWindowMs, result, sizeof result) != 0) {
      // The modem went away in the middle (a USB modem unplugged): a file
      // with lines missing would stand for the modem until it is back, so
      // the last whole one stays, as when the port cannot be opened at all.
      PrintMsg("modem lost during the queries, file left as it was\r\n");
      Close_Com(kModemPort);
      return false;
    }
  }

  bool ppp = check_interface(kPppInterface);
  append_text(result, sizeof result, ppp ? "ppp0=1\r\n" : "ppp0=0\r\n");
  printf(ppp ? "ppp0=1\r\n" : "ppp0=0\r\n");

  save_result(path, result, strlen(result));
  Close_Com(kModemPort);
  return true;
}

}  // namespace celmon
