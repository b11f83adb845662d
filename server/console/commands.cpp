// Commands: a table of keywords and handlers.
#include "commands.h"

#include <stdlib.h>
#include <string.h>

#include "bytes.h"
#include "gateways.h"
#include "modbus.h"
#include "out.h"
#include "qylink.h"

namespace console {
namespace {

constexpr size_t kTokenMax = 64;
constexpr uint32_t kWaitDefaultMs = 10000;
constexpr uint32_t kWaitMaxMs = 3600000;

using Handler = void (*)(Session &s, const char *args, uint32_t now);

struct Command {
  const char *name;
  const char *usage;
  Handler fn;
};

const char *skip_blanks(const char *p) {
  while (*p == ' ' || *p == '\t') p++;
  return p;
}

// Next blank-separated word into out; false when there is none or it is too long.
bool word(const char **p, char *out, size_t cap) {
  const char *s = skip_blanks(*p);
  size_t n = 0;
  while (s[n] && s[n] != ' ' && s[n] != '\t') n++;
  if (n == 0 || n >= cap) return false;
  memcpy(out, s, n);
  out[n] = '\0';
  *p = s + n;
  return true;
}

// Next word as a decimal number in [lo, hi].
bool number(const char **p, unsigned long lo, unsigned long hi, unsigned long *v) {
  char tok[kTokenMax];
  if (!word(p, tok, sizeof tok)) return false;
  char *end = nullptr;
  if (tok[0] < '0' || tok[0] > '9') return false;
  unsigned long x = strtoul(tok, &end, 10);
  if (*end != '\0' || x < lo || x > hi) return false;
  *v = x;
  return true;
}

// The rest of the line after one separating blank.
const char *rest(const char *p) { return (*p == ' ' || *p == '\t') ? p + 1 : p; }

void queue_section(unsigned long gw, unsigned long port, const uint8_t *d, size_t n) {
  int rc = gw_send(static_cast<int>(gw), static_cast<unsigned>(port), d, n);
  if (rc == -1) {
    out_line("error: no gateway %lu", gw);
  } else if (rc == -2) {
    out_line("error: gw%lu has %zu packets waiting already", gw, kOutQueue);
  } else if (rc == -3) {
    out_line("error: %zu bytes do not fit one packet (at most %zu)", n, kSectionMax);
  } else {
    out_line("gw%lu queued port%lu len=%zu", gw, port, n);
  }
}

void report_parse(int n) {
  out_line(n == -2 ? "error: data longer than one packet holds" : "error: bad data (hex digits or escapes)");
}

void do_hex(Session &, const char *a, uint32_t) {
  unsigned long gw, port;
  if (!number(&a, 1, kMaxGateways, &gw) || !number(&a, 0, 0xFFFF, &port)) {
    out_line("error: usage: hex GW PORT BYTES");
    return;
  }
  uint8_t data[kPacketMax];
  int n = parse_hex(a, data, kSectionMax);
  if (n < 0) return report_parse(n);
  queue_section(gw, port, data, static_cast<size_t>(n));
}

void do_text(Session &, const char *a, uint32_t) {
  unsigned long gw, port;
  if (!number(&a, 1, kMaxGateways, &gw) || !number(&a, 0, 0xFFFF, &port)) {
    out_line("error: usage: text GW PORT TEXT");
    return;
  }
  uint8_t data[kPacketMax];
  int n = parse_escaped(rest(a), data, kSectionMax);
  if (n < 0) return report_parse(n);
  queue_section(gw, port, data, static_cast<size_t>(n));
}

// A command line for a channel: optional lead character, CR at the end.
void channel(const char *a, unsigned port, char lead, const char *usage) {
  unsigned long gw;
  if (!number(&a, 1, kMaxGateways, &gw)) {
    out_line("error: usage: %s", usage);
    return;
  }
  uint8_t data[kPacketMax];
  size_t n = 0;
  a = skip_blanks(a);
  if (lead && *a != lead) data[n++] = static_cast<uint8_t>(lead);
  int got = parse_escaped(a, data + n, kSectionMax - 1 - n);
  if (got < 0) return report_parse(got);
  n += static_cast<size_t>(got);
  if (n == 0 || data[n - 1] != '\r') data[n++] = '\r';
  queue_section(gw, port, data, n);
}

void do_vcom(Session &, const char *a, uint32_t) { channel(a, COM_PORT_QYCOM, 0, "vcom GW COMMAND"); }
void do_cfg(Session &, const char *a, uint32_t) { channel(a, COM_PORT_QYIO, '@', "cfg GW @COMMAND"); }

void do_verify(Session &, const char *a, uint32_t) {
  unsigned long gw, x, y;
  if (!number(&a, 1, kMaxGateways, &gw) || !number(&a, 0, 255, &x) || !number(&a, 0, 255, &y)) {
    out_line("error: usage: verify GW X Y (X, Y 0..255)");
    return;
  }
  int rc = gw_verify(static_cast<int>(gw), static_cast<uint8_t>(x), static_cast<uint8_t>(y));
  if (rc != 0) {
    out_line("error: gw%lu cannot take a packet now (%s)", gw, rc == -1 ? "not connected" : "queue full");
    return;
  }
  out_line("gw%lu queued verify x=%lu y=%lu expected=%d", gw, x, y,
           static_cast<int>(wire_verify_answer(static_cast<uint8_t>(x), static_cast<uint8_t>(y))));
}

void do_modbus(Session &s, const char *a, uint32_t) {
  unsigned long gw, port, tcp;
  if (!number(&a, 1, kMaxGateways, &gw) || !number(&a, 1, 2, &port) || !number(&a, 0, 65535, &tcp)) {
    out_line("error: usage: modbus GW PORT(1|2) TCPPORT (0: any free port)");
    return;
  }
  mb_expose(static_cast<int>(gw), static_cast<unsigned>(port), s.addr, static_cast<int>(tcp));
}

void do_close(Session &, const char *a, uint32_t) {
  unsigned long gw;
  if (!number(&a, 1, kMaxGateways, &gw) || gw_generation(static_cast<int>(gw)) == 0) {
    out_line("error: usage: close GW (a connected gateway)");
    return;
  }
  gw_close(static_cast<int>(gw), "closed by command");
}

void do_sleep(Session &s, const char *a, uint32_t now) {
  unsigned long ms;
  if (!number(&a, 0, kWaitMaxMs, &ms)) {
    out_line("error: usage: sleep MS");
    return;
  }
  s.wait_start = now;
  s.wait_ms = static_cast<uint32_t>(ms);
  s.wait_gw = 0;
}

void do_wait(Session &s, const char *a, uint32_t now) {
  unsigned long gw, ms = kWaitDefaultMs;
  if (!number(&a, 1, kMaxGateways, &gw)) {
    out_line("error: usage: wait GW [MS]");
    return;
  }
  if (*skip_blanks(a) && !number(&a, 1, kWaitMaxMs, &ms)) {
    out_line("error: usage: wait GW [MS]");
    return;
  }
  s.wait_start = now;
  s.wait_ms = static_cast<uint32_t>(ms);
  s.wait_gw = static_cast<int>(gw);
}

void do_list(Session &, const char *, uint32_t) {
  gw_list();
  mb_list();
}

void do_quit(Session &s, const char *, uint32_t) { s.quit = true; }

void do_help(Session &, const char *, uint32_t);

constexpr Command kCommands[] = {
    {"hex", "hex GW PORT BYTES        bytes in hex to a port section (1, 2, ...)", do_hex},
    {"text", "text GW PORT TEXT        text with escapes \\r \\n \\t \\0 \\\\ \\xHH", do_text},
    {"vcom", "vcom GW COMMAND          virtual COM command (port 256), CR added", do_vcom},
    {"cfg", "cfg GW @COMMAND          configuration command (port 257), @ and CR added", do_cfg},
    {"verify", "verify GW X Y            challenge; the answer is checked", do_verify},
    {"modbus", "modbus GW PORT TCPPORT   Modbus TCP server for a bridged port", do_modbus},
    {"list", "list                     gateways and Modbus servers", do_list},
    {"close", "close GW                 drop a gateway's connection", do_close},
    {"wait", "wait GW [MS]             hold the script until the gateway is ready", do_wait},
    {"sleep", "sleep MS                 hold the script", do_sleep},
    {"quit", "quit                     end the console", do_quit},
    {"help", "help                     this list", do_help},
};

void do_help(Session &, const char *, uint32_t) {
  for (const Command &c : kCommands) out_line("help: %s", c.usage);
}

}  // namespace

void cmd_run(Session &s, const char *line, uint32_t now) {
  const char *p = skip_blanks(line);
  if (*p == '\0' || *p == '#') return;
  char name[kTokenMax];
  if (!word(&p, name, sizeof name)) {
    out_line("error: unknown command");
    return;
  }
  if (strcmp(name, "exit") == 0) strcpy(name, "quit");
  for (const Command &c : kCommands) {
    if (strcmp(c.name, name) == 0) {
      c.fn(s, p, now);
      return;
    }
  }
  out_line("error: unknown command \"%.40s\" (try help)", name);
}

bool cmd_busy(Session &s, uint32_t now) {
  if (s.wait_ms == 0) return false;
  if (s.wait_gw != 0 && gw_ready(s.wait_gw)) {
    out_line("wait gw%d ready", s.wait_gw);
  } else if (now - s.wait_start >= s.wait_ms) {
    if (s.wait_gw != 0) out_line("error: wait gw%d timed out", s.wait_gw);
  } else {
    return true;
  }
  s.wait_ms = 0;
  s.wait_gw = 0;
  return false;
}

}  // namespace console
