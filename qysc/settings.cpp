// Settings record with its defaults, the configuration file (read, and
// saved atomically), and the modem information file written by celmon.
#include "settings.h"

#include <ctype.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string_view>

#include "linefile.h"
#include "qycomm.h"
#include "sandbox.h"

BASE_INFO baseInfo;
char cModuleName[8] = "TRM-310";
char cFWVersion[6] = "V1.01";
char cFWDate[11] = "2014/01/29";
char configFile[CONFIG_PATH_MAX] = "/quarne/qysc/qyserver.ini";
char resultFile[22] = "/quarne/modemInfo.txt";
uint8_t modemSignal = 0;
uint8_t modemCREG = 0;
uint8_t netInterface = 1;

namespace {

constexpr char kDefaultServerIP[] = "192.168.10.20";  // private network, 13 characters
constexpr char kDefaultVirtualIP[] = "127.0.0.101";   // loopback range, 11 characters
constexpr int kLineBuf = 100;                         // lines are taken in pieces of 99 bytes

template <size_t N>
void copy_text(char (&field)[N], const char *value) {
  // Longer values are cut to the field; it stays NUL-terminated.
  snprintf(field, N, "%s", value);
}

bool starts_with(const char *line, std::string_view key) {
  return strncmp(line, key.data(), key.size()) == 0;
}

// Value after the key: up to the first CR or LF, leading CR/LF skipped;
// null when nothing is left.
char *line_value(char *line, size_t keylen) {
  char *v = line + keylen;
  v += strspn(v, "\r\n");
  if (*v == '\0') return nullptr;
  v[strcspn(v, "\r\n")] = '\0';
  return v;
}

void set_format(COM_INFO &com, const char *v) {
  const size_t n = strlen(v);
  const char data = n > 0 ? v[0] : '\0';
  const char parity = n > 1 ? v[1] : '\0';
  const char stop = n > 2 ? v[2] : '\0';
  com.databit = data == '7' ? 7 : 8;
  com.parity = parity == 'O' ? 1 : parity == 'E' ? 2 : 0;
  com.stopbit = stopbit_code(stop);
}

// %ld as the board prints it: a 32-bit long.
long board_long(uint32_t v) { return static_cast<long>(static_cast<int32_t>(v)); }

// One configuration key: how its value is stored and logged.
struct ConfigKey {
  std::string_view key;
  void (*apply)(char *value);
};

constexpr ConfigKey kConfigKeys[] = {
    {"ServerIP=", [](char *v) {
       copy_text(baseInfo.ucServerIP, v);
       PrintMsg("ServerIP : %s\r\n", baseInfo.ucServerIP);
     }},
    {"ServerPort=", [](char *v) {
       baseInfo.usServerPort = static_cast<uint16_t>(StrToU32(v));
       PrintMsg("ServerPort : %d\r\n", baseInfo.usServerPort);
     }},
    {"VirtualIP=", [](char *v) {
       copy_text(baseInfo.ucVirtualIP, v);
       PrintMsg("VirtualIP : %s\r\n", baseInfo.ucVirtualIP);
     }},
    {"ModuleAlias=", [](char *v) {
       copy_text(baseInfo.ucModuleAlias, v);
       PrintMsg("ModuleAlias : %s\r\n", baseInfo.ucModuleAlias);
     }},
    {"HeartbeatTime=", [](char *v) {
       baseInfo.usHeartbeatTime = static_cast<uint16_t>(StrToU32(v));
       PrintMsg("HeartbeatTime : %d\r\n", baseInfo.usHeartbeatTime);
     }},
    {"TimeInterval=", [](char *v) {
       baseInfo.UartTimeInterval[1] = baseInfo.UartTimeInterval[2] = StrToU32(v);
       PrintMsg("TimeInterval : %d\r\n", static_cast<int>(baseInfo.UartTimeInterval[1]));
     }},
    {"UartDataMax=", [](char *v) {
       baseInfo.UartDataMax[1] = baseInfo.UartDataMax[2] = StrToU32(v);
       PrintMsg("UartDataMax : %d\r\n", static_cast<int>(baseInfo.UartDataMax[1]));
     }},
    {"Debug=", [](char *v) {
       baseInfo.usDebug = static_cast<uint16_t>(StrToU32(v));
       PrintMsg("Debug : %d\r\n", baseInfo.usDebug);
     }},
    {"Baudrate1=", [](char *v) {
       baseInfo.comInfo[1].baud = StrToU32(v);
       PrintMsg("com[1].baud = %ld\r\n", board_long(baseInfo.comInfo[1].baud));
     }},
    {"Baudrate2=", [](char *v) {
       baseInfo.comInfo[2].baud = StrToU32(v);
       PrintMsg("com[2].baud = %ld\r\n", board_long(baseInfo.comInfo[2].baud));
     }},
    {"Format1=", [](char *v) {
       set_format(baseInfo.comInfo[1], v);
       PrintMsg("com[1] format = %s\r\n", v);
     }},
    {"Format2=", [](char *v) {
       set_format(baseInfo.comInfo[2], v);
       PrintMsg("com[2] format = %s\r\n", v);
     }},
    {"IsTCP2RTU1=", [](char *v) {
       baseInfo.isTCP2RTU1 = static_cast<uint8_t>(StrToU32(v));
       PrintMsg("baseInfo.isTCP2RTU1 = %ld\r\n", static_cast<long>(baseInfo.isTCP2RTU1));
     }},
    {"IsTCP2RTU2=", [](char *v) {
       baseInfo.isTCP2RTU2 = static_cast<uint8_t>(StrToU32(v));
       PrintMsg("baseInfo.isTCP2RTU2 = %ld\r\n", static_cast<long>(baseInfo.isTCP2RTU2));
     }},
};

void apply_config_line(char *line) {
  for (const ConfigKey &k : kConfigKeys) {
    if (!starts_with(line, k.key)) continue;
    char *value = line_value(line, k.key.size());
    if (value != nullptr) {
      k.apply(value);
    } else if (k.key == "ModuleAlias=") {
      PrintMsg("ptmp = NULL\r\n");
      baseInfo.ucModuleAlias[0] = '\0';
      PrintMsg("ModuleAlias : %s\r\n", baseInfo.ucModuleAlias);
    }
    // Any other key without a value keeps the setting it had.
    return;
  }
}

// The eight saved keys, in file order.
int format_saved(char *buf, size_t len, int index) {
  switch (index) {
    case 0: return snprintf(buf, len, "ServerIP=%s\r\n", baseInfo.ucServerIP);
    case 1: return snprintf(buf, len, "ServerPort=%u\r\n", baseInfo.usServerPort);
    case 2: return snprintf(buf, len, "VirtualIP=%s\r\n", baseInfo.ucVirtualIP);
    case 3: return snprintf(buf, len, "ModuleAlias=%s\r\n", baseInfo.ucModuleAlias);
    case 4: return snprintf(buf, len, "HeartbeatTime=%u\r\n", baseInfo.usHeartbeatTime);
    case 5: return snprintf(buf, len, "TimeInterval=%u\r\n", baseInfo.UartTimeInterval[1]);
    case 6: return snprintf(buf, len, "UartDataMax=%u\r\n", baseInfo.UartDataMax[1]);
    case 7: return snprintf(buf, len, "Debug=%d\r\n", baseInfo.usDebug);
    default: return -1;
  }
}

bool write_all(int fd, const char *buf, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, buf, len);
    if (n <= 0) return false;
    buf += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// The directory entry of a rename reaches the disk only with the directory.
void sync_parent_dir(const char *path) {
  char dir[CONFIG_PATH_MAX + 8];
  snprintf(dir, sizeof dir, "%s", path);
  char *slash = strrchr(dir, '/');
  if (slash == dir) {
    slash[1] = '\0';
  } else if (slash != nullptr) {
    *slash = '\0';
  } else {
    snprintf(dir, sizeof dir, ".");
  }
  int fd = open(dir, O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

}  // namespace

extern "C" {

uint8_t stopbit_code(char digit) { return digit == '1' ? 0 : digit == '2' ? 2 : 1; }

uint32_t StrToU32(const char *text) {
  const char *p = text;
  while (isspace(static_cast<unsigned char>(*p))) p++;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  uint32_t value = 0;
  bool overflow = false;
  for (; *p >= '0' && *p <= '9'; p++) {
    const uint32_t digit = static_cast<uint32_t>(*p - '0');
    if (value > (UINT32_MAX - digit) / 10) overflow = true;
    value = value * 10 + digit;
  }
  if (overflow) return UINT32_MAX;
  return negative ? 0u - value : value;
}

int SetConfigFile(const char *path) {
  if (strlen(path) >= sizeof configFile) return 0;
  snprintf(configFile, sizeof configFile, "%s", path);
  return 1;
}

void Default_BaseInfo(void) {
  memset(&baseInfo, 0, sizeof baseInfo);
  copy_text(baseInfo.ucServerIP, kDefaultServerIP);
  baseInfo.usServerPort = 11000;
  baseInfo.usHeartbeatTime = 10;
  for (int i = 1; i <= 2; i++) {
    baseInfo.comInfo[i].port = static_cast<uint8_t>(i);
    baseInfo.comInfo[i].baud = 115200;
    baseInfo.comInfo[i].databit = 8;
    baseInfo.comInfo[i].parity = 0;
    baseInfo.comInfo[i].stopbit = 1;
    baseInfo.UartTimeInterval[i] = 50;
    baseInfo.UartDataMax[i] = 1000;
  }
  copy_text(baseInfo.ucVirtualIP, kDefaultVirtualIP);
  copy_text(baseInfo.ucModuleAlias, "KX-7700");
}

int ReadConfig(void) {
  LineFile f(configFile);
  if (!f.ok()) {
    PrintMsg("open file fail\r\n");
    return SETTINGS_FAILED;
  }
  puts("open file success\r");
  char line[kLineBuf];
  while (f.gets(line, sizeof line)) apply_config_line(line);
  baseInfo.usServerTimeDelay = 0;
  return SETTINGS_OK;
}

int SaveConfig(void) {
  // Written to a temporary file beside the configuration file, flushed to
  // the disk and renamed over it: a power cut leaves the old file or the
  // new one, never a half-written one.
  char mapped[CONFIG_PATH_MAX + 300];
  const char *path = sandbox_path(configFile, mapped, sizeof mapped);
  char tmp[CONFIG_PATH_MAX + 310];
  int fd = -1;
  if (path != nullptr && snprintf(tmp, sizeof tmp, "%s.tmp", path) < static_cast<int>(sizeof tmp)) {
    fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  if (fd < 0) {
    PrintMsg("open file fail\r\n");
    return SETTINGS_FAILED;
  }
  puts("open file success for saving\r");
  bool ok = true;
  char line[128];
  for (int i = 0; i < 8; i++) {
    int n = format_saved(line, sizeof line, i);
    ok = ok && write_all(fd, line, static_cast<size_t>(n));
    fputs(line, stdout);
  }
  fflush(stdout);
  ok = ok && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  ok = ok && rename(tmp, path) == 0;
  if (!ok) {
    unlink(tmp);
    return SETTINGS_FAILED;
  }
  sync_parent_dir(path);
  baseInfo.usServerTimeDelay = 0;
  return SETTINGS_OK;
}

int ReadModemInfo(void) {
  LineFile f(resultFile);
  if (!f.ok()) {
    modemCREG = 0;
    modemSignal = 0;
    netInterface = 1;
    return SETTINGS_FAILED;
  }
  netInterface = 1;
  char line[kLineBuf];
  while (f.gets(line, sizeof line)) {
    if (starts_with(line, "cpintype=")) {
      // the SIM state is read and not used
    } else if (starts_with(line, "cregvalue=")) {
      const uint8_t v = static_cast<uint8_t>(StrToU32(line + 10));
      modemCREG = v > 5 ? 0 : v;
    } else if (starts_with(line, "csqvalue=")) {
      const uint8_t v = static_cast<uint8_t>(StrToU32(line + 9));
      modemSignal = v > 32 ? 0 : static_cast<uint8_t>(v * 100 / 32);
    } else if (starts_with(line, "ppp0=")) {
      netInterface = line[5] == '1' ? 0 : 1;
    }
  }
  return SETTINGS_OK;
}

}  // extern "C"
