// Modbus TCP as the server side and the simulations speak it: the MBAP
// header and its checks, big-endian fields, the response that answers a
// request, exception responses, and an exposed port's requests (one in
// flight to the gateway, a bounded queue behind it, its time-out). Sockets,
// clients and logging stay with the callers.
#ifndef MBTCP_H
#define MBTCP_H

#include <stddef.h>
#include <stdint.h>

#include <deque>

namespace mbtcp {

constexpr size_t kMbapLen = 6;            // transaction, protocol, length
constexpr size_t kMinAdu = kMbapLen + 2;  // and unit id, function code
constexpr size_t kAduMax = 260;           // MBAP header and the largest PDU
constexpr size_t kExceptionLen = 9;
constexpr uint8_t kBroadcast = 0;              // the unit id every slave of a serial line executes
constexpr uint8_t kExcIllegalFunction = 0x01;  // a broadcast that is no write
constexpr uint8_t kExcBusy = 0x06;             // server device busy (queue full)
constexpr uint8_t kExcPathUnavailable = 0x0A;  // gateway not connected
constexpr uint8_t kExcNoResponse = 0x0B;       // target device failed to respond

unsigned be16(const uint8_t *p);
void put_be16(uint8_t *p, unsigned v);

enum class Frame { kWhole, kNeedMore, kBad };

// Judges the MBAP header at p (avail bytes there): protocol 0 and a length
// of 2..254. With a sound header *len is the whole frame's size (kWhole
// when all of it is there); kNeedMore before 6 bytes.
Frame frame_check(const uint8_t *p, size_t avail, size_t *len);

// Whether the frame d (n bytes) is a whole response to request: same
// transaction and protocol, MBAP length matching.
bool is_answer(const uint8_t *request, const uint8_t *d, size_t n);

// What a response with the request's transaction (is_answer) says of the
// request: kAnswer when it also comes from the request's unit id with its
// function code (plain, or with the exception bit); kOther when it comes
// from another unit or answers another function.
enum class Match { kNotIt, kAnswer, kOther };
Match match(const uint8_t *request, const uint8_t *d, size_t n);

// A broadcast write (unit id 0 and a write function code, with the fields
// its normal response repeats): every slave executes it, none answers.
bool is_broadcast(const uint8_t *adu);
bool is_broadcast_write(const uint8_t *adu, size_t len);
// The normal response a slave gives to the write request adu (len bytes):
// the request itself (0x05, 0x06, 0x15, 0x16) or its first five PDU bytes
// (0x0F, 0x10). out has room for kAduMax bytes; returns its length.
size_t write_response(const uint8_t *adu, size_t len, uint8_t *out);

// The exception response to request adu (its MBAP header and function
// code): length 3, unit id, function | 0x80, code. out has room for
// kExceptionLen bytes; returns kExceptionLen.
size_t exception(const uint8_t *adu, uint8_t code, uint8_t *out);

struct Request {
  uint32_t client = 0;  // serial of the client it came from
  uint64_t at_us = 0;   // when it came (the caller's clock)
  uint16_t len = 0;
  uint8_t adu[kAduMax] = {};
};

// One exposed port's requests.
struct Port {
  std::deque<Request> queue;
  bool busy = false;   // a request is in flight
  bool broadcast = false;  // ...and it is a broadcast: it waits its turnaround, no answer
  Request flight;
  uint32_t sent_at = 0;  // ms
  uint32_t link = 0;     // the gateway connection it went out on
};

// Queues a request; false when `most` are waiting already.
bool enqueue(Port &p, const Request &r, size_t most);
// The request to send next: null while one is in flight or none waits.
// Requests whose client is gone (alive says false) are dropped on the way.
const Request *next(Port &p, bool (*alive)(void *ctx, uint32_t client), void *ctx);
// The request next() gave went out at now on gateway connection link.
void sent(Port &p, uint32_t now, uint32_t link);
// The oldest waiting request, taken off the queue (false: none).
bool take(Port &p, Request *out);
// Whether d answers the request in flight; the port is then free again.
bool answered(Port &p, const uint8_t *d, size_t n);
// What d says of the request in flight (match); kAnswer and kOther free the
// port. A broadcast is never answered: always kNotIt.
Match reply(Port &p, const uint8_t *d, size_t n);
// Whether the request in flight has waited timeout_ms; the port is then
// free again, and the caller answers flight with kExcNoResponse.
bool expired(Port &p, uint32_t now, uint32_t timeout_ms);

}  // namespace mbtcp

#endif
