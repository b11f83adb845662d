// The two command channels of a simulated gateway: a few virtual COM
// commands (port 256, replies ending in CR) and configuration commands
// (port 257, "@..." with replies "!...\r\n"). Plausible answers only; no
// setting changes, except that "@RELINK" and "@REBOOT" are reported to the
// loop, which drops the link as the gateway would.
#include <stdio.h>
#include <string.h>

#include "gwlink.h"

namespace fleet {
namespace {

constexpr int kRepliesMax = 16;  // the gateway's reply ring
constexpr size_t kLineMax = 128;

struct Cmd {
  const char *cmd;
  size_t len;
};

struct Ctx {
  const Identity &who;
  bool relink;
  bool reboot;
};

using Handler = void (*)(Ctx &c, const Cmd &cmd, char *line);

// A fixed reply into a reply line of kLineMax bytes.
void put(char *line, const char *text) { snprintf(line, kLineMax, "%s", text); }

struct Row {
  const char *prefix;
  Handler handler;
};

void vcom_ok(Ctx &, const Cmd &, char *line) { put(line, "OK\r"); }
void vcom_version(Ctx &, const Cmd &, char *line) { put(line, "V1.2.3"); }
void vcom_model(Ctx &, const Cmd &, char *line) { put(line, "TRM-310\r"); }

void vcom_line(Ctx &, const Cmd &c, char *line) {
  const bool port_ok = c.len > 2 && (c.cmd[2] == '1' || c.cmd[2] == '2');
  put(line, port_ok ? "115200,N,8,1\r" : "ERROR\r");
}

// "@KEY=value": stored, as far as the server can tell.
void cfg_set(Ctx &, const Cmd &c, char *line) {
  const char *eq = static_cast<const char *>(memchr(c.cmd, '=', c.len));
  snprintf(line, kLineMax, "!%.*s;OK\r\n", static_cast<int>(eq - c.cmd - 1), c.cmd + 1);
}

void cfg_csq(Ctx &c, const Cmd &, char *line) {
  snprintf(line, kLineMax, "!CSQ;%u;%u\r\n", c.who.signal, c.who.net);
}
void cfg_vip(Ctx &c, const Cmd &, char *line) { snprintf(line, kLineMax, "!VIP;%s\r\n", c.who.id); }
void cfg_alias(Ctx &c, const Cmd &, char *line) {
  snprintf(line, kLineMax, "!ALIAS;%s\r\n", c.who.alias);
}
void cfg_heartbeat(Ctx &c, const Cmd &, char *line) {
  snprintf(line, kLineMax, "!HEARTBEAT;%u\r\n", c.who.heartbeat_s);
}
void cfg_fwver(Ctx &, const Cmd &, char *line) { put(line, "!FWVER;V1.01\r\n"); }
void cfg_bridge1(Ctx &, const Cmd &, char *line) { put(line, "!ISTCP2RTU1;1\r\n"); }
void cfg_bridge2(Ctx &, const Cmd &, char *line) { put(line, "!ISTCP2RTU2;0\r\n"); }
void cfg_relink(Ctx &c, const Cmd &, char *line) {
  c.relink = true;
  put(line, "!RELINK;OK\r\n");
}
void cfg_reboot(Ctx &c, const Cmd &, char *line) {
  c.reboot = true;
  put(line, "!REBOOT;OK\r\n");
}

const Row kVcom[] = {
    {"00", vcom_ok},    {"01", vcom_version}, {"02", vcom_ok}, {"03", vcom_ok}, {"05", vcom_ok},
    {"06", vcom_ok},    {"07", vcom_ok},      {"10", vcom_model}, {"16", vcom_line},
};

const Row kConfig[] = {
    {"@CSQ", cfg_csq},         {"@FWVER", cfg_fwver},          {"@RELINK", cfg_relink},
    {"@REBOOT", cfg_reboot},   {"@VIP=", cfg_set},             {"@VIP", cfg_vip},
    {"@ALIAS=", cfg_set},      {"@ALIAS", cfg_alias},          {"@HEARTBEAT=", cfg_set},
    {"@HEARTBEAT", cfg_heartbeat}, {"@ISTCP2RTU1=", cfg_set},  {"@ISTCP2RTU1", cfg_bridge1},
    {"@ISTCP2RTU2=", cfg_set}, {"@ISTCP2RTU2", cfg_bridge2},   {"@SIP=", cfg_set},
    {"@SPORT=", cfg_set},      {"@TIMEINTERVAL=", cfg_set},    {"@UARTDATAMAX=", cfg_set},
};

template <size_t N>
void answer(Ctx &c, const Row (&table)[N], const Cmd &cmd, const char *none, char *line) {
  for (const Row &row : table) {
    const size_t n = strlen(row.prefix);
    if (cmd.len >= n && memcmp(cmd.cmd, row.prefix, n) == 0) {
      row.handler(c, cmd, line);
      return;
    }
  }
  put(line, none);
}

}  // namespace

size_t command_replies(const Identity &who, uint16_t port, const uint8_t *text, size_t n,
                       uint8_t *out, size_t cap, bool *relink, bool *reboot) {
  Ctx c = {who, false, false};
  const char *p = reinterpret_cast<const char *>(text);
  const char *end = p + n;
  size_t len = 0;
  for (int i = 0; i < kRepliesMax; i++) {
    const char *cr = static_cast<const char *>(memchr(p, '\r', static_cast<size_t>(end - p)));
    if (cr == nullptr) break;
    char line[kLineMax];
    const Cmd cmd = {p, static_cast<size_t>(cr - p)};
    if (port == COM_PORT_QYCOM) {
      answer(c, kVcom, cmd, "N/A\r", line);
    } else {
      answer(c, kConfig, cmd, "N/A\r\n", line);
    }
    const size_t m = strlen(line);
    if (len + m > cap) break;  // the rest would wait for the next packet
    memcpy(out + len, line, m);  // NOLINT(bugprone-not-null-terminated-result): joined, no terminators
    len += m;
    p = cr + 1;
  }
  *relink = c.relink;
  *reboot = c.reboot;
  return len;
}

}  // namespace fleet
