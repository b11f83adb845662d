// Modem status poller: finds the modem's bit rate, then every five seconds
// asks for SIM state, registration and signal quality, checks for ppp0 and
// replaces the modem information file that the gateway daemon reads.
#ifndef CELMON_CELMON_H
#define CELMON_CELMON_H

#include <stddef.h>
#include <stdint.h>

namespace celmon {

constexpr int kModemPort = 22;           // //dev//ttyUSB2
constexpr int kQueryWindowMs = 500;      // reply window of each query
constexpr uint32_t kPollPeriodMs = 5000; // pause between two cycles
constexpr size_t kPathSize = 100;        // result path, at most 99 characters
constexpr size_t kResultSize = 200;      // one cycle's file text
constexpr size_t kReplySize = 100;       // one query's reply, NUL included
constexpr size_t kCpinTextSize = 20;     // SIM state text, NUL included

constexpr const char *kVersion = "V1.00";
constexpr const char *kVersionDate = "2013/03/21";
constexpr const char *kDefaultResultPath = "/quarne/modemInfo.txt";

// Query codes.
constexpr int QUERY_CSQ = 1000;
constexpr int QUERY_CREG = 1001;
constexpr int QUERY_CPIN = 1002;

// Exit statuses of a failed start.
constexpr int kExitNoPort = 2;
constexpr int kExitNoAnswer = 4;
constexpr int kExitBadPath = 1;

// Milliseconds of the time of day, cut to 32 bits; subtract two values
// (unsigned) to get an interval.
uint32_t get_ms_ticks();

// Reply parsers. Each takes the collected bytes (NULs among them do not end
// the text) and prints the reply first.
int encode_csq(const char *reply, size_t len);    // rssi, or -1
int encode_creg(const char *reply, size_t len);   // stat, or -1
// SIM state text into `text` (kCpinTextSize bytes, always terminated).
void encode_iscpin(const char *reply, size_t len, char *text);

// Appends "<text>" to the NUL-terminated `result` of `size` bytes, cutting
// what does not fit.
void append_text(char *result, size_t size, const char *text);

// Sends the query of `code`, collects the reply for at most `window_ms`
// (ending early on "OK\r\n"), parses it, prints its file line and appends it
// to `result`. 0, or -1 when the command could not be sent (no line).
int modem_query(int code, uint32_t window_ms, char *result, size_t size);

// True when a network interface named exactly `name` exists.
bool check_interface(const char *name);

// Replaces the file at the board path `path` with `len` bytes of `text`:
// written to a temporary file beside it, then renamed over it, so a reader
// sees the old or the new file, never a part. 0 on success.
int save_result(const char *path, const char *text, size_t len);

// Finds the rate at which the modem answers "AT", leaving the port open at
// it. The rate, or -kExitNoPort / -kExitNoAnswer.
int probe_rate();

// One poll cycle at `rate`: reopen, query, check ppp0, write the file.
// false when the port could not be reopened (nothing written).
bool poll_cycle(int rate, const char *path);

// Discards what the modem sent unasked (bounded, never blocks).
void discard_input();

}  // namespace celmon

#endif
