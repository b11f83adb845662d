// Commands, input lines, options and the Modbus exception layout, without
// any gateway connected.
#include "commands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "capture.h"
#include "input.h"
#include "modbus.h"
#include "qylink.h"
#include "options.h"

using namespace console;
using namespace consoletest;

namespace {

TEST(Commands, ErrorsNameTheProblem) {
  Capture out;
  Session s{};
  s.addr = "127.0.0.1";
  struct {
    const char *line;
    const char *want;
  } cases[] = {
      {"hex 1 1 00", "error: no gateway 1"},
      {"hex 0 1 00", "error: usage: hex GW PORT BYTES"},
      {"hex 1 70000 00", "error: usage: hex GW PORT BYTES"},
      {"hex 1 1 zz", "error: bad data (hex digits or escapes)"},
      {"text 1", "error: usage: text GW PORT TEXT"},
      {"vcom x AT", "error: usage: vcom GW COMMAND"},
      {"verify 1 1", "error: usage: verify GW X Y (X, Y 0..255)"},
      {"verify 1 -1 2", "error: usage: verify GW X Y (X, Y 0..255)"},
      {"modbus 1 3 0", "error: usage: modbus GW PORT(1|2) TCPPORT (0: any free port)"},
      {"close 1", "error: usage: close GW (a connected gateway)"},
      {"wait", "error: usage: wait GW [MS]"},
      {"wait 1 abc", "error: usage: wait GW [MS]"},
      {"sleep", "error: usage: sleep MS"},
      {"nosuch 1", "error: unknown command \"nosuch\" (try help)"},
  };
  for (const auto &c : cases) {
    out.lines.clear();
    cmd_run(s, c.line, 0);
    ASSERT_EQ(out.lines.size(), 1u) << c.line;
    EXPECT_EQ(out.lines[0], c.want) << c.line;
  }
  out.lines.clear();
  cmd_run(s, "   # comment", 0);
  cmd_run(s, "", 0);
  EXPECT_TRUE(out.lines.empty());
  cmd_run(s, "help", 0);
  EXPECT_EQ(out.lines.size(), 12u);
  cmd_run(s, "exit", 0);
  EXPECT_TRUE(s.quit);
}

TEST(Commands, SleepAndWaitHoldTheScript) {
  Capture out;
  Session s{};
  cmd_run(s, "sleep 100", 1000);
  EXPECT_TRUE(cmd_busy(s, 1099));
  EXPECT_FALSE(cmd_busy(s, 1100));
  cmd_run(s, "wait 2 50", 0xFFFFFFF0u);  // across the tick wrap
  EXPECT_TRUE(cmd_busy(s, 0x10));
  EXPECT_FALSE(cmd_busy(s, 0x30));
  ASSERT_EQ(out.lines.size(), 1u);
  EXPECT_EQ(out.lines[0], "error: wait gw2 timed out");
}

TEST(Input, LinesFromAPipe) {
  Capture out;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string text = "one\r\n" + std::string(5000, 'x') + "\ntwo\nlast";
  ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fds[1]);
  Input in;
  in_init(in, fds[0]);
  std::vector<std::string> lines;
  char line[kInputLineMax];
  for (int i = 0; i < 10 && !(in.eof && !in_has_line(in)); i++) {
    in_read(in);
    while (in_line(in, line, sizeof line)) lines.push_back(line);
  }
  close(fds[0]);
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "last"}));
  ASSERT_EQ(out.lines.size(), 1u);
  EXPECT_EQ(out.lines[0], "error: input line longer than 4095 characters ignored");
}

TEST(Options, DefaultsAndValues) {
  Capture out;
  Options d;
  char a0[] = "trm-console";
  char *none[] = {a0, nullptr};
  ASSERT_TRUE(parse_options(1, none, d));
  EXPECT_STREQ(d.addr, "127.0.0.1");
  EXPECT_EQ(d.port, 11000);
  EXPECT_EQ(d.modbus_timeout_ms, 1000u);
  EXPECT_FALSE(d.keep);

  Options o;
  char a1[] = "-p", a2[] = "0", a3[] = "--modbus", a4[] = "2:1:1502", a5[] = "-t", a6[] = "250",
       a7[] = "--keep", a8[] = "-a", a9[] = "0.0.0.0";
  char *argv[] = {a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, nullptr};
  ASSERT_TRUE(parse_options(10, argv, o));
  EXPECT_EQ(o.port, 0);
  ASSERT_EQ(o.modbus_count, 1);
  EXPECT_EQ(o.modbus[0].gw, 2);
  EXPECT_EQ(o.modbus[0].port, 1u);
  EXPECT_EQ(o.modbus[0].tcp_port, 1502);
  EXPECT_EQ(o.modbus_timeout_ms, 250u);
  EXPECT_TRUE(o.keep);
  EXPECT_STREQ(o.addr, "0.0.0.0");
}

TEST(Options, BadValuesRefused) {
  Capture out;
  const char *bad[][2] = {{"-p", "65536"}, {"-p", "-1"}, {"-t", "5"}, {"-g", "x"},
                          {"-m", "1:3:0"}, {"-m", "9:1:0"}, {"-m", "1:1"}, {"-m", "1:1:0x"}};
  for (const auto &b : bad) {
    Options o;
    char a0[] = "trm-console";
    std::string opt = b[0], val = b[1];
    char *argv[] = {a0, &opt[0], &val[0], nullptr};
    EXPECT_FALSE(parse_options(3, argv, o)) << b[0] << " " << b[1];
  }
}

}  // namespace
