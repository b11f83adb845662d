// The server link on loopback: connect (dotted, hosts file, unresolvable,
// refused, unanswered), the 5 ms receive, the sliced write into a stalled
// link with the watchdog serviced meanwhile, and the DNS client against a
// fake name server on loopback.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <linux/sockios.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "daemon.h"
#include "net.h"
#include "quarne.h"
#include "qyio.h"
#include "resolve.h"
#include "sandbox.h"
#include "sandbox_dir.h"

using testkit::SandboxDir;

namespace {

double now_s() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A loopback socket of the given type bound to an ephemeral port; RAII.
struct LoopbackSocket {
  explicit LoopbackSocket(int type, int rcvbuf = 0) {
    fd = socket(AF_INET, type, 0);
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
  }
  ~LoopbackSocket() { close(fd); }
  int port() const { return ntohs(addr.sin_port); }
  int fd = -1;
  sockaddr_in addr = {};
};

class Link : public ::testing::Test {
 protected:
  void SetUp() override { isVIOReboot = 0; }
  int connect_quiet(const char *host, int port, std::string *log = nullptr) {
    testing::internal::CaptureStdout();
    const int fd = net_connect(host, port);
    const std::string out = testing::internal::GetCapturedStdout();
    if (log != nullptr) *log = out;
    return fd;
  }
  SandboxDir sb;
};

TEST_F(Link, ConnectsToADottedAddress) {
  LoopbackSocket srv(SOCK_STREAM);
  ASSERT_EQ(listen(srv.fd, 4), 0);
  std::string log;
  const int fd = connect_quiet("127.0.0.1", srv.port(), &log);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(log, "->net_connect OK\r\n");
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "every call on the link waits in poll";
  timeval tv = {};
  socklen_t len = sizeof tv;
  getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
  EXPECT_EQ(tv.tv_sec, 5);
  getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
  EXPECT_EQ(tv.tv_sec, 5);
  // A silent link is found by TCP: keepalive when idle, a bound on
  // unacknowledged data when busy.
  int v = 0;
  len = sizeof v;
  getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &v, &len);
  EXPECT_EQ(v, 1);
  getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &v, &len);
  EXPECT_EQ(v, NET_KEEPIDLE_S);
  unsigned int user_timeout = 0;
  len = sizeof user_timeout;
  getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, &len);
  EXPECT_EQ(user_timeout, static_cast<unsigned>(NET_USER_TIMEOUT_MS));
  net_close(fd);
}

TEST_F(Link, RefusedAndUnresolvable) {
  int port = 0;
  {
    LoopbackSocket gone(SOCK_STREAM);
    port = gone.port();
  }
  std::string log;
  EXPECT_EQ(connect_quiet("127.0.0.1", port, &log), -3);
  EXPECT_EQ(log, "->net_connect Error: connecting Error, -1, " + std::to_string(ECONNREFUSED) + "\r\n");
  // No hosts entry and no name server in the sandbox.
  EXPECT_EQ(connect_quiet("no-such-host.invalid", port, &log), -2);
  EXPECT_EQ(log, "->net_connect Error: get host Error\r\n");
  EXPECT_EQ(connect_quiet("", port, &log), -2);
  EXPECT_EQ(connect_quiet("300.1.1.1x", port, &log), -2);
}

TEST_F(Link, HostsFileNames) {
  LoopbackSocket srv(SOCK_STREAM);
  ASSERT_EQ(listen(srv.fd, 4), 0);
  sb.write_file("/etc/hosts",
                "# gateway test\n::1 localhost ip6-localhost\n10.0.0.1 other\n"
                "127.0.0.1\tlocalhost gw-server   # the server\n");
  const int fd = connect_quiet("GW-Server", srv.port());
  EXPECT_GE(fd, 0) << "names compare without case";
  net_close(fd);
  in_addr a = {};
  EXPECT_EQ(hosts_lookup(RESOLVE_HOSTS_FILE, "other", &a), 0);
  EXPECT_EQ(a.s_addr, inet_addr("10.0.0.1"));
  EXPECT_EQ(hosts_lookup(RESOLVE_HOSTS_FILE, "ip6-localhost", &a), -1) << "IPv6 lines pass";
  EXPECT_EQ(hosts_lookup(RESOLVE_HOSTS_FILE, "the", &a), -1) << "comments are no names";
}

