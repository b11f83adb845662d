// A line's bit rate and character format in the gateway's own terms, for
// the rfc2217 exposures: the virtual COM commands that carry out what a
// client asked, and the line's settings read from the port's report.
//
// Every exchange starts with "25E" (whether the gateway echoes each
// command's first two characters before its reply, so the replies can be
// read whatever its echo switch says) and ends with the port's report
// ("16<port>"), so its reply tells what the line runs after the change.
// The gateway's "02" answers OK whether or not the port reopened, and its
// report gives the rate as stored; so only rates the line really runs are
// asked for, and a reported rate it does not run is read as the one it
// runs (7200 runs at 4800, an unknown rate at 115200). Mark and space
// parity and 1.5 stop bits are not asked for: the line runs them as none
// and two.
#ifndef HUB_GATEWAYS_LINEFMT_H
#define HUB_GATEWAYS_LINEFMT_H

#include <stdint.h>

#include <string>
#include <vector>

#include "rfc2217.h"

namespace hub {

using rfc2217::Format;

// Whether the line runs at this rate as asked.
bool linefmt_rate_runs(uint32_t baud);

// The commands for what a client asked (`asked`: rfc2217::Setting bits,
// `want` their values, 0 a question) given the line's known settings; the
// report alone when nothing needs to change or nothing asked can be
// carried out. line must be known (every field set).
std::string linefmt_commands(unsigned port, uint8_t asked, const Format &want, const Format &line);
// The report alone.
std::string linefmt_query(unsigned port);

// The replies of such an exchange (cmd_split_replies) read: the line's
// settings from the last; false when it is not a report.
bool linefmt_read(const std::vector<std::string> &replies, Format *out);

}  // namespace hub

#endif
