// Test helpers: the console's output lines collected, and packets built
// the way a gateway builds them.
#ifndef CONSOLE_TEST_CAPTURE_H
#define CONSOLE_TEST_CAPTURE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "out.h"
#include "qylink.h"

namespace consoletest {

// Collects every line while it lives.
class Capture {
 public:
  Capture() { console::out_set_sink(&Capture::sink, this); }
  ~Capture() { console::out_set_sink(nullptr, nullptr); }
  Capture(const Capture &) = delete;
  Capture &operator=(const Capture &) = delete;

  std::vector<std::string> lines;
  std::string all() const {
    std::string s;
    for (const std::string &l : lines) s += l + "\n";
    return s;
  }

 private:
  static void sink(void *ctx, const char *line, size_t len) {
    static_cast<Capture *>(ctx)->lines.emplace_back(line, len);
  }
};

using Bytes = std::vector<uint8_t>;

inline Bytes str(const std::string &s) { return Bytes(s.begin(), s.end()); }

inline void put16(Bytes &b, unsigned v) {
  b.push_back(static_cast<uint8_t>(v & 0xFF));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

constexpr size_t kPrefixRoom = 64;

// Header, IP text and signal byte, with the length fixed up by finish().
inline Bytes prefix(uint8_t type, const std::string &ip = "10.20.30.40", uint8_t signal = 23) {
  Bytes b;
  b.reserve(kPrefixRoom);
  for (uint8_t x : {uint8_t{2}, uint8_t{0}, uint8_t{0}, type, static_cast<uint8_t>(ip.size())}) b.push_back(x);
  for (char c : ip) b.push_back(static_cast<uint8_t>(c));
  b.push_back(signal);
  return b;
}

inline Bytes finish(Bytes b) {
  b[1] = static_cast<uint8_t>(b.size() & 0xFF);
  b[2] = static_cast<uint8_t>(b.size() >> 8);
  return b;
}

inline void put_str(Bytes &b, const std::string &s) {
  b.push_back(static_cast<uint8_t>(s.size()));
  for (char c : s) b.push_back(static_cast<uint8_t>(c));
}

inline Bytes init_packet(const std::string &alias = "KX-7700") {
  Bytes b = prefix(0);
  b.push_back(1);  // network interface
  b.push_back(0);
  put_str(b, "TRM-310");
  put_str(b, alias);
  put_str(b, "V1.01");
  b.push_back(2);
  put16(b, 60);
  b.push_back(10);
  put16(b, 50);
  b.insert(b.end(), 8, 0);
  return finish(b);
}

inline Bytes heartbeat(uint8_t signal = 23) { return finish(prefix(2, "10.20.30.40", signal)); }

struct Section {
  unsigned port;
  Bytes data;
};

inline Bytes data_packet(const std::vector<Section> &sections) {
  Bytes b = prefix(1);
  b.push_back(static_cast<uint8_t>(sections.size()));
  for (const Section &s : sections) {
    put16(b, s.port);
    put16(b, static_cast<unsigned>(s.data.size()));
    b.insert(b.end(), s.data.begin(), s.data.end());
  }
  return finish(b);
}

inline Bytes scrambled(Bytes b) {
  EncodePacket(b.data(), static_cast<int>(b.size()));
  return b;
}

}  // namespace consoletest

#endif
