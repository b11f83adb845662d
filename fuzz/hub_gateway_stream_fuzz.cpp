// Covers the byte stream of one gateway connection: framing in any cut of reads, init and ID rules, heartbeats, section dispatch to exposures, commands, verify and the broker, and the registry record; with bit 6 of the first byte, a link that chose the acknowledged link (hellos, acks, line bytes counted and kept).
#include <string.h>

#include "hub_fuzzkit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  hubfuzz::Rig rig;
  hub::Hub &h = *rig.h;
  hub::Session &s = hub::gw_open(h, -1, 0x0A000002, 40001);
  s.ack = (data[0] & 0x40) != 0;
  // The first byte cuts the rest into reads of 1..256 bytes.
  const size_t piece = data[0] + 1u;
  for (size_t off = 1; off < size && s.state != hub::Session::State::kClosed; off += piece) {
    size_t n = size - off < piece ? size - off : piece;
    rig.feed(s, data + off, n);
    if (hub::GatewayRecord *r = hub::hub_find(h, "10.0.0.7")) {
      // Requests in flight, so that replies and answers in the stream are taken.
      hub::cmd_submit(h, *r, hub::Channel::kCfg, "@CSQ\n@FWVER", nullptr, nullptr);
      hub::cmd_submit(h, *r, hub::Channel::kVcom, "00", nullptr, nullptr);
      hub::cmd_verify(h, *r, nullptr, 1, 2, nullptr);
      hub::Exposure *e = hub::exp_find(h, "10.0.0.7", 1);
      static const uint8_t kRequest[] = {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 2};
      if (e && !e->clients.empty()) hub::exp_client_input(h, *e->clients[0], kRequest, sizeof kRequest);
    }
    rig.pass(data[0] & 0x80 ? 700 : 1);
  }
  hub::gw_end(h, s, "end of input");
  rig.pass(1);
  return 0;
}
