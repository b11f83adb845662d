// The three modem queries: send, collect the reply within its window,
// parse, and add the file line.
#include <stdio.h>
#include <string.h>

#include "celmon.h"
#include "uart.h"

namespace celmon {

namespace {

constexpr char kCR = 0x0D;
constexpr int kMaxDiscardReads = 64;   // bound on clearing unasked input
constexpr size_t kLineSize = 64;

using LineMaker = void (*)(const char *reply, size_t len, char *line, size_t size);

void cpin_line(const char *reply, size_t len, char *line, size_t size) {
  char text[kCpinTextSize] = {};
  encode_iscpin(reply, len, text);
  snprintf(line, size, "cpintype=%s\r\n", text);
}

void creg_line(const char *reply, size_t len, char *line, size_t size) {
  snprintf(line, size, "cregvalue=%d\r\n", encode_creg(reply, len));
}

void csq_line(const char *reply, size_t len, char *line, size_t size) {
  snprintf(line, size, "csqvalue=%d\r\n", encode_csq(reply, len));
}

struct Query {
  int code;
  const char *format;  // command, %c = CR
  LineMaker make_line;
};

constexpr Query kQueries[] = {
    {QUERY_CPIN, "AT+CPIN?%c", cpin_line},
    {QUERY_CREG, "AT+CREG?%c", creg_line},
    {QUERY_CSQ, "AT+CSQ%c", csq_line},
};

const Query *find_query(int code) {
  for (const Query &q : kQueries) {
    if (q.code == code) return &q;
  }
  return nullptr;
}

bool data_waiting() { return static_cast<int>(DataSizeInCom(kModemPort)) > 0; }

// The reply so far: what fits the buffer, and the last four bytes of all
// that arrived (the rest of an over-long reply is read and dropped, so it
// cannot be taken for the answer to the next query).
struct Reply {
  char buf[kReplySize];
  size_t len;
  char tail[4];
  size_t total;
};

void note_tail(Reply &r, const char *bytes, int n) {
  for (int i = 0; i < n; i++) {
    memmove(r.tail, r.tail + 1, sizeof r.tail - 1);
    r.tail[sizeof r.tail - 1] = bytes[i];
  }
  r.total += static_cast<size_t>(n);
}

bool ends_in_ok(const Reply &r) {
  return r.total >= sizeof r.tail && memcmp(r.tail, "OK\r\n", sizeof r.tail) == 0;
}

// One read of what is waiting; returns false when nothing was read.
bool read_some(Reply &r) {
  char overflow[64];
  size_t room = sizeof r.buf - 1 - r.len;
  char *dst = room > 0 ? r.buf + r.len : overflow;
  int want = static_cast<int>(room > 0 ? room : sizeof overflow);
  int n = Receive_Binary(kModemPort, dst, want);
  if (n <= 0) return false;
  if (room > 0) r.len += static_cast<size_t>(n);
  note_tail(r, dst, n);
  return true;
}

void collect_reply(Reply &r, uint32_t window_ms) {
  uint32_t start = get_ms_ticks();
  while (get_ms_ticks() - start < window_ms) {
    if (!data_waiting()) continue;
    if (read_some(r) && ends_in_ok(r)) break;
  }
}

}  // namespace

void discard_input() {
  char junk[64];
  for (int i = 0; i < kMaxDiscardReads && data_waiting(); i++) {
    if (Receive_Binary(kModemPort, junk, sizeof junk) <= 0) break;
  }
}

int modem_query(int code, uint32_t window_ms, char *result, size_t size) {
  const Query *q = find_query(code);
  if (q == nullptr) return -1;
  char command[kReplySize] = {};
  snprintf(command, sizeof command, q->format, kCR);
  PrintMsg("AT Command:%s\r\n", command);

  discard_input();
  if (Send_Binary(kModemPort, command, static_cast<int>(strlen(command))) != COM_OK) return -1;

  Reply reply = {};
  collect_reply(reply, window_ms);

  char line[kLineSize];
  q->make_line(reply.buf, reply.len, line, sizeof line);
  PrintMsg("%s", line);
  append_text(result, size, line);
  return 0;
}

}  // namespace celmon
