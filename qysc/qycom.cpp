// Virtual COM command channel (section port 256): commands ended by CR,
// one reply each into M_Job4Cmd.
#include "qycom.h"

#include <stdio.h>
#include <string.h>

#include <string_view>

#include "cmdreply.h"
#include "my_uart.h"
#include "qycomm.h"
#include "settings.h"

using cmdreply::arg_char;
using cmdreply::ReplyText;

Job4Cmd M_Job4Cmd;
int iCmdEcho = 0;

namespace {

constexpr char kCmdEnd = '\r';
constexpr char kVersionText[] = "V1.2.3";
constexpr char strParity[] = "NOEMS";  // letter of each parity code
constexpr int kFormatParities = 3;     // "03"/"07" set none, odd or even only
constexpr size_t kEchoChars = 2;       // an echoed reply starts with the command's first two
constexpr size_t kPortArg = 2;         // "02", "03", "06", "07", "16": port digit at [2]
constexpr size_t kBytesPerLogLine = 32;

char *g_strtokPos = nullptr;  // myStrtok's one saved position (it has no caller here)

// Slot of comInfo named by a port digit: 1 or 2, else 0.
int port_slot(char digit) { return digit == '1' ? 1 : digit == '2' ? 2 : 0; }

void reply_ok(std::string_view, ReplyText &r) { r.add("OK\r"); }
void reply_error(std::string_view, ReplyText &r) { r.add("ERROR\r"); }
void reply_na(std::string_view, ReplyText &r) { r.add("%s\r", "N/A"); }
void reply_version(std::string_view, ReplyText &r) { r.add("%s", kVersionText); }
void reply_model(std::string_view, ReplyText &r) { r.add("%s\r", cModuleName); }

// "02"/"06": port digit and a decimal bit rate; the reopen's result is
// not reported.
void set_baud(std::string_view cmd, ReplyText &r) {
  const int p = port_slot(arg_char(cmd, kPortArg));
  if (p == 0) return r.add("ERROR\r");
  // The digit at [2] is there, so [3] is at worst the command's terminator.
  baseInfo.comInfo[p].baud = StrToU32(cmd.data() + kPortArg + 1);
  ReOpenCom(p);
  r.add("OK\r");
}

// Parity code of a format letter: 'N' 0, 'O' 1, 'E' 2; -1 for another.
int parity_code(char letter) {
  for (int code = 0; code < kFormatParities; code++) {
    if (strParity[code] == letter) return code;
  }
  return -1;
}

// "03"/"07": port digit, data bits, parity letter, stop-bit digit. Every
// field is stored, fallbacks included; the port is reopened only when all
// three were valid.
void set_format(std::string_view cmd, ReplyText &r) {
  const int p = port_slot(arg_char(cmd, kPortArg));
  if (p == 0) return r.add("ERROR\r");
  COM_INFO &com = baseInfo.comInfo[p];
  const char data = arg_char(cmd, 3), stop = arg_char(cmd, 5);
  const int parity = parity_code(arg_char(cmd, 4));
  const bool dataOk = data >= '5' && data <= '8';
  const bool stopOk = stop == '1' || stop == '2';
  com.databit = static_cast<uint8_t>(dataOk ? data - '0' : 8);
  com.parity = static_cast<uint8_t>(parity >= 0 ? parity : 0);
  com.stopbit = stopbit_code(stop);
  bool failed = !dataOk || parity < 0 || !stopOk;
  if (!failed && ReOpenCom(p) != 0) {
    PrintMsg("  ReOpenCom fail\r\n");
    failed = true;
  }
  r.add(failed ? "ERROR\r" : "OK\r");
}

// "16": the line settings of a port.
void report_port(std::string_view cmd, ReplyText &r) {
  const int p = port_slot(arg_char(cmd, kPortArg));
  if (p == 0) return r.add("ERROR\r");
  const COM_INFO &com = baseInfo.comInfo[p];
  const char letter = com.parity < sizeof strParity - 1 ? strParity[com.parity] : '?';
  r.add("%d,%c,%d,%d\r", static_cast<int>(com.baud), letter, com.databit, com.stopbit);
}

// "24": echo switch. The echo prefix was taken before this runs, so
// switching it on answers "24OK" and switching it off answers "24" "OK".
void set_echo(std::string_view cmd, ReplyText &r) {
  switch (arg_char(cmd, 2)) {
    case '0': iCmdEcho = 0; return r.add("OK\r");
    case '1': iCmdEcho = 1; return r.add("24OK\r");
    default: return r.add("ERROR\r");
  }
}

// "25": fixed status values by letter.
void report_status(std::string_view cmd, ReplyText &r) {
  struct Status {
    char letter;
    const char *reply;
  };
  static constexpr Status kStatus[] = {{'S', "S=300000\r"}, {'W', "W=0\r"}, {'N', "N=1\r"},
                                       {'M', "M=0\r"},      {'B', "B=0\r"}};
  const char letter = arg_char(cmd, 2);
  if (letter == 'E') return r.add(iCmdEcho == 1 ? "E=1\r" : "E=0\r");
  for (const Status &s : kStatus) {
    if (s.letter == letter) return r.add("%s", s.reply);
  }
  r.add("ERROR\r");
}

// "28": one digit.
void report_28(std::string_view cmd, ReplyText &r) {
  switch (arg_char(cmd, 2)) {
    case '1': return r.add("100\r");
    case '2': return r.add("200\r");
    default: return r.add("ERROR\r");
  }
}

struct Command {
  std::string_view key;  // the first two characters ("26I": three)
  void (*run)(std::string_view cmd, ReplyText &r);
};

constexpr Command kCommands[] = {
    {"00", reply_ok},       {"01", reply_version},  {"02", set_baud},      {"03", set_format},
    {"05", reply_ok},       {"06", set_baud},       {"07", set_format},    {"10", reply_model},
    {"13", reply_na},       {"15", reply_na},       {"16", report_port},   {"17", reply_error},
    {"18", reply_error},    {"19", reply_error},    {"20", reply_error},   {"21", reply_na},
    {"22", reply_na},       {"24", set_echo},       {"25", report_status}, {"26I", reply_error},
    {"28", report_28},      {"29", reply_error},
};

void run_command(int index, const char *text) {
  const std::string_view cmd(text);
  PrintMsg("- cmd[%d,%d]=%s\r\n", index, static_cast<int>(cmd.size()), text);
  if (Job4Cmd_Full(&M_Job4Cmd)) {
    PrintMsg("    reply queue full: cmd[%d] not carried out\r\n", index);
    return;
  }
  ReplyText r;
  if (iCmdEcho == 1) r.add_n(text, cmd.size() < kEchoChars ? cmd.size() : kEchoChars);
  const Command *found = cmdreply::find_command(kCommands, cmd);
  if (found != nullptr) {
    found->run(cmd, r);
  } else {
    r.add("N/A\r");
  }
  Job4Cmd_Put(&M_Job4Cmd, r.text);
  PrintMsg("    reply[%d]:%s\r\n\r\n", static_cast<int>(r.len), r.text);
}

void log_section(const unsigned char *data, int len) {
  PrintMsg("---- cmd----\r\n");
  char line[kBytesPerLogLine * 3 + 1];
  for (int i = 0; i < len; i += static_cast<int>(kBytesPerLogLine)) {
    size_t used = 0;
    for (int k = i; k < len && k < i + static_cast<int>(kBytesPerLogLine); k++) {
      used += static_cast<size_t>(snprintf(line + used, sizeof line - used, "%02X ", data[k]));
    }
    PrintMsg("%s", line);
  }
  PrintMsg("\r\n--------\r\n");
}

}  // namespace