TEST_F(Link, ReceiveWaitsFiveMilliseconds) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  unsigned char buf[16];
  testing::internal::CaptureStdout();
  const double t0 = now_s();
  EXPECT_EQ(recv_NonBlocking(sv[0], buf, sizeof buf), -4);
  const double waited = now_s() - t0;
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_GE(waited, 0.004);
  EXPECT_LT(waited, 0.5);

  ASSERT_EQ(write(sv[1], "0123456789ABCDEFGHIJ", 20), 20);
  testing::internal::CaptureStdout();
  EXPECT_EQ(net_readn(sv[0], buf, 16), 16) << "one read, no loop to fill";
  EXPECT_EQ(net_readn(sv[0], buf, 16), 4);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "read success\r\nread success\r\n");

  close(sv[1]);
  testing::internal::CaptureStdout();
  EXPECT_EQ(net_readn(sv[0], buf, 16), -2);
  EXPECT_EQ(net_readn(sv[0], buf, 16), -2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  close(sv[0]);

  testing::internal::CaptureStdout();
  EXPECT_EQ(net_readn(-1, buf, 16), -3) << "a closed link";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "socket error\r\n");
}

class Watchdog : public Link {
 protected:
  void SetUp() override {
    Link::SetUp();
    sb.make_register_file();
    ASSERT_EQ(wdt_init(), 0);
  }
  void TearDown() override { wdt_exit(); }
  uint32_t services() const { return sb.read32(SANDBOX_WDT_SERVICE_COUNT_OFFSET); }
};

// A listener that never accepts, its queue filled: further SYNs get no answer.
struct FullListener {
  FullListener() : srv(SOCK_STREAM) {
    listen(srv.fd, 0);
    for (int &fd : fill) {
      fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(fd, reinterpret_cast<sockaddr *>(&srv.addr), sizeof srv.addr);
    }
  }
  ~FullListener() {
    for (int fd : fill) close(fd);
  }
  LoopbackSocket srv;
  int fill[3] = {-1, -1, -1};
};

TEST_F(Watchdog, UnansweredConnectGivesUpAfterFiveSecondsFedMeanwhile) {
  FullListener full;
  const uint32_t before = services();
  std::string log;
  const double t0 = now_s();
  EXPECT_EQ(connect_quiet("127.0.0.1", full.srv.port(), &log), -3);
  const double waited = now_s() - t0;
  EXPECT_EQ(log, "->net_connect Error: connecting Error, -1, " + std::to_string(ETIMEDOUT) + "\r\n");
  EXPECT_GE(waited, 4.9);
  EXPECT_LT(waited, 9.0);
  EXPECT_GE(services() - before, 4u) << "serviced at least once a second";
}

TEST_F(Watchdog, NoServiceOnceARebootWasAsked) {
  FullListener full;
  isVIOReboot = 1;
  const uint32_t before = services();
  EXPECT_EQ(connect_quiet("127.0.0.1", full.srv.port()), -3);
  EXPECT_EQ(services(), before);
}

