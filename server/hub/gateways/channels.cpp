// Command channels: queues, the request in flight, replies and time-outs.
#include "gateways/channels.h"

#include <stdio.h>
#include <string.h>

#include "gateways/session.h"
#include "core/log.h"
#include "core/packet.h"

namespace hub {
namespace {

const uint16_t kPorts[] = {COM_PORT_QYCOM, COM_PORT_QYIO, COM_PORT_VERIFY};

uint32_t g_rand = 0x2545F491u;

uint8_t random_byte() {
  g_rand ^= g_rand << 13;
  g_rand ^= g_rand >> 17;
  g_rand ^= g_rand << 5;
  return static_cast<uint8_t>(g_rand >> 11);
}

// The gateway's channels, null before its first exchange.
Channels *find_channels(const Hub &h, const GatewayRecord &r) {
  auto it = h.cmds->channels.find(&r);
  return it == h.cmds->channels.end() ? nullptr : it->second.get();
}

ChannelState &state(const Hub &h, const GatewayRecord &r, Channel ch) {
  return find_channels(h, r)->ch[static_cast<int>(ch)];
}

Channels &channels(Hub &h, GatewayRecord &r) {
  std::unique_ptr<Channels> &c = h.cmds->channels[&r];
  if (!c) c.reset(new Channels);
  bool listed = false;
  for (GatewayRecord *a : h.cmds->active) listed = listed || a == &r;
  if (!listed) h.cmds->active.push_back(&r);
  return *c;
}

uint32_t session_serial(const GatewayRecord &r) { return gw_online(r) ? r.session->serial : 0; }

void start_next(Hub &h, GatewayRecord &r, Channel ch) {
  ChannelState &st = state(h, r, ch);
  if (st.flight || st.queue.empty() || !gw_has_room(h, r)) return;
  std::unique_ptr<Exchange> j = std::move(st.queue.front());
  st.queue.erase(st.queue.begin());
  gw_send(h, r, kPorts[static_cast<int>(ch)], reinterpret_cast<const uint8_t *>(j->text.data()), j->text.size());
  j->serial = r.session->serial;
  j->sent_at = j->last_part = h.now;
  st.flight = std::move(j);
}

void count_verify(Hub &h, GatewayRecord &r, const Exchange &j) {
  if (j.outcome == Outcome::kDone && j.match) {
    h.m.verify_ok++;
    LOG_INFO("gateway %s verify answer=%d match", r.id.c_str(), static_cast<int>(j.answer));
    return;
  }
  if (j.outcome == Outcome::kOffline) return;
  h.m.verify_fail++;
  r.c.verify_fail++;
  r.verify_fail_at = h.wall_ms / 1000;
  if (j.outcome == Outcome::kDone) {
    LOG_WARN("gateway %s verify answer=%d expected=%d mismatch", r.id.c_str(), static_cast<int>(j.answer),
             static_cast<int>(j.expect));
  } else {
    LOG_WARN("gateway %s verify: no answer in time", r.id.c_str());
  }
}

void deliver(Hub &h, GatewayRecord &r, Exchange &j) {
  if (j.ch == Channel::kVerify) count_verify(h, r, j);
  if (j.outcome == Outcome::kTimeout || j.outcome == Outcome::kPartial) h.m.command_timeouts++;
  if (j.done) j.done(h, j);
}

// Ends the exchange in flight; a failed verify may close the connection after.
void finish(Hub &h, GatewayRecord &r, Channel ch, Outcome o) {
  std::unique_ptr<Exchange> j = std::move(state(h, r, ch).flight);
  j->outcome = o;
  deliver(h, r, *j);
  bool failed = ch == Channel::kVerify && o != Outcome::kOffline && !(o == Outcome::kDone && j->match);
  if (failed && h.cfg.verify_close_on_fail && session_serial(r) == j->serial && j->serial != 0) {
    gw_end(h, *r.session, "failed the verify challenge");
    return;
  }
  start_next(h, r, ch);
}

Exchange *enqueue(Hub &h, GatewayRecord &r, std::unique_ptr<Exchange> j, std::string *why) {
  ChannelState &st = channels(h, r).ch[static_cast<int>(j->ch)];
  if (st.queue.size() >= kChannelQueue) {
    if (why) *why = "too many requests waiting for this gateway";
    return nullptr;
  }
  j->ticket = h.cmds->next_ticket++;
  j->gw = r.id;
  Exchange *raw = j.get();  // owned by the channel's queue, then its flight, until delivered
  Channel ch = j->ch;
  st.queue.push_back(std::move(j));
  start_next(h, r, ch);  // queues a packet; never delivers (and frees) the exchange at once
  // cppcheck-suppress returnDanglingLifetime
  return raw;
}

// "!CSQ;<signal>;<network>" in a configuration reply tells the network state.
void note_csq(Hub &h, GatewayRecord &r, const std::string &reply) {
  size_t at = reply.find("!CSQ;");
  unsigned signal = 0, net = 0;
  if (at == std::string::npos || sscanf(reply.c_str() + at, "!CSQ;%u;%u", &signal, &net) != 2) return;
  if (net <= 1 && net != r.network) {
    r.network = static_cast<uint8_t>(net);
    gw_changed(h, r, false);
  }
}

void on_reply(Hub &h, GatewayRecord &r, Channel ch, const uint8_t *data, size_t n) {
  Exchange &j = *state(h, r, ch).flight;
  j.reply.append(reinterpret_cast<const char *>(data), n);
  j.last_part = h.now;
  if (ch == Channel::kCfg) note_csq(h, r, j.reply);
  if (cmd_split_replies(ch, j.reply).size() >= j.count && (ch == Channel::kVcom || j.reply.back() == '\n')) {
    finish(h, r, ch, Outcome::kDone);
  }
}

void on_answer(Hub &h, GatewayRecord &r, const uint8_t *data, size_t n) {
  Exchange &j = *state(h, r, Channel::kVerify).flight;
  j.match = n == VERIFY_ANSWER_LEN && static_cast<int32_t>(wire_get32(data)) == j.expect;
  j.answer = n == VERIFY_ANSWER_LEN ? static_cast<int32_t>(wire_get32(data)) : 0;
  finish(h, r, Channel::kVerify, Outcome::kDone);
}

void drain(Hub &h, GatewayRecord &r, Channel ch) {
  ChannelState &st = state(h, r, ch);
  if (st.flight) finish(h, r, ch, Outcome::kOffline);
  while (!st.queue.empty()) {
    std::unique_ptr<Exchange> j = std::move(st.queue.front());
    st.queue.erase(st.queue.begin());
    j->outcome = Outcome::kOffline;
    deliver(h, r, *j);
  }
}

bool tick_channel(Hub &h, GatewayRecord &r, Channel ch) {
  ChannelState &st = state(h, r, ch);
  if (st.flight) {
    const Exchange &j = *st.flight;
    uint32_t limit = ch == Channel::kVerify ? h.cfg.verify_timeout_ms : h.cfg.command_timeout_ms;
    if (j.serial != session_serial(r)) {
      finish(h, r, ch, Outcome::kOffline);
    } else if (ch == Channel::kVcom && !j.reply.empty() && h.now - j.last_part >= kReplyQuietMs) {
      finish(h, r, ch, Outcome::kDone);
    } else if (h.now - j.sent_at >= limit) {
      finish(h, r, ch, j.reply.empty() ? Outcome::kTimeout : Outcome::kPartial);
    }
  }
  start_next(h, r, ch);
  return st.flight || !st.queue.empty();
}

void on_online(Hub &h, GatewayRecord &r) {
  if (h.cfg.verify_on_connect) cmd_verify(h, r, nullptr, -1, -1, nullptr);
}

void on_verify_due(Hub &h, GatewayRecord &r) { cmd_verify(h, r, nullptr, -1, -1, nullptr); }

}  // namespace

const GatewayHooks kCommandHooks = [] {
  GatewayHooks row{};
  row.online = on_online;
  row.offline = cmd_on_offline;
  row.verify_due = on_verify_due;
  row.channel_reply = cmd_on_section;
  return row;
}();

const char *channel_name(Channel ch) {
  static const char *const kNames[] = {"vcom", "cfg", "verify"};
  return kNames[static_cast<int>(ch)];
}

const char *outcome_name(Outcome o) {
  static const char *const kNames[] = {"pending", "done", "partial", "timeout", "offline"};
  return kNames[static_cast<int>(o)];
}

bool cmd_normalize(Channel ch, const std::string &in, std::string *out, unsigned *count, std::string *why) {
  out->clear();
  *count = 0;
  size_t pos = 0;
  while (pos <= in.size()) {
    size_t end = in.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = in.size();
    std::string line = in.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty()) continue;
    for (char c : line) {
      if (static_cast<unsigned char>(c) < 0x20) return *why = "control characters in a command", false;
    }
    if (ch == Channel::kCfg && line[0] != '@') line.insert(0, 1, '@');
    *out += line + "\r";
    ++*count;
  }
  if (*count == 0) return *why = "no command", false;
  if (*count > kMaxCommands) return *why = "at most 15 commands at once", false;
  if (out->size() > kSectionMax) return *why = "commands too long for one packet", false;
  return true;
}

