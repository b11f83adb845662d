// rfc2217 exposures: the client's Telnet stream through the engine, the
// line's bytes back to it escaped, carrier from the gateway's state, and
// the settings it asks for carried out on the gateway's virtual COM channel.
#include "gateways/exp_com.h"

#include "core/log.h"
#include "gateways/channels.h"
#include "gateways/exp_kinds.h"
#include "gateways/exposures.h"

namespace hub {
namespace {

uint8_t modem_of(Hub &h, const Exposure &e) {
  // DSR and CTS: the port is there and takes bytes; carrier: the gateway is.
  return rfc2217::kDsr | rfc2217::kCts | (exp_gateway(h, e) ? rfc2217::kCarrier : 0);
}

void to_client(Hub &h, ExpClient &c, const rfc2217::Io &io) {
  if (!io.client.empty()) exp_put_out(h, c, io.client.data(), io.client.size());
}

void wait_on(Hub &h, Exposure &e) {
  if (e.com->waiting) return;
  e.com->waiting = true;
  h.ex->com_wait.push_back(&e);
}

// Whether the line runs the settings asked (a question is always met).
bool met(const ComLine &l, uint8_t which) {
  const Format &w = l.eng.want, &f = l.line;
  const bool rows[] = {!(which & rfc2217::kBaud) || !w.baud || w.baud == f.baud,
                       !(which & rfc2217::kDatasize) || !w.datasize || w.datasize == f.datasize,
                       !(which & rfc2217::kParity) || !w.parity || w.parity == f.parity,
                       !(which & rfc2217::kStopsize) || !w.stopsize || w.stopsize == f.stopsize};
  return l.known && rows[0] && rows[1] && rows[2] && rows[3];
}

// Answers settings with what the line is known to run, counted: carried
// out (or asked about), refused, or not answered by the gateway (offline,
// or not within the bound).
void answer(Hub &h, Exposure &e, uint8_t which, bool reached) {
  ComLine &l = *e.com;
  if (!which || !l.client) return;
  h.m.com_settings[!reached ? 2 : met(l, which) ? 0 : 1]++;
  rfc2217::Io io;
  rfc2217::answer(which, l.known ? l.line : Format{}, io);
  to_client(h, *l.client, io);
}

void exchange_done(Hub &h, const Exchange &x);

bool submit(Hub &h, Exposure &e, GatewayRecord &r, const std::string &text, uint8_t answers) {
  std::string why;
  const Exchange *x = cmd_submit(h, r, Channel::kVcom, text, exchange_done, &why);
  if (!x) {
    LOG_WARN("exposure %s port%u: the line's settings not asked: %s", e.conf.gateway.c_str(), e.conf.port, why.c_str());
    return false;
  }
  ComLine &l = *e.com;
  l.ticket = x->ticket;
  l.answers = answers;
  l.answer_by = l.asked_at + kComAnswerMs;
  return true;
}

// Starts what waits, one exchange at a time: the line's settings asked when
// a client or the gateway came, then the client's settings carried out
// (never before the line's settings are known: a format command names all
// three fields).
void settle(Hub &h, Exposure &e) {
  ComLine &l = *e.com;
  if (l.ticket || !l.client) return;  // the exchange's end settles again
  const uint8_t asked = l.eng.asked;
  GatewayRecord *r = exp_gateway(h, e);
  if (r && l.query_due && submit(h, e, *r, linefmt_query(e.conf.port), 0)) {
    l.query_due = false;
    return;
  }
  const uint8_t all = rfc2217::kBaud | rfc2217::kDatasize | rfc2217::kParity | rfc2217::kStopsize;
  if (!asked || (r && asked != all && h.now - l.asked_at < kComGatherMs)) return;
  l.eng.asked = 0;
  const std::string text = r && l.known ? linefmt_commands(e.conf.port, asked, l.eng.want, l.line) : "";
  if (text == linefmt_query(e.conf.port)) return answer(h, e, asked, true);  // nothing to change
  if (text.empty() || !submit(h, e, *r, text, asked)) answer(h, e, asked, false);
}

void log_line(const Exposure &e, const Format &f) {
  static const char kParity[] = "?NOEMS";
  LOG_INFO("exposure %s port%u: the line runs %u %u%c%u", e.conf.gateway.c_str(), e.conf.port, f.baud, f.datasize,
           kParity[f.parity < 6 ? f.parity : 0], f.stopsize);
}

// The line's report (or nothing) came: what it runs is known, and the
// settings of the exchange are answered (again, when they were answered
// at the bound and the line changed since).
void line_reported(Hub &h, Exposure &e, const Exchange &x) {
  ComLine &l = *e.com;
  l.ticket = 0;
  Format f;
  const bool read = x.outcome == Outcome::kDone && linefmt_read(cmd_split_replies(Channel::kVcom, x.reply), &f);
  const bool changed = read && (!l.known || f.baud != l.line.baud || f.datasize != l.line.datasize ||
                                f.parity != l.line.parity || f.stopsize != l.line.stopsize);
  if (read) {
    l.line = f;
    l.known = true;
  } else {
    LOG_INFO("exposure %s port%u: the line's settings not reported (%s)", e.conf.gateway.c_str(), e.conf.port,
             outcome_name(x.outcome));
  }
  if (changed) log_line(e, f);
  if (l.answers) {
    answer(h, e, l.answers, read);
  } else if (changed && l.late && l.client) {  // told again, not counted again
    rfc2217::Io io;
    rfc2217::answer(l.late, l.line, io);
    to_client(h, *l.client, io);
  }
  l.answers = l.late = 0;
  settle(h, e);
}

void exchange_done(Hub &h, const Exchange &x) {
  for (unsigned port = 1; port <= 2; port++) {
    Exposure *e = exp_find(h, x.gw, port);
    if (e && e->com && e->com->ticket == x.ticket) return line_reported(h, *e, x);
  }
}

std::string signature(const Hub &h, const Exposure &e) {
  return "trm-hub " + h.cfg.hub_id + " gateway " + e.conf.gateway + " port " + std::to_string(e.conf.port);
}

// Settings not answered within the bound get what the line is known to run.
void bound(Hub &h, Exposure &e) {
  ComLine &l = *e.com;
  if (l.answers && static_cast<int32_t>(h.now - l.answer_by) >= 0) {
    answer(h, e, l.answers, false);
    l.late = l.answers;
    l.answers = 0;
  }
  if (l.eng.asked && h.now - l.asked_at >= kComAnswerMs) {
    answer(h, e, l.eng.asked, false);
    l.eng.asked = 0;
  }
}

}  // namespace

void com_opened(Hub &h, ExpClient &c) {
  Exposure &e = *c.ex;
  ComLine &l = *e.com;
  l.client = &c;
  rfc2217::Io io;
  rfc2217::start(l.eng, signature(h, e), io);
  rfc2217::modem_state(l.eng, modem_of(h, e), io);
  to_client(h, c, io);
  l.query_due = true;  // someone may have changed the line since
  wait_on(h, e);
}

void com_input(Hub &h, ExpClient &c, const uint8_t *data, size_t n) {
  Exposure &e = *c.ex;
  ComLine &l = *e.com;
  const bool asked_before = l.eng.asked != 0;
  rfc2217::Io io;
  rfc2217::input(l.eng, data, n, io);
  if (!io.line.empty()) exp_raw_to_gateway(h, e, io.line.data(), io.line.size());
  to_client(h, c, io);
  // The hub holds no bytes of the line's beyond the socket's: a purge has
  // nothing of its own to drop.
  l.eng.purged = 0;
  if (c.closed) return;
  if (!asked_before && l.eng.asked) l.asked_at = h.now;
  settle(h, e);
  if (l.eng.asked || l.answers) wait_on(h, e);
}

void com_ended(Hub &, ExpClient &c) {
  ComLine &l = *c.ex->com;
  l.client = nullptr;
  l.eng.asked = 0;
  l.answers = l.late = 0;  // an exchange in flight still tells what the line runs
}

bool com_section(Hub &h, Exposure &e, GatewayRecord &, const uint8_t *data, size_t n) {
  ComLine &l = *e.com;
  h.m.raw_from_gw += n;
  if (!l.client) {
    h.m.raw_dropped += n;
    return false;
  }
  rfc2217::Io io;
  rfc2217::to_client(data, n, io);
  to_client(h, *l.client, io);
  return false;  // the broker hears the line too
}

// Carrier follows the gateway; when it comes, the line's settings are asked.
void com_changed(Hub &h, Exposure &e) {
  ComLine &l = *e.com;
  if (!l.client) return;
  const bool was = (l.eng.modem & rfc2217::kCarrier) != 0;
  const uint8_t now = modem_of(h, e);
  rfc2217::Io io;
  rfc2217::modem_state(l.eng, now, io);
  to_client(h, *l.client, io);
  if (!was && (now & rfc2217::kCarrier)) {
    l.query_due = true;
    wait_on(h, e);  // asked in the pass's timed work, after the gateway's own start
  }
}

bool com_tick(Hub &h) {
  std::vector<Exposure *> was;
  was.swap(h.ex->com_wait);
  for (Exposure *e : was) e->com->waiting = false;
  for (Exposure *e : was) {
    ComLine &l = *e->com;
    settle(h, *e);
    bound(h, *e);
    if (l.client && (l.answers || l.eng.asked || (l.query_due && exp_gateway(h, *e)))) wait_on(h, *e);
  }
  return !h.ex->com_wait.empty();
}

}  // namespace hub