TEST_F(Watchdog, WriteIntoAStalledLinkGivesUpAfterFiveOrFifteenSeconds) {
  LoopbackSocket srv(SOCK_STREAM, 1024);
  ASSERT_EQ(listen(srv.fd, 4), 0);
  const int fd = connect_quiet("127.0.0.1", srv.port());
  ASSERT_GE(fd, 0);
  const int peer = accept(srv.fd, nullptr, nullptr);  // accepted, never read
  ASSERT_GE(peer, 0);
  std::vector<unsigned char> data(1400, 0x55);
  const int len = static_cast<int>(data.size());
  int rc = len;
  double waited = 0;
  uint32_t fed = 0;
  int err = 0;
  std::string log;
  for (int i = 0; i < 500 && rc == len; i++) {
    const uint32_t before = services();
    const double t0 = now_s();
    testing::internal::CaptureStdout();
    rc = net_write(fd, data.data(), len);
    err = errno;
    log = testing::internal::GetCapturedStdout();
    waited = now_s() - t0;
    fed = services() - before;
  }
  EXPECT_GE(waited, 4.9);
  EXPECT_LT(waited, 17.0);
  EXPECT_GE(fed, 4u) << "serviced at least once a second";
  int unsent = 0;
  ioctl(fd, SIOCOUTQNSD, &unsent);
  EXPECT_LE(unsent, NET_NOTSENT_LOWAT + len) << "what waits unsent in the socket stays small";
  EXPECT_EQ(rc, -1);
  if (log.empty()) {
    EXPECT_EQ(err, EAGAIN) << "nothing went out in five seconds";
  } else {
    // Part of the packet went out: the stream is out of step, so the write
    // counts as failed and nothing more is sent on this link.
    EXPECT_TRUE(log.rfind("-- write incomplete (", 0) == 0) << log;
    EXPECT_EQ(err, EPIPE);
    EXPECT_GE(waited, 14.9) << "the rest of a packet partly out is waited for 15 s";
    int queued = 0;
    ioctl(fd, TIOCOUTQ, &queued);
    const double t0 = now_s();
    EXPECT_EQ(net_write(fd, data.data(), len), -1);
    EXPECT_LT(now_s() - t0, 1.0) << "fails at once";
    int after = 0;
    ioctl(fd, TIOCOUTQ, &after);
    EXPECT_EQ(after, queued) << "not a byte more was sent";
  }
  close(peer);
  net_close(fd);
}

TEST_F(Link, WriteToAClosedPeerFailsAtOnce) {
  LoopbackSocket srv(SOCK_STREAM);
  ASSERT_EQ(listen(srv.fd, 4), 0);
  const int fd = connect_quiet("127.0.0.1", srv.port());
  const int peer = accept(srv.fd, nullptr, nullptr);
  linger lg = {1, 0};
  setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(peer);  // reset
  ASSERT_TRUE(testkit::poll_until([fd] {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;  // the reset has arrived
  }));
  const unsigned char b[3] = {1, 2, 3};
  const double t0 = now_s();
  EXPECT_EQ(net_write(fd, b, 3), -1);
  EXPECT_LT(now_s() - t0, 1.0);
  EXPECT_EQ(net_write(-1, b, 3), -1);
  net_close(fd);
}

// ---- DNS client -----------------------------------------------------------

std::vector<uint8_t> answer_for(const uint8_t *query, int qlen, uint8_t rcode, bool cname_first) {
  std::vector<uint8_t> r(query, query + qlen);
  r[2] = 0x81;
  r[3] = static_cast<uint8_t>(0x80 | rcode);
  r[7] = cname_first ? 2 : 1;
  if (rcode != 0) {
    r[7] = 0;
    return r;
  }
  if (cname_first) {  // a CNAME to pass over: name pointer, type 5, data 2 bytes
    const uint8_t cname[] = {0xC0, 12, 0, 5, 0, 1, 0, 0, 0, 60, 0, 2, 0xC0, 12};
    r.insert(r.end(), cname, cname + sizeof cname);
  }
  const uint8_t a[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 10, 9, 8, 7};
  r.insert(r.end(), a, a + sizeof a);
  return r;
}

// Answers one query: first with a wrong id, then with the real answer.
void fake_name_server(int fd, uint8_t rcode) {
  pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, 5000) <= 0) return;
  uint8_t q[512];
  sockaddr_in from = {};
  socklen_t flen = sizeof from;
  const ssize_t n = recvfrom(fd, q, sizeof q, 0, reinterpret_cast<sockaddr *>(&from), &flen);
  if (n < 12) return;
  std::vector<uint8_t> r = answer_for(q, static_cast<int>(n), rcode, true);
  r[0] ^= 0xFF;
  sendto(fd, r.data(), r.size(), 0, reinterpret_cast<sockaddr *>(&from), flen);
  r[0] ^= 0xFF;
  sendto(fd, r.data(), r.size(), 0, reinterpret_cast<sockaddr *>(&from), flen);
}

