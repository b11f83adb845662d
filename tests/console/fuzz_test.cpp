// Random and damaged input never crashes the decoder or the command parser
// and never leaves the stream buffer without room for a whole packet.
// Bounded in count and time; the seed is printed so a failure can be rerun.
#include <gtest/gtest.h>

#include "sandbox_dir.h"

#include <chrono>
#include <random>

#include "bytes.h"
#include "capture.h"
#include "commands.h"
#include "receiver.h"

using namespace console;
using namespace consoletest;

namespace {

constexpr int kRounds = 20000;
constexpr auto kTimeLimit = std::chrono::seconds(20);

void discard(void *, const char *, size_t) {}
void count(void *ctx, int, unsigned, const uint8_t *, size_t) { ++*static_cast<unsigned *>(ctx); }

class Fuzz : public ::testing::Test {
 protected:
  void SetUp() override {
    seed = testkit::fuzz_seed("console fuzz");
    rng.seed(seed);
    out_set_sink(discard, nullptr);
  }
  void TearDown() override { out_set_sink(nullptr, nullptr); }
  bool time_left() const { return std::chrono::steady_clock::now() - start < kTimeLimit; }
  size_t pick(size_t n) { return n ? rng() % n : 0; }

  // A packet of some kind, sound or nearly so.
  Bytes some_packet() {
    switch (pick(4)) {
      case 0: return init_packet(std::string(pick(20), 'a'));
      case 1: return heartbeat(static_cast<uint8_t>(pick(256)));
      case 2: {
        std::vector<Section> s;
        for (size_t i = pick(4); i > 0; i--) s.push_back({static_cast<unsigned>(pick(300)), Bytes(pick(200), 0x55)});
        return data_packet(s);
      }
      default: {
        Bytes b(pick(40));
        for (uint8_t &x : b) x = static_cast<uint8_t>(rng());
        return b;
      }
    }
  }

  // Flips bytes, cuts or overwrites the length field now and then.
  void damage(Bytes &b) {
    for (size_t i = pick(3); i > 0 && !b.empty(); i--) b[pick(b.size())] = static_cast<uint8_t>(rng());
    if (pick(4) == 0 && !b.empty()) b.resize(pick(b.size()));
  }

  unsigned seed = 0;
  std::mt19937 rng;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

TEST_F(Fuzz, StreamDecoderSurvivesAnything) {
  Receiver rx;
  unsigned sections = 0;
  rx_init(rx, 1, count, &sections);
  uint32_t now = 0;
  for (int round = 0; round < kRounds && time_left(); round++) {
    Bytes stream;
    for (size_t k = pick(6) + 1; k > 0; k--) {
      Bytes p = some_packet();
      if (pick(3) == 0) damage(p);
      stream.insert(stream.end(), p.begin(), p.end());
    }
    Bytes wire = scrambled(stream);
    for (size_t off = 0; off < wire.size();) {
      size_t n = std::min({pick(400) + 1, wire.size() - off, rx_room(rx)});
      rx_feed(rx, wire.data() + off, n, now += 3);
      off += n;
      ASSERT_GE(rx_room(rx), kPacketMax) << "seed " << seed;
    }
    rx_tick(rx, now += static_cast<uint32_t>(pick(400)));
    if (pick(20) == 0) {
      rx_finish(rx);
      rx_init(rx, 1, count, &sections);
    }
  }
}

TEST_F(Fuzz, CommandParserSurvivesAnything) {
  static const char *const kWords[] = {"hex", "text", "vcom", "cfg", "verify", "sleep", "wait", "list", "help", "close"};
  Session s{};
  s.addr = "127.0.0.1";
  uint8_t out[64];
  for (int round = 0; round < kRounds && time_left(); round++) {
    std::string line = kWords[pick(10)];
    for (size_t i = pick(60); i > 0; i--) line += static_cast<char>(pick(2) ? ' ' + pick(95) : pick(256));
    cmd_run(s, line.c_str(), 0);
    s.wait_ms = 0;
    EXPECT_FALSE(s.quit) << line;
    int n = parse_hex(line.c_str(), out, sizeof out);
    EXPECT_LE(n, 64);
    n = parse_escaped(line.c_str(), out, sizeof out);
    EXPECT_LE(n, 64);
  }
}

}  // namespace
