// Command channels of a gateway: configuration commands (section port
// 257), virtual COM commands (256) and the verify challenge (258). The
// gateway answers the commands of one section with one section that joins
// the replies in order, so each channel has one request in flight and a
// small queue behind it; replies are paired with commands by position.
#ifndef HUB_COMMANDS_H
#define HUB_COMMANDS_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "gateways/session.h"
#include "core/hub.h"

namespace hub {

enum class Channel : uint8_t { kVcom = 0, kCfg = 1, kVerify = 2 };
enum class Outcome : uint8_t { kPending, kDone, kPartial, kTimeout, kOffline };

constexpr unsigned kMaxCommands = 15;  // replies the gateway can hold at once
constexpr size_t kChannelQueue = 16;   // requests waiting per channel
constexpr uint32_t kReplyQuietMs = 200;  // a virtual COM reply ends after this quiet

struct Exchange;
// Who hears that an exchange ended: the function its submitter gave (null:
// nobody, as for the scheduled verify challenges).
using ExchangeDone = void (*)(Hub &h, const Exchange &x);

struct Exchange {
  uint64_t ticket = 0;
  Channel ch = Channel::kCfg;
  ExchangeDone done = nullptr;
  std::string gw;
  std::string text;      // what goes out: commands ended in CR, or X Y
  unsigned count = 0;    // commands in text
  int32_t expect = 0;    // verify: the right answer
  uint32_t serial = 0;   // connection it went out on (0: not sent yet)
  uint32_t sent_at = 0, last_part = 0;
  Outcome outcome = Outcome::kPending;
  std::string reply;     // joined reply text as it came
  int32_t answer = 0;    // verify: the answer that came
  bool match = false;
};

struct ChannelState {
  std::vector<std::unique_ptr<Exchange>> queue;
  std::unique_ptr<Exchange> flight;
};

struct Channels {
  ChannelState ch[3];
};

struct Commands {
  uint64_t next_ticket = 1;
  std::unordered_map<const GatewayRecord *, std::unique_ptr<Channels>> channels;  // made on first use
  std::vector<GatewayRecord *> active;  // records with exchanges
};

// What the command channels take of what the gateways announce: sections
// that answer an exchange in flight, the verify challenges due, and the end of
// every exchange of a gateway that went away.
extern const GatewayHooks kCommandHooks;

// Command text as the gateway wants it: one command a line (CR, LF or
// both end a line; empty lines skipped), each ended by CR; configuration
// commands get their '@' when it is missing. false with a reason when
// there are none, more than kMaxCommands, or too many bytes for a packet.
bool cmd_normalize(Channel ch, const std::string &in, std::string *out, unsigned *count, std::string *why);

// The joined reply text cut into one reply per command: configuration
// replies end in CR LF, virtual COM replies in CR (a trailing piece without
// its end is kept as the last reply).
std::vector<std::string> cmd_split_replies(Channel ch, const std::string &reply);

// Queues commands for an online, admitted gateway; the exchange (owned here)
// or null with a reason (offline, held, queue full, text refused).
Exchange *cmd_submit(Hub &h, GatewayRecord &r, Channel ch, const std::string &text, ExchangeDone done,
                std::string *why);
// Queues a verify challenge (x, y; -1 picks one at random). Held gateways
// may be challenged.
Exchange *cmd_verify(Hub &h, GatewayRecord &r, ExchangeDone done, int x, int y, std::string *why);

// A section of port 256, 257 or 258 from the gateway: true when it answers
// the channel's exchange in flight.
bool cmd_on_section(Hub &h, GatewayRecord &r, uint16_t port, const uint8_t *data, size_t n);
// The gateway went away or was held: every exchange of it ends.
void cmd_on_offline(Hub &h, GatewayRecord &r);
// Time-outs and retries; true while anything is in flight or waiting.
bool cmd_tick(Hub &h);
// Whoever waited for ticket is gone: its exchange ends quietly.
void cmd_forget(Hub &h, uint64_t ticket);

const char *channel_name(Channel ch);
const char *outcome_name(Outcome o);

}  // namespace hub

#endif