std::vector<std::string> cmd_split_replies(Channel ch, const std::string &reply) {
  const char *end = ch == Channel::kCfg ? "\r\n" : "\r";
  size_t end_len = strlen(end);
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < reply.size()) {
    size_t at = reply.find(end, pos);
    if (at == std::string::npos) {
      out.push_back(reply.substr(pos));
      break;
    }
    out.push_back(reply.substr(pos, at - pos));
    pos = at + end_len;
  }
  return out;
}

Exchange *cmd_submit(Hub &h, GatewayRecord &r, Channel ch, const std::string &text, ExchangeDone done,
                std::string *why) {
  std::string dummy;
  if (!why) why = &dummy;
  if (!gw_online(r)) return *why = "gateway offline", nullptr;
  if (!r.session->admitted) return *why = "gateway held: admit it first", nullptr;
  std::unique_ptr<Exchange> j(new Exchange);
  if (!cmd_normalize(ch, text, &j->text, &j->count, why)) return nullptr;
  j->ch = ch;
  j->done = done;
  h.m.commands++;
  return enqueue(h, r, std::move(j), why);
}

Exchange *cmd_verify(Hub &h, GatewayRecord &r, ExchangeDone done, int x, int y, std::string *why) {
  if (!gw_online(r)) {
    if (why) *why = "gateway offline";
    return nullptr;
  }
  std::unique_ptr<Exchange> j(new Exchange);
  uint8_t xy[2] = {x < 0 ? random_byte() : static_cast<uint8_t>(x), y < 0 ? random_byte() : static_cast<uint8_t>(y)};
  j->ch = Channel::kVerify;
  j->done = done;
  j->text.assign(reinterpret_cast<const char *>(xy), 2);
  j->count = 1;
  j->expect = wire_verify_answer(xy[0], xy[1]);
  return enqueue(h, r, std::move(j), why);
}

