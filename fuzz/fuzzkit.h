// Shared pieces of the fuzz targets: a sandbox directory made once per
// process (the board tree below <dir>/board, the path module pointed at
// it), pseudo-terminals standing in for serial devices, quiet standard
// output, and a reader that takes fields from the front of an input.
#ifndef FUZZ_FUZZKIT_H
#define FUZZ_FUZZKIT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace fuzzkit {

// Creates the sandbox on first use (on /dev/shm when there is one, so the
// fsyncs of a save cost nothing), removed when the process exits normally.
// Returns the host path of the board path `path` ("/quarne/..." ->
// "<dir>/board/quarne/...").
std::string board(const char *path);

// Writes n bytes as the whole content of the file at the board path (its
// directory made when missing).
void write_file(const char *board_path, const uint8_t *data, size_t n);

// Opens a pseudo-terminal whose slave is linked at the board device path
// (for example "/dev/ttyS1"), raw, slave kept open so the line never hangs
// up. Returns the master, non-blocking.
int add_pty(const char *device);

// Reads and drops everything waiting on a non-blocking descriptor.
void drain(int fd);

// True when the environment has TRM_FUZZ_LOG=1: the programs' logs are
// wanted, for looking at what one input does.
bool log_wanted();

// Standard output goes to /dev/null (the programs log every step), unless
// the log is wanted.
void quiet_stdout();

// Fields taken from the front of an input; past its end every field is 0
// (or empty).
class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : p_(data), left_(size) {}
  uint8_t byte();
  uint16_t u16();
  // Up to n bytes; how many there were.
  size_t take(size_t n, const uint8_t **out);
  const uint8_t *rest(size_t *n);
  size_t left() const { return left_; }

 private:
  const uint8_t *p_;
  size_t left_;
};

// Well-formed link packets (plain bytes, either direction) made from the
// rest of the input, appended to `out`; lengths and section counts are
// computed, so mutations of the content keep the packets sound. Each
// packet takes
//   byte    bits 0-1 type (0 init, 1 and 3 data, 2 heartbeat), bits 2-5
//           IP text length, bit 6 section count one too many, bit 7 the
//           packet is sent (next byte mod 100) + 1 times
//   the IP text, the signal byte
//   data:   byte section count (mod 5), per section a port byte (bits 0-2:
//           1, 2, 256, 257, 258, 256, 257, or the next two bytes; bit 3: a
//           two-byte length follows instead of one), the length, the data
//   others: byte body length, the body
// A packet stops at 1500 bytes; sections that do not fit are left out. The
// stream stops once it holds 16 kB.
void append_packets(Reader &in, std::vector<uint8_t> &out);

// A small deterministic generator (xorshift32) for choices an input seeds.
struct Rng {
  uint32_t s;
  explicit Rng(uint32_t seed) : s(seed ? seed : 0x9E3779B9u) {}
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
};

// Aborts with the message on standard error: a property of the code under
// test does not hold (libFuzzer reports it as a crash with the input).
[[noreturn]] void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace fuzzkit

#endif
