// The daemon's configuration file reader on any file content, then the
// save and read round trip: whatever a file set, the eight saved settings
// read back from the saved file exactly as they were.
#include <string.h>

#include "fuzzkit.h"
#include "settings.h"

namespace {

constexpr char kConfigPath[] = "/quarne/qysc/qyserver.ini";

// The eight settings a save writes.
struct Saved {
  char server_ip[sizeof baseInfo.ucServerIP];
  uint16_t server_port;
  char virtual_ip[sizeof baseInfo.ucVirtualIP];
  char alias[sizeof baseInfo.ucModuleAlias];
  uint16_t heartbeat;
  uint32_t time_interval;
  uint32_t data_max;
  uint16_t debug;
};

Saved saved_settings() {
  Saved s;
  memset(&s, 0, sizeof s);
  memcpy(s.server_ip, baseInfo.ucServerIP, sizeof s.server_ip);
  s.server_port = baseInfo.usServerPort;
  memcpy(s.virtual_ip, baseInfo.ucVirtualIP, sizeof s.virtual_ip);
  memcpy(s.alias, baseInfo.ucModuleAlias, sizeof s.alias);
  s.heartbeat = baseInfo.usHeartbeatTime;
  s.time_interval = baseInfo.UartTimeInterval[1];
  s.data_max = baseInfo.UartDataMax[1];
  s.debug = baseInfo.usDebug;
  return s;
}

// Text fields hold a terminated text; what follows the terminator is not
// part of the setting.
bool same(const Saved &a, const Saved &b) {
  return strcmp(a.server_ip, b.server_ip) == 0 && a.server_port == b.server_port &&
         strcmp(a.virtual_ip, b.virtual_ip) == 0 && strcmp(a.alias, b.alias) == 0 &&
         a.heartbeat == b.heartbeat && a.time_interval == b.time_interval &&
         a.data_max == b.data_max && a.debug == b.debug;
}

void check_terminated(const char *field, size_t size, const char *name) {
  if (memchr(field, '\0', size) == nullptr) fuzzkit::fail("%s is not terminated", name);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzkit::quiet_stdout();
  fuzzkit::board(kConfigPath);  // the sandbox
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzzkit::write_file(kConfigPath, data, size);
  SetConfigFile(kConfigPath);
  Default_BaseInfo();
  if (ReadConfig() != 0) fuzzkit::fail("the configuration file was not read");
  check_terminated(baseInfo.ucServerIP, sizeof baseInfo.ucServerIP, "ServerIP");
  check_terminated(baseInfo.ucVirtualIP, sizeof baseInfo.ucVirtualIP, "VirtualIP");
  check_terminated(baseInfo.ucModuleAlias, sizeof baseInfo.ucModuleAlias, "ModuleAlias");
  const Saved before = saved_settings();
  if (SaveConfig() != 0) fuzzkit::fail("the configuration was not saved");
  Default_BaseInfo();
  ReadConfig();
  const Saved after = saved_settings();
  if (!same(before, after)) {
    fuzzkit::fail(
        "a saved setting reads back differently: ServerIP \"%s\"/\"%s\" VirtualIP "
        "\"%s\"/\"%s\" ModuleAlias \"%s\"/\"%s\"",
        before.server_ip, after.server_ip, before.virtual_ip, after.virtual_ip, before.alias,
        after.alias);
  }
  return 0;
}