extern "C" {

char *myStrtok(char *data, char delim) {
  if (data != nullptr) g_strtokPos = data;
  if (g_strtokPos == nullptr) return nullptr;
  return cmdreply::split_ended(g_strtokPos, delim);
}

int QYCOM_GetCmdN(const char *pCmdData, int dataLen) {
  if (pCmdData == nullptr) return 0;
  int n = 0;
  for (int i = 0; i < dataLen; i++) n += pCmdData[i] == kCmdEnd;
  return n;
}

// Splitting stays inside the section: the section holds iCmdCount CRs and
// at most that many pieces are taken, so every scan meets a CR (or a NUL,
// which ends processing) before the section's end.
void QYCOM_Process(unsigned char *CmdData, int dataLen) {
  if (CmdData == nullptr || dataLen < 0) dataLen = 0;
  char *data = reinterpret_cast<char *>(CmdData);
  const int iCmdCount = QYCOM_GetCmdN(data, dataLen);
  PrintMsg("--> QYCOM_Process: totalLen=%d, iCmdCount=%d\r\n", dataLen, iCmdCount);
  log_section(CmdData, dataLen);
  char *pos = data;
  for (int i = 0; i < iCmdCount; i++) {
    char *cmd = cmdreply::split_ended(pos, kCmdEnd);
    if (cmd == nullptr) break;
    run_command(i, cmd);
  }
}

int QYCOM_IsCom(void) { return Job4Cmd_Pending(&M_Job4Cmd); }

void QYCOM_ClearBuffer(void) { M_Job4Cmd.in = M_Job4Cmd.out = 0; }

}  // extern "C"
