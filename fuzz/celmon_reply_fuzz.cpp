// celmon's handling of the modem's answers: the three parsers on any bytes,
// then the three queries of a poll cycle against a modem played from the
// input (stale bytes before the command, the answer in pieces arriving at
// chosen times within or after the 500 ms window). However the modem
// answers, the result text is exactly the three lines of a cycle, in order,
// each one line: an answer can never add a line to the file.
//
// The serial layer and celmon's clock are replaced in this program: the
// port's queue is the modem script, and every clock reading advances the
// time by 1 ms, so a window ends after a bounded number of polls.
//
// Input: the parsers take all of it; then for each query (CPIN, CREG, CSQ)
//   byte  stale byte count (mod 80), then those bytes
//   byte  bits 0-2 answer pieces (0..7); bit 3 the command cannot be sent
//   per piece: byte delay (x 3 ms after the command), byte length, bytes
#include <string.h>

#include <string_view>
#include <vector>

#include "celmon.h"
#include "fuzzkit.h"
#include "uart.h"

namespace {

constexpr size_t kMaxPieces = 8;
constexpr int kModemPort = celmon::kModemPort;

struct Piece {
  const uint8_t *p;
  size_t n;
  uint32_t delay;  // ms after the command
};

struct Modem {
  Piece pieces[kMaxPieces + 1];  // [0] stale bytes, there before the command
  size_t count;
  bool send_fails;
  bool sent;
  uint32_t sent_at;
  size_t piece, off;  // read position
};

Modem g_modem;
uint32_t g_now = 0;

bool arrived(const Piece &pc, size_t i) {
  return i == 0 || (g_modem.sent && g_now - g_modem.sent_at >= pc.delay);
}

size_t waiting() {
  size_t n = 0;
  for (size_t i = g_modem.piece; i < g_modem.count && arrived(g_modem.pieces[i], i); i++) {
    n += g_modem.pieces[i].n - (i == g_modem.piece ? g_modem.off : 0);
  }
  return n;
}

void load_query(fuzzkit::Reader &in) {
  memset(&g_modem, 0, sizeof g_modem);
  g_modem.pieces[0].n = in.take(in.byte() % 80, &g_modem.pieces[0].p);
  const uint8_t ctl = in.byte();
  g_modem.send_fails = (ctl & 0x08) != 0;
  g_modem.count = 1 + (ctl & 0x07);
  for (size_t i = 1; i < g_modem.count; i++) {
    g_modem.pieces[i].delay = 3u * in.byte();
    g_modem.pieces[i].n = in.take(in.byte(), &g_modem.pieces[i].p);
  }
}

// Every parser on an exact-size copy of the bytes.
void parse_all(const uint8_t *data, size_t size) {
  std::vector<char> reply(data, data + size);
  celmon::encode_csq(reply.data(), size);
  celmon::encode_creg(reply.data(), size);
  char text[celmon::kCpinTextSize];
  memset(text, 0x55, sizeof text);
  celmon::encode_iscpin(reply.data(), size, text);
  if (memchr(text, '\0', sizeof text) == nullptr) fuzzkit::fail("SIM state text not terminated");
}

// The line of `key` at the front of `rest`, taken off it.
void expect_line(std::string_view &rest, std::string_view key, bool number) {
  const size_t end = rest.find("\r\n");
  if (rest.substr(0, key.size()) != key || end == std::string_view::npos) {
    fuzzkit::fail("result text lacks its %.*s line: \"%.*s\"", static_cast<int>(key.size()),
                  key.data(), static_cast<int>(rest.size()), rest.data());
  }
  const std::string_view value = rest.substr(key.size(), end - key.size());
  for (size_t i = 0; i < value.size(); i++) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    const bool ok = number ? (c >= '0' && c <= '9') || (i == 0 && c == '-') : c >= 0x20 && c < 0x7F;
    if (!ok)
      fuzzkit::fail("%.*s line carries byte 0x%02X", static_cast<int>(key.size()), key.data(), c);
  }
  if (!number && value.size() >= celmon::kCpinTextSize) fuzzkit::fail("SIM state text too long");
  rest.remove_prefix(end + 2);
}

}  // namespace

// ---- the serial layer and the clock of this program
extern "C" DWORD DataSizeInCom(int port) { return port == kModemPort ? waiting() : 0; }

extern "C" int Receive_Binary(unsigned char port, char *buf, int len) {
  if (port != kModemPort || len < 0) return -1;
  int got = 0;
  while (got < len && g_modem.piece < g_modem.count &&
         arrived(g_modem.pieces[g_modem.piece], g_modem.piece)) {
    const Piece &pc = g_modem.pieces[g_modem.piece];
    size_t n = pc.n - g_modem.off;
    if (n > static_cast<size_t>(len - got)) n = static_cast<size_t>(len - got);
    memcpy(buf + got, pc.p + g_modem.off, n);
    got += static_cast<int>(n);
    g_modem.off += n;
    if (g_modem.off == pc.n) {
      g_modem.piece++;
      g_modem.off = 0;
    }
  }
  return got;
}

extern "C" int Send_Binary(unsigned char port, char *, int) {
  if (port != kModemPort || g_modem.send_fails) return COM_ERR_WRITE;
  g_modem.sent = true;
  g_modem.sent_at = g_now;
  return COM_OK;
}

uint32_t celmon::get_ms_ticks() { return g_now++; }

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzkit::quiet_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  parse_all(data, size);
  fuzzkit::Reader in(data, size);
  static constexpr struct {
    int code;
    std::string_view key;
    bool number;
  } kCycle[] = {{celmon::QUERY_CPIN, "cpintype=", false},
                {celmon::QUERY_CREG, "cregvalue=", true},
                {celmon::QUERY_CSQ, "csqvalue=", true}};
  char result[celmon::kResultSize] = {};
  bool sent[3] = {};
  for (size_t q = 0; q < 3; q++) {
    load_query(in);
    sent[q] =
        celmon::modem_query(kCycle[q].code, celmon::kQueryWindowMs, result, sizeof result) == 0;
  }
  std::string_view rest(result);
  for (size_t q = 0; q < 3; q++) {
    if (sent[q]) expect_line(rest, kCycle[q].key, kCycle[q].number);
  }
  if (!rest.empty()) fuzzkit::fail("result text has more than its lines: \"%s\"", result);
  return 0;
}
