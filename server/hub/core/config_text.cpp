// A configuration's text before toml++ reads it. Outside strings and
// comments TOML allows ASCII only; a non-ASCII character there is refused
// here with its line, where toml++ would name a token and column that a
// multi-byte character makes hard to read. (toml++'s own fault with such
// characters is dealt with in core/toml.h.)
#include <stddef.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "core/config.h"

namespace hub {
namespace {

enum class In { kText, kComment, kBasic, kLiteral, kBasicLong, kLiteralLong };

bool starts(const std::string &t, size_t i, const char *s) { return t.compare(i, strlen(s), s) == 0; }

// The state after the character at i in kText; *skip: further bytes it takes.
In open(const std::string &t, size_t i, size_t *skip) {
  *skip = 0;
  if (t[i] == '#') return In::kComment;
  if (starts(t, i, "\"\"\"")) return *skip = 2, In::kBasicLong;
  if (starts(t, i, "'''")) return *skip = 2, In::kLiteralLong;
  if (t[i] == '"') return In::kBasic;
  if (t[i] == '\'') return In::kLiteral;
  return In::kText;
}

// The state after the character at i inside a string or comment.
In inside(In s, const std::string &t, size_t i, size_t *skip) {
  *skip = 0;
  char c = t[i];
  if ((s == In::kBasic || s == In::kBasicLong) && c == '\\') return *skip = 1, s;
  if (s == In::kComment || s == In::kBasic || s == In::kLiteral) {
    if (c == '\n') return In::kText;  // a string cut by a line end: toml++ reports it
    if ((s == In::kBasic && c == '"') || (s == In::kLiteral && c == '\'')) return In::kText;
    return s;
  }
  if (starts(t, i, s == In::kBasicLong ? "\"\"\"" : "'''")) return *skip = 2, In::kText;
  return s;
}

}  // namespace

bool config_text_sound(const std::string &text, std::string &err) {
  In s = In::kText;
  size_t skip = 0;
  for (size_t i = 0; i < text.size(); i += 1 + skip) {
    if (s == In::kText && static_cast<unsigned char>(text[i]) >= 0x80) {
      auto line = std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(i), '\n') + 1;
      err = "line " + std::to_string(line) + ": a non-ASCII character outside a string or comment";
      return false;
    }
    s = s == In::kText ? open(text, i, &skip) : inside(s, text, i, &skip);
  }
  return true;
}

}  // namespace hub
