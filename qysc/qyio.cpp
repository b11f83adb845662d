// Device configuration command channel (section port 257): "@" commands
// ended by CR that read and change the settings, one reply each into
// VIO_Reply.
#include "qyio.h"

#include <string.h>

#include <string_view>

#include "cmdreply.h"
#include "qycomm.h"
#include "settings.h"

using cmdreply::ReplyText;

Job4Cmd VIO_Reply;
int isVIORelink = 0;
int isVIOReboot = 0;

namespace {

constexpr char kCmdEnd = '\r';
constexpr int kMaxSection = 1500;  // a section lies inside the 1500-byte receive buffer
constexpr int32_t kTimeIntervalMin = 1, kTimeIntervalMax = 5000;  // ms
constexpr int32_t kDataMaxMin = 10, kDataMaxMax = 1000;           // bytes

// Text values that do not fit their field are refused, not cut: a cut
// server address or alias would be a different, wrong one. So are values
// with a line feed: "@SAVE" would write them as two lines of the
// configuration file, the second read back as a key of its own.
template <size_t N>
void set_text(char (&field)[N], const char *value, const char *name, ReplyText &r) {
  const size_t len = strlen(value);
  if (len >= N || strchr(value, '\n') != nullptr) return r.add("!%s;ER\r\n", name);
  memcpy(field, value, len + 1);
  r.add("!%s;OK\r\n", name);
}

// The converted value is judged as a signed 32-bit number, so all ones
// (4294967295, or "-1") counts as negative. Replies OK or ER; true with
// the value in `out` when it lies in lo..hi.
bool range_value(const char *value, int32_t lo, int32_t hi, const char *name, ReplyText &r,
                 uint32_t &out) {
  const int32_t v = static_cast<int32_t>(StrToU32(value));
  if (v < lo || v > hi) {
    r.add("!%s;ER\r\n", name);
    return false;
  }
  out = static_cast<uint32_t>(v);
  r.add("!%s;OK\r\n", name);
  return true;
}

void report_com(int slot, ReplyText &r) {
  const COM_INFO &com = baseInfo.comInfo[slot];
  r.add("!COMDATA%d;%d;%d;%d;%d\r\n", slot, static_cast<int>(com.baud), com.databit, com.parity,
        com.stopbit);
}

struct VioCommand {
  std::string_view key;                            // matched as a prefix, in table order
  void (*run)(const char *value, ReplyText &r);    // value: what follows the key
};

// A set command (key ending in '=') precedes the query of the same name.
constexpr VioCommand kVioCommands[] = {
    {"@SIP=", [](const char *v, ReplyText &r) { set_text(baseInfo.ucServerIP, v, "SIP", r); }},
    {"@SIP", [](const char *, ReplyText &r) { r.add("!SIP;%s\r\n", baseInfo.ucServerIP); }},
    {"@SPORT=", [](const char *v, ReplyText &r) {
       baseInfo.usServerPort = static_cast<uint16_t>(StrToU32(v));
       r.add("!SPORT;OK\r\n");
     }},
    {"@SPORT", [](const char *, ReplyText &r) { r.add("!SPORT;%d\r\n", baseInfo.usServerPort); }},
    {"@HEARTBEAT=", [](const char *v, ReplyText &r) {
       baseInfo.usHeartbeatTime = static_cast<uint16_t>(StrToU32(v));
       r.add("!HEARTBEAT;OK\r\n");
     }},
    {"@HEARTBEAT",
     [](const char *, ReplyText &r) { r.add("!HEARTBEAT;%d\r\n", baseInfo.usHeartbeatTime); }},
    {"@VIP=", [](const char *v, ReplyText &r) { set_text(baseInfo.ucVirtualIP, v, "VIP", r); }},
    {"@VIP", [](const char *, ReplyText &r) { r.add("!VIP;%s\r\n", baseInfo.ucVirtualIP); }},
    {"@ALIAS=",
     [](const char *v, ReplyText &r) { set_text(baseInfo.ucModuleAlias, v, "ALIAS", r); }},
    {"@ALIAS", [](const char *, ReplyText &r) { r.add("!ALIAS;%s\r\n", baseInfo.ucModuleAlias); }},
    {"@RELINK", [](const char *, ReplyText &r) {
       isVIORelink = 1;
       r.add("!RELINK;OK\r\n");
     }},
    {"@REBOOT", [](const char *, ReplyText &r) {
       isVIOReboot = 1;
       r.add("!REBOOT;OK\r\n");
     }},
    {"@FWVER", [](const char *, ReplyText &r) { r.add("!FWVER;%s\r\n", cFWVersion); }},
    {"@CSQ", [](const char *, ReplyText &r) { r.add("!CSQ;%d;%d\r\n", modemSignal, netInterface); }},
    {"@SAVE", [](const char *, ReplyText &r) {
       r.add(SaveConfig() == SETTINGS_OK ? "!SAVE;OK\r\n" : "!SAVE;ERROR\r\n");
     }},
    {"@COMDATA1", [](const char *, ReplyText &r) { report_com(1, r); }},
    {"@COMDATA2", [](const char *, ReplyText &r) { report_com(2, r); }},
    {"@TIMEINTERVAL=", [](const char *v, ReplyText &r) {
       uint32_t ms = 0;
       if (range_value(v, kTimeIntervalMin, kTimeIntervalMax, "TIMEINTERVAL", r, ms)) {
         baseInfo.UartTimeInterval[1] = baseInfo.UartTimeInterval[2] = ms;
       }
     }},
    {"@TIMEINTERVAL", [](const char *, ReplyText &r) {
       r.add("!TIMEINTERVAL;%d\r\n", static_cast<int>(baseInfo.UartTimeInterval[1]));
     }},
    {"@UARTDATAMAX=", [](const char *v, ReplyText &r) {
       uint32_t bytes = 0;
       if (range_value(v, kDataMaxMin, kDataMaxMax, "UARTDATAMAX", r, bytes)) {
         baseInfo.UartDataMax[1] = baseInfo.UartDataMax[2] = bytes;
       }
     }},
    {"@UARTDATAMAX", [](const char *, ReplyText &r) {
       r.add("!UARTDATAMAX;%d\r\n", static_cast<int>(baseInfo.UartDataMax[1]));
     }},
    {"@ISTCP2RTU1=", [](const char *v, ReplyText &r) {
       baseInfo.isTCP2RTU1 = static_cast<uint8_t>(StrToU32(v));
       r.add("!ISTCP2RTU1;OK\r\n");
     }},
    {"@ISTCP2RTU1", [](const char *, ReplyText &r) { r.add("!ISTCP2RTU1;%d\r\n", baseInfo.isTCP2RTU1); }},
    {"@ISTCP2RTU2=", [](const char *v, ReplyText &r) {
       baseInfo.isTCP2RTU2 = static_cast<uint8_t>(StrToU32(v));
       r.add("!ISTCP2RTU2;OK\r\n");
     }},
    {"@ISTCP2RTU2", [](const char *, ReplyText &r) { r.add("!ISTCP2RTU2;%d\r\n", baseInfo.isTCP2RTU2); }},
};

void run_command(const char *text) {
  const std::string_view cmd(text);
  PrintMsg("- QYcmd[%d]=%s\r\n", static_cast<int>(cmd.size()), text);
  if (Job4Cmd_Full(&VIO_Reply)) {
    PrintMsg("    reply queue full: QYcmd not carried out\r\n");
    return;
  }
  ReplyText r;
  const VioCommand *found = cmdreply::find_command(kVioCommands, cmd);
  if (found != nullptr) {
    found->run(text + found->key.size(), r);
  } else {
    r.add("N/A\r\n");
  }
  Job4Cmd_Put(&VIO_Reply, r.text);
  PrintMsg("    QYreply[%d]:%s\r\n\r\n", static_cast<int>(r.len), r.text);
}

}  // namespace

extern "C" {

// The section is split in a terminated copy, so its last command may end
// at the section's end without a byte beyond it being read.
void VIO_Process(unsigned char *CmdData, int dataLen) {
  if (CmdData == nullptr || dataLen < 0) dataLen = 0;
  if (dataLen > kMaxSection) dataLen = kMaxSection;
  char text[kMaxSection + 1];
  if (dataLen > 0) memcpy(text, CmdData, static_cast<size_t>(dataLen));
  text[dataLen] = '\0';
  const int iCmdCount = QYCOM_GetCmdN(text, dataLen);
  PrintMsg("--> QYIO_Process: totalLen=%d, iCmdCount=%d\r\n", dataLen, iCmdCount);
  char *pos = text;
  for (int i = 0; i < iCmdCount; i++) {
    char *cmd = cmdreply::split_tokens(pos, kCmdEnd);
    if (cmd == nullptr) break;
    run_command(cmd);
  }
}

int QYIO_IsCom(void) { return Job4Cmd_Pending(&VIO_Reply); }

}  // extern "C"
