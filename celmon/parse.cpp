// Parsers of the modem's answers. They work on the collected bytes and
// their count, so a NUL or line noise before an answer does not hide it,
// and they never read past what was collected.
#include <string.h>

#include <string_view>

#include "celmon.h"
#include "qycomm.h"

namespace celmon {

namespace {

constexpr std::string_view kCsqPrefix = "+CSQ: ";
constexpr std::string_view kCregPrefix = "+CREG: ";
constexpr std::string_view kCpinPrefix = "+CPIN: ";
constexpr std::string_view kErrorPrefix = "ERROR: ";
constexpr size_t kMaxDigits = 6;  // no field of these answers is longer
constexpr size_t kAll = std::string_view::npos;

// At most `n` bytes of `s` from `pos` on (none when `pos` is past the end).
// Used instead of std::string_view::substr, whose range check throws and
// would link the C++ exception runtime into the board's programs.
std::string_view part(std::string_view s, size_t pos, size_t n = kAll) {
  if (pos > s.size()) pos = s.size();
  const size_t left = s.size() - pos;
  return std::string_view(s.data() + pos, n < left ? n : left);
}

// Decimal number at the start of `s` (blanks skipped, optional sign, ends
// at the first non-digit); -1 when there is no digit or it is too long.
int parse_decimal(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) i++;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  int value = 0;
  size_t digits = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++, digits++) {
    if (digits == kMaxDigits) return -1;
    value = value * 10 + (s[i] - '0');
  }
  if (digits == 0) return -1;
  return negative ? -value : value;
}

void print_reply(const char *reply, size_t len) {
  PrintMsg("%.*s", static_cast<int>(len), reply);
}

// Copies a state text of `n` bytes into `text`: at most 19 characters, up
// to a line end or NUL, with bytes that are not printable ASCII shown as
// '?' so that no modem answer can break the file's line structure.
void copy_state_text(std::string_view src, char *text) {
  size_t out = 0;
  for (size_t i = 0; i < src.size() && out < kCpinTextSize - 1; i++) {
    unsigned char c = static_cast<unsigned char>(src[i]);
    if (c == '\r' || c == '\n' || c == '\0') break;
    text[out++] = (c < 0x20 || c > 0x7E) ? '?' : static_cast<char>(c);
  }
  text[out] = '\0';
}

// Text between `prefix` and the next CR LF; false when either is missing.
bool text_after(std::string_view r, std::string_view prefix, std::string_view *found) {
  size_t at = r.find(prefix);
  if (at == std::string_view::npos) return false;
  size_t start = at + prefix.size();
  size_t end = r.find("\r\n", start);
  if (end == std::string_view::npos) return false;
  *found = part(r, start, end - start);
  return true;
}

}  // namespace

int encode_csq(const char *reply, size_t len) {
  print_reply(reply, len);
  std::string_view r(reply, len);
  size_t at = r.find(kCsqPrefix);
  if (at == std::string_view::npos) return -1;
  std::string_view rest = part(r, at + kCsqPrefix.size());
  return parse_decimal(part(rest, 0, rest.find(',')));
}

int encode_creg(const char *reply, size_t len) {
  print_reply(reply, len);
  std::string_view r(reply, len);
  size_t at = r.find(kCregPrefix);
  if (at == std::string_view::npos) return -1;
  std::string_view line = part(r, at + kCregPrefix.size());
  line = part(line, 0, line.find_first_of("\r\n"));  // fields n,stat of this line
  size_t comma = line.find(',');
  if (comma == std::string_view::npos) return -1;
  std::string_view stat = part(line, comma + 1);
  return parse_decimal(part(stat, 0, stat.find(',')));
}

void encode_iscpin(const char *reply, size_t len, char *text) {
  print_reply(reply, len);
  PrintMsg("---- encode_iscpin ----\r\n");
  text[0] = '\0';
  std::string_view r(reply, len);
  std::string_view found;
  if (r.find(kCpinPrefix) != std::string_view::npos) {
    if (!text_after(r, kCpinPrefix, &found)) return;
    copy_state_text(found, text);
    PrintMsg("len = %d\r\n", static_cast<int>(found.size()));
  } else if (text_after(r, kErrorPrefix, &found)) {
    copy_state_text(found, text);
  }
}

void append_text(char *result, size_t size, const char *text) {
  size_t used = strnlen(result, size);
  if (used + 1 >= size) return;
  size_t room = size - used - 1;
  size_t n = strnlen(text, room);
  memcpy(result + used, text, n);
  result[used + n] = '\0';
}

}  // namespace celmon
