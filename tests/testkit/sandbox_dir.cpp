#include "sandbox_dir.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "sandbox.h"

namespace testkit {

namespace {

void mkdirs(const std::string &path) {
  for (size_t i = 1; i <= path.size(); i++) {
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
  }
}

std::string parent(const std::string &path) { return path.substr(0, path.rfind('/')); }

}  // namespace

SandboxDir::SandboxDir() {
  char tmpl[] = "/tmp/trm310-test-XXXXXX";
  const char *d = mkdtemp(tmpl);
  if (d == nullptr) abort();
  dir_ = d;
  mkdirs(dir_ + "/board/dev");
  mkdirs(dir_ + "/board/quarne/qysc");
  sandbox_set_root((dir_ + "/board").c_str());
}

SandboxDir::~SandboxDir() {
  for (int fd : fds_) close(fd);
  for (auto &s : slaves_) close(s.first);
  std::string cmd = "rm -rf '" + dir_ + "'";
  if (system(cmd.c_str()) != 0) {
    // leave it; a temp directory is no harm
  }
  sandbox_set_root("./board");
}

std::string SandboxDir::board(const std::string &path) const { return dir_ + "/board" + path; }

void SandboxDir::make_register_file() {
  std::string path = board("/dev/mem");
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kGpioBase + kWindowSize)), 0);
  close(fd);
}

namespace {

template <typename T>
T read_at(const std::string &path, uint32_t phys) {
  T v{};
  int fd = open(path.c_str(), O_RDONLY);
  if (fd >= 0) {
    if (pread(fd, &v, sizeof v, static_cast<off_t>(phys)) != static_cast<ssize_t>(sizeof v)) v = T{};
    close(fd);
  }
  return v;
}

template <typename T>
void write_at(const std::string &path, uint32_t phys, T v) {
  int fd = open(path.c_str(), O_RDWR);
  if (fd >= 0) {
    if (pwrite(fd, &v, sizeof v, static_cast<off_t>(phys)) != static_cast<ssize_t>(sizeof v)) {
      ADD_FAILURE() << "register file write failed";
    }
    close(fd);
  }
}

}  // namespace

uint32_t SandboxDir::read32(uint32_t phys) const { return read_at<uint32_t>(board("/dev/mem"), phys); }
uint8_t SandboxDir::read8(uint32_t phys) const { return read_at<uint8_t>(board("/dev/mem"), phys); }
void SandboxDir::write32(uint32_t phys, uint32_t v) const { write_at(board("/dev/mem"), phys, v); }
void SandboxDir::write8(uint32_t phys, uint8_t v) const { write_at(board("/dev/mem"), phys, v); }

std::vector<uint8_t> SandboxDir::read_window(uint32_t base) const {
  std::vector<uint8_t> w(kWindowSize);
  int fd = open(board("/dev/mem").c_str(), O_RDONLY);
  if (fd >= 0) {
    if (pread(fd, w.data(), w.size(), static_cast<off_t>(base)) != static_cast<ssize_t>(w.size())) {
      ADD_FAILURE() << "register file read failed";
    }
    close(fd);
  }
  return w;
}

int SandboxDir::add_pty(const std::string &device) {
  int master = -1, slave = -1;
  char name[128];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty failed";
    return -1;
  }
  std::string link = board(device);
  mkdirs(parent(link));
  unlink(link.c_str());
  if (symlink(name, link.c_str()) != 0) ADD_FAILURE() << "symlink " << link;
  fds_.push_back(master);
  slaves_.emplace_back(slave, name);
  int fl = fcntl(master, F_GETFL);
  fcntl(master, F_SETFL, fl | O_NONBLOCK);
  // Raw master side: bytes pass unchanged in both directions.
  struct termios t;
  if (tcgetattr(slave, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
  }
  return master;
}

std::string SandboxDir::pty_slave_name(int master) const {
  for (size_t i = 0; i < fds_.size(); i++) {
    if (fds_[i] == master) return slaves_[i].second;
  }
  return {};
}

void SandboxDir::write_file(const std::string &board_path, const std::string &text) const {
  std::string path = board(board_path);
  mkdirs(parent(path));
  std::ofstream(path, std::ios::binary) << text;
}

std::string SandboxDir::read_file(const std::string &board_path) const {
  std::ifstream in(board(board_path), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool poll_until(const std::function<bool()> &cond, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited++) {
    if (cond()) return true;
    usleep(1000);
  }
  return cond();
}

uint32_t fuzz_seed(const char *what) {
  const char *env = getenv("TRM_FUZZ_SEED");
  const uint32_t seed = env != nullptr ? static_cast<uint32_t>(strtoul(env, nullptr, 10))
                                       : std::random_device{}();
  printf("%s: seed %u (TRM_FUZZ_SEED=%u repeats it)\n", what, seed, seed);
  fflush(stdout);
  testing::Test::RecordProperty("fuzz_seed", std::to_string(seed));
  return seed;
}

std::string read_for(int fd, int timeout_ms, size_t want) {
  std::string out;
  char buf[4096];
  for (int waited = 0; waited < timeout_ms && out.size() < want; waited += 10) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10) > 0) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) out.append(buf, static_cast<size_t>(n));
    }
  }
  return out;
}

}  // namespace testkit
