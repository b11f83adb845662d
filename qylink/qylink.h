// The server link as both ends must agree on it: the packet layout and its
// header checks, the section ports, the verify arithmetic, the heartbeat
// burst, the byte scrambling, and the millisecond clock every end times the
// link with. The gateway daemon, the server console and the hub all build
// on this one header; nothing here prints or allocates.
#ifndef QYLINK_H
#define QYLINK_H

#include <stddef.h>
#include <stdint.h>

// Packet header: version, length (LE, whole packet), type, IP text length.
#define PACKAGE_VER 2
#define PACKAGE_TYPE_INIT 0
#define PACKAGE_TYPE_DATA 1
#define PACKAGE_TYPE_HEARTBEAT 2
#define PACKAGE_MAX_IPLEN 15
#define PACKAGE_HEADER_LEN 5
#define PACKAGE_SECTION_HEAD 4   // port (LE), data length (LE)

// Section ports. Either direction: 1 and 2 carry the RS-485 and RS-232
// line bytes (or Modbus TCP when the line is bridged); 256 virtual COM
// commands and replies; 257 configuration commands and replies; 258 the
// verify challenge (X, Y) and its 4-byte answer.
#define COM_PORT_RS485 1
#define COM_PORT_RS232 2
#define COM_PORT_QYCOM 256
#define COM_PORT_QYIO 257
#define COM_PORT_VERIFY 258

#define PACKET_BUF_SIZE 1500        // largest packet either end sends or takes
#define HEARTBEAT_BURST_LIMIT 1460  // a heartbeat burst stays below this
#define VERIFY_CHALLENGE_LEN 2
#define VERIFY_ANSWER_LEN 4

typedef struct __attribute__((packed)) PackageHeader {
  uint8_t ucPackageVer;
  uint16_t usPackageLen;
  uint8_t ucPackageType;
  uint8_t ucIPLen;
} PackageHeader;

typedef struct __attribute__((packed)) PackageCom {
  uint16_t usComPort;
  uint16_t usComDataLen;
} PackageCom;

#ifdef __cplusplus
extern "C" {
#endif

// ---- little-endian fields
uint16_t wire_get16(const uint8_t *p);
uint32_t wire_get32(const uint8_t *p);
void wire_put16(uint8_t *p, uint16_t v);
void wire_put32(uint8_t *p, uint32_t v);

// ---- header checks
typedef enum WireHeader {
  WIRE_HEADER_OK = 0,
  WIRE_HEADER_PARTIAL,     // fewer than PACKAGE_HEADER_LEN bytes to judge
  WIRE_HEADER_VERSION,     // version not 2
  WIRE_HEADER_TYPE,        // type over 2
  WIRE_HEADER_IPLEN,       // IP text longer than 15
  WIRE_HEADER_LENGTH,      // length below the header or above PACKET_BUF_SIZE
} WireHeader;

// Judges the header at p (avail bytes there); with WIRE_HEADER_OK the
// packet's length is in *len (it may be more than avail: not all there yet).
WireHeader wire_check_header(const uint8_t *p, size_t avail, size_t *len);

// Header, IP text and signal byte of the packet at p (its header judged).
size_t wire_prefix_len(const uint8_t *p);

// ---- laying packets out (plain bytes, before scrambling)
// Header with length 0, IP text and signal byte; the offset after them, or
// 0 when they do not fit cap. (A gateway may carry up to 31 IP characters;
// the receiving end judges the 15-character rule.)
size_t wire_put_prefix(uint8_t *buf, size_t cap, uint8_t type, const char *ip, size_t iplen,
                       uint8_t signal);
// A section head and n data bytes at off (data may be null: room only);
// the offset after them, or 0 when they do not fit cap or n > 65535.
size_t wire_put_section(uint8_t *buf, size_t cap, size_t off, uint16_t port, const uint8_t *data,
                        size_t n);
// Writes len into the header's length field; returns len.
size_t wire_finish(uint8_t *buf, size_t len);

// The init packet after its prefix: what a gateway says of itself.
// Strings are length-prefixed on the wire, without terminator.
#define INIT_CONSTANT 10     // fixed byte after the heartbeat period
#define INIT_RESERVED 8      // zero bytes at the end
typedef struct WireInit {
  const char *ip;
  size_t iplen;
  uint8_t signal;
  uint8_t net;             // 0 while the gateway's PPP link is up
  const char *model;       // each string at most 255 characters
  const char *alias;
  const char *version;
  uint8_t ports;           // serial ports offered
  uint16_t heartbeat_s;
  uint16_t server_delay;
} WireInit;
// The whole init packet; its length, or 0 when it does not fit cap.
size_t wire_put_init(uint8_t *buf, size_t cap, const WireInit *init);

// ---- walking the sections of a data packet
typedef struct WireSection {
  uint16_t port;
  uint16_t len;
  const uint8_t *data;  // the section's data
  size_t at;            // and its offset in the packet (for writers: pkt + at)
} WireSection;

// Non-zero when the section count byte and every section it announces, head
// and data, lie within the len bytes of the packet, and each verify section
// holds its two bytes.
int wire_sections_fit(const uint8_t *pkt, size_t len);
// The section count, and the section after *off (start: *off = 0); the
// packet must have passed wire_sections_fit.
unsigned wire_section_count(const uint8_t *pkt);
WireSection wire_next_section(const uint8_t *pkt, size_t *off);

// ---- fixed arithmetic of the link
// The answer to the verify challenge (X, Y): 5XY + 3YY - 11.
int32_t wire_verify_answer(uint8_t x, uint8_t y);
// Copies of a heartbeat packet of len bytes in one burst: copies go into the
// buffer while the end stays below HEARTBEAT_BURST_LIMIT, and one copy fewer
// than the buffer then holds is sent (84 for 17 bytes). 0 when len is 0 or
// no second copy fits.
unsigned wire_heartbeat_copies(size_t len);

// ---- byte scrambling: EncodeArray and its inverse, in place
void EncodePacket(unsigned char *cData, int iDataLen);
void DecodePacket(unsigned char *cData, int iDataLen);

// ---- the link's clock
// Milliseconds of a monotonic clock cut to 32 bits: subtract two readings
// in unsigned 32-bit arithmetic and the wrap does no harm.
uint32_t qy_ticks(void);
// The same tick, and in *us the microseconds of it already gone (0..999;
// always 0 under a fake clock), from one reading of the clock: for timing
// finer than a tick.
uint32_t qy_ticks_split(uint32_t *us);
// Tests: qy_ticks reads this function instead (null: the real clock again).
void qy_ticks_install(uint32_t (*fake)(void));

#ifdef __cplusplus
}
#endif

#endif
