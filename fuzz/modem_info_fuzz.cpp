// The daemon's modem information reader on any file content (celmon
// replaces the file while the daemon reads it, so any part of any content
// may be met). The derived state always stays in its range.
#include "fuzzkit.h"
#include "settings.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzkit::quiet_stdout();
  fuzzkit::board(resultFile);  // the sandbox
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzzkit::write_file(resultFile, data, size);
  modemSignal = 0;
  modemCREG = 0;
  netInterface = 0;
  if (ReadModemInfo() != 0) fuzzkit::fail("the modem information file was not read");
  if (modemSignal > 100 || modemCREG > 5 || netInterface > 1) {
    fuzzkit::fail("modem state out of range: signal %u, registration %u, interface %u", modemSignal,
                  modemCREG, netInterface);
  }
  return 0;
}