TEST_F(Link, DnsQueryAgainstAFakeNameServer) {
  LoopbackSocket ns(SOCK_DGRAM);
  std::thread t(fake_name_server, ns.fd, 0);
  in_addr a = {};
  const double t0 = now_s();
  EXPECT_EQ(dns_query(&ns.addr, "server.example", &a), 0);
  t.join();
  EXPECT_EQ(a.s_addr, inet_addr("10.9.8.7"));
  EXPECT_LT(now_s() - t0, 2.0);

  std::thread t2(fake_name_server, ns.fd, 3);  // NXDOMAIN
  const double t1 = now_s();
  EXPECT_EQ(dns_query(&ns.addr, "missing.example", &a), -1);
  t2.join();
  EXPECT_LT(now_s() - t1, 2.0) << "an answer without address ends the wait";
}

TEST_F(Link, DnsNoServerAndNameServerFromResolvConf) {
  int port = 0;
  {
    LoopbackSocket gone(SOCK_DGRAM);
    port = gone.port();
  }
  sockaddr_in nobody = {};
  nobody.sin_family = AF_INET;
  nobody.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  nobody.sin_port = htons(static_cast<uint16_t>(port));
  in_addr a = {};
  const double t0 = now_s();
  EXPECT_EQ(dns_query(&nobody, "server.example", &a), -1);
  EXPECT_LT(now_s() - t0, 4.0) << "bounded wait";

  sb.write_file("/etc/resolv.conf", "# local\nsearch example\nnameserver fe80::1\nnameserver 10.1.1.53\nnameserver 10.2.2.53\n");
  EXPECT_EQ(resolv_nameserver(RESOLVE_CONF_FILE, &a), 0);
  EXPECT_EQ(a.s_addr, inet_addr("10.1.1.53")) << "the first IPv4 name server";
}

TEST(Dns, QueryLayoutAndRefusedNames) {
  uint8_t buf[512];
  const int n = dns_build_query(0x1234, "gw.example.", buf, sizeof buf);
  const uint8_t want[] = {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 2, 'g', 'w', 7,
                          'e', 'x', 'a', 'm', 'p', 'l', 'e', 0, 0, 1, 0, 1};
  ASSERT_EQ(n, static_cast<int>(sizeof want));
  EXPECT_EQ(memcmp(buf, want, sizeof want), 0);
  EXPECT_EQ(dns_build_query(1, "a..b", buf, sizeof buf), -1);
  EXPECT_EQ(dns_build_query(1, ".a", buf, sizeof buf), -1);
  EXPECT_EQ(dns_build_query(1, (std::string(64, 'a') + ".b").c_str(), buf, sizeof buf), -1);
  EXPECT_EQ(dns_build_query(1, std::string(254, 'a').c_str(), buf, sizeof buf), -1);
  EXPECT_EQ(dns_build_query(1, "gw.example", buf, 20), -1) << "does not fit";
}

TEST(Dns, TruncatedAnswersAreRefused) {
  uint8_t q[512];
  const int qlen = dns_build_query(0x4242, "a.example", q, sizeof q);
  const std::vector<uint8_t> full = answer_for(q, qlen, 0, true);
  in_addr a = {};
  ASSERT_EQ(dns_parse_answer(0x4242, full.data(), static_cast<int>(full.size()), &a), 0);
  EXPECT_EQ(a.s_addr, inet_addr("10.9.8.7"));
  EXPECT_EQ(dns_parse_answer(0x4243, full.data(), static_cast<int>(full.size()), &a), -1);
  const std::vector<uint8_t> nx = answer_for(q, qlen, 3, false);
  EXPECT_EQ(dns_parse_answer(0x4242, nx.data(), static_cast<int>(nx.size()), &a), -2);
  for (size_t n = 0; n < full.size(); n++) {
    std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(n));
    EXPECT_LT(dns_parse_answer(0x4242, cut.data(), static_cast<int>(n), &a), 0) << n;
  }
  std::vector<uint8_t> loop = full;
  loop[12] = 0x80;  // a label type that does not exist
  EXPECT_EQ(dns_parse_answer(0x4242, loop.data(), static_cast<int>(loop.size()), &a), -1);
}

}  // namespace
