// The RFC 2217 engine on what a client of an rfc2217 exposure may send: a
// Telnet stream cut into chunks, the owner answering the settings asked
// and telling the modem state between chunks.
//
// Input: byte 0 seeds the chunk sizes (1..64) and the owner's answers;
// the rest is the client's stream.
// Checked beyond the sanitizers: the line's bytes are never more than the
// client sent; what goes to the client is sound Telnet (every IAC begins
// a doubled 0xFF, a negotiation or a whole subnegotiation ended by IAC SE)
// and bounded per byte taken (no negotiation loop); the line's bytes sent
// back through a fresh engine's input, escaped, come out as they went in.
#include <string.h>

#include <vector>

#include "fuzzkit.h"
#include "rfc2217.h"

namespace {

using rfc2217::Io;

// Every IAC of a server's output starts something sound.
void check_telnet(const std::vector<uint8_t> &out) {
  size_t i = 0;
  while (i < out.size()) {
    if (out[i++] != rfc2217::kIac) continue;
    if (i >= out.size()) fuzzkit::fail("IAC at the end");
    const uint8_t c = out[i++];
    if (c == rfc2217::kIac) continue;
    if (c >= rfc2217::kWill) {
      if (i++ >= out.size()) fuzzkit::fail("negotiation without its option");
      continue;
    }
    if (c != rfc2217::kSb) fuzzkit::fail("IAC %u", c);
    for (;;) {
      if (i + 1 >= out.size()) fuzzkit::fail("subnegotiation without its end");
      if (out[i] == rfc2217::kIac && out[i + 1] == rfc2217::kSe) break;
      i += out[i] == rfc2217::kIac ? 2 : 1;
    }
    i += 2;
  }
}

void check_round_trip(const std::vector<uint8_t> &line) {
  Io esc;
  rfc2217::to_client(line.data(), line.size(), esc);
  rfc2217::Engine e;
  Io back;
  rfc2217::input(e, esc.client.data(), esc.client.size(), back);
  if (back.line != line || !back.client.empty()) fuzzkit::fail("0xFF does not come back as it went");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  fuzzkit::Rng rng(data[0] * 2654435761u + 1);
  rfc2217::Engine e;
  Io io;
  rfc2217::start(e, "trm-hub fuzz gateway 10.0.0.7 port 2", io);
  std::vector<uint8_t> line, client = io.client;
  for (size_t at = 1; at < size;) {
    const size_t n = std::min<size_t>(1 + rng.next() % 64, size - at);
    io = Io{};
    rfc2217::input(e, data + at, n, io);
    // At most three bytes a byte taken (a negotiation's answer), and one
    // answer for each subnegotiation (six bytes at least, and a chunk may
    // end one begun before): the longest, a signature, with every byte
    // doubled and a modem state before it.
    const size_t most = 3 * n + (n / 6 + 1) * (2 * e.signature.size() + 16);
    if (io.client.size() > most) fuzzkit::fail("%zu bytes out for %zu", io.client.size(), n);
    at += n;
    if (e.asked) {
      rfc2217::Format f{rng.next(), static_cast<uint8_t>(rng.next()), static_cast<uint8_t>(rng.next()), 0xFF};
      rfc2217::answer(e.asked, f, io);
      e.asked = 0;
    }
    rfc2217::modem_state(e, static_cast<uint8_t>(rng.next() & 0xF0), io);
    line.insert(line.end(), io.line.begin(), io.line.end());
    client.insert(client.end(), io.client.begin(), io.client.end());
  }
  if (line.size() > size - 1) fuzzkit::fail("more line bytes than were sent");
  check_telnet(client);
  check_round_trip(line);
  return 0;
}
