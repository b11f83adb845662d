// The line's settings in the gateway's virtual COM commands and report.
#include "gateways/linefmt.h"

#include <stdio.h>
#include <string.h>

namespace hub {
namespace {

// The rates the gateway's line runs as asked; any other runs at 115200,
// but for 7200 (no terminal speed of its own: 4800).
constexpr uint32_t kRates[] = {50,   75,   110,   134,   150,   300,    600,    1200,   1800,  2400,
                               4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
constexpr uint32_t kRateOther = 115200, kRate7200 = 7200, kRate7200Runs = 4800;

// RFC 2217's parity codes 1..3 (none, odd, even) as the gateway's letters.
constexpr char kParityLetters[] = "?NOE";

uint32_t rate_run(uint32_t reported) {
  if (reported == kRate7200) return kRate7200Runs;
  return linefmt_rate_runs(reported) ? reported : kRateOther;
}

// A field asked and answerable, or the line's.
uint8_t pick(uint8_t asked, uint8_t bit, uint8_t want, uint8_t line, bool ok) {
  return (asked & bit) && want != 0 && ok ? want : line;
}

std::string format_command(unsigned port, uint8_t asked, const Format &want, const Format &line) {
  const uint8_t d =
      pick(asked, rfc2217::kDatasize, want.datasize, line.datasize, want.datasize >= 5 && want.datasize <= 8);
  const uint8_t p = pick(asked, rfc2217::kParity, want.parity, line.parity, want.parity >= 1 && want.parity <= 3);
  const uint8_t s =
      pick(asked, rfc2217::kStopsize, want.stopsize, line.stopsize, want.stopsize == 1 || want.stopsize == 2);
  if (d == line.datasize && p == line.parity && s == line.stopsize) return "";
  char cmd[16];
  snprintf(cmd, sizeof cmd, "03%u%u%c%u\r", port, d, kParityLetters[p], s);
  return cmd;
}

// "%d,%c,%d,%d": rate, parity letter, data bits, stop-bit code (0 one; 1,
// "one and a half", and 2 both run two).
bool read_report(const std::string &text, Format *out) {
  unsigned rate = 0, data = 0, stop = 0;
  char letter = 0;
  if (sscanf(text.c_str(), "%u,%c,%u,%u", &rate, &letter, &data, &stop) != 4 || data < 5 || data > 8 || stop > 2) {
    return false;
  }
  const char *at = strchr(kParityLetters + 1, letter);
  // Mark and space run as none.
  out->parity = letter == 'M' || letter == 'S' ? 1 : at ? static_cast<uint8_t>(at - kParityLetters) : 0;
  out->baud = rate_run(rate);
  out->datasize = static_cast<uint8_t>(data);
  out->stopsize = stop == 0 ? 1 : 2;
  return out->parity != 0;
}

}  // namespace

bool linefmt_rate_runs(uint32_t baud) {
  for (uint32_t r : kRates) {
    if (r == baud) return true;
  }
  return false;
}

std::string linefmt_query(unsigned port) { return "25E\r16" + std::to_string(port) + "\r"; }

std::string linefmt_commands(unsigned port, uint8_t asked, const Format &want, const Format &line) {
  std::string out = "25E\r";
  if ((asked & rfc2217::kBaud) && want.baud != line.baud && linefmt_rate_runs(want.baud)) {
    out += "02" + std::to_string(port) + std::to_string(want.baud) + "\r";
  }
  out += format_command(port, asked, want, line);
  return out + "16" + std::to_string(port) + "\r";
}

bool linefmt_read(const std::vector<std::string> &replies, Format *out) {
  if (replies.size() < 2) return false;
  // "E=1" without the echo, "25E=1" with it: then every reply has its
  // command's first two characters before it.
  const bool echo = replies[0].compare(0, 2, "25") == 0;
  const std::string &last = replies.back();
  if (echo && last.size() < 2) return false;
  return read_report(echo ? last.substr(2) : last, out);
}

}  // namespace hub
