// An rfc2217 exposure's line: its one client's Telnet state, the line's
// settings as the gateway last reported them, and the exchange on the
// gateway's virtual COM channel that carries out what the client asked.
//
// A setting is answered with what the line runs once the gateway has
// reported it after the change, or, when the gateway refused it or has not
// answered within kComAnswerMs, with what the line was known to run (0 for
// a field never learnt: the gateway has not been online since the hub
// started). The settings a client made stay after it leaves, as a serial
// port's do (the gateway does not save them: its restart brings back its
// configured ones).
#ifndef HUB_GATEWAYS_EXP_COM_H
#define HUB_GATEWAYS_EXP_COM_H

#include <stdint.h>

#include "gateways/linefmt.h"
#include "rfc2217.h"

namespace hub {

// Below the 3 s pyserial's client and common virtual COM drivers wait.
constexpr uint32_t kComAnswerMs = 2500;
// Settings asked within this of the first are carried out together: a
// client sends its four in a row, and each change reopens the line (all
// four read at once go at once).
constexpr uint32_t kComGatherMs = 20;

struct ExpClient;

struct ComLine {
  ExpClient *client = nullptr;  // the one client, if any
  rfc2217::Engine eng;
  Format line;             // what the gateway last reported
  bool known = false;      // ...since the hub started
  bool query_due = false;  // the line's settings to be asked (the gateway came, a client came)
  bool waiting = false;    // in Exposures::com_wait
  uint32_t asked_at = 0;   // the client's settings not yet answered came (the bound counts from it)
  // The exchange in flight (ticket 0: none), the settings it answers, and
  // those answered at the bound before it ended.
  uint64_t ticket = 0;
  uint8_t answers = 0, late = 0;
  uint32_t answer_by = 0;
};

}  // namespace hub

#endif