bool cmd_on_section(Hub &h, GatewayRecord &r, uint16_t port, const uint8_t *data, size_t n) {
  Channel ch = port == COM_PORT_QYCOM ? Channel::kVcom : port == COM_PORT_QYIO ? Channel::kCfg : Channel::kVerify;
  const Channels *c = find_channels(h, r);
  const ChannelState *st = c ? &c->ch[static_cast<int>(ch)] : nullptr;
  if (st && st->flight && st->flight->serial == session_serial(r)) {
    if (ch == Channel::kVerify) {
      on_answer(h, r, data, n);
    } else {
      on_reply(h, r, ch, data, n);
    }
    return true;
  }
  LOG_DEBUG("gateway %s unsolicited %s section of %zu bytes", r.id.c_str(), channel_name(ch), n);
  return false;
}

void cmd_on_offline(Hub &h, GatewayRecord &r) {
  if (!find_channels(h, r)) return;
  for (Channel ch : {Channel::kVcom, Channel::kCfg, Channel::kVerify}) drain(h, r, ch);
}

bool cmd_tick(Hub &h) {
  std::vector<GatewayRecord *> &act = h.cmds->active;
  for (size_t i = 0; i < act.size();) {
    GatewayRecord &r = *act[i];
    bool busy = false;
    for (Channel ch : {Channel::kVcom, Channel::kCfg, Channel::kVerify}) busy = tick_channel(h, r, ch) || busy;
    if (busy) {
      i++;
    } else {
      act[i] = act.back();
      act.pop_back();
    }
  }
  return !act.empty();
}

void cmd_forget(Hub &h, uint64_t ticket) {
  for (GatewayRecord *r : h.cmds->active) {
    for (ChannelState &st : find_channels(h, *r)->ch) {
      if (st.flight && st.flight->ticket == ticket) st.flight->done = nullptr;
      for (auto &j : st.queue) {
        if (j->ticket == ticket) j->done = nullptr;
      }
    }
  }
}

}  // namespace hub
