// Test sandbox: a fresh directory with the board's file tree below
// ./board, pseudo-terminals standing in for serial devices, and a sparse
// file standing in for /dev/mem. The sandbox path module is pointed at it,
// so the code under test never reaches the host's devices.
#ifndef QUARNE_TESTKIT_SANDBOX_DIR_H
#define QUARNE_TESTKIT_SANDBOX_DIR_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace testkit {

// Physical addresses of the register windows, as the register file lays them out.
constexpr uint32_t kGpioBase = 0x40E00000;
constexpr uint32_t kBoardBase = 0x17000000;
constexpr uint32_t kWindowSize = 0x00100000;

class SandboxDir {
 public:
  SandboxDir();
  ~SandboxDir();
  SandboxDir(const SandboxDir &) = delete;
  SandboxDir &operator=(const SandboxDir &) = delete;

  const std::string &dir() const { return dir_; }     // the working directory
  std::string board(const std::string &path) const;  // board path -> host path

  // Creates the register file (sparse, covering every window).
  void make_register_file();
  uint32_t read32(uint32_t phys) const;
  uint8_t read8(uint32_t phys) const;
  void write32(uint32_t phys, uint32_t value) const;
  void write8(uint32_t phys, uint8_t value) const;
  std::vector<uint8_t> read_window(uint32_t base) const;  // one whole window

  // Opens a pseudo-terminal and links its slave to the board device path
  // (for example "/dev/ttyS1"). Returns the master descriptor; the test
  // keeps the slave open too, so the line never hangs up.
  int add_pty(const std::string &device);
  std::string pty_slave_name(int master) const;

  void write_file(const std::string &board_path, const std::string &text) const;
  std::string read_file(const std::string &board_path) const;

 private:
  std::string dir_;
  std::vector<int> fds_;
  std::vector<std::pair<int, std::string>> slaves_;
};

// Reads what arrives on fd within timeout_ms (stops early at `want` bytes).
std::string read_for(int fd, int timeout_ms, size_t want = SIZE_MAX);

// Checks cond every millisecond until it holds or timeout_ms have passed;
// whether it held. Tests wait for a state this way, never by a fixed sleep.
bool poll_until(const std::function<bool()> &cond, int timeout_ms = 2000);

// The seed of a random test: TRM_FUZZ_SEED when set, else a fresh one.
// Printed before anything else, so a crash can be repeated with it.
uint32_t fuzz_seed(const char *what);

}  // namespace testkit

#endif
