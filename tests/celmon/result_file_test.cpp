// The modem information file is replaced whole, through a temporary file
// beside it, and left as it was when it cannot be replaced.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "celmon.h"
#include "sandbox_dir.h"

using namespace celmon;
using testkit::SandboxDir;

namespace {

const std::string kOld = "cpintype=READY\r\ncregvalue=1\r\ncsqvalue=23\r\nppp0=0\r\n";
const std::string kNew = "cpintype=\r\ncregvalue=-1\r\ncsqvalue=-1\r\nppp0=1\r\n";

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

TEST(ResultFile, ReplacesTheWholeFile) {
  SandboxDir sb;
  sb.write_file("/quarne/modemInfo.txt", kOld + "an old longer tail that must go\r\n");
  ASSERT_EQ(save_result("/quarne/modemInfo.txt", kNew.data(), kNew.size()), 0);
  EXPECT_EQ(sb.read_file("/quarne/modemInfo.txt"), kNew);
  EXPECT_FALSE(exists(sb.board("/quarne/modemInfo.txt.tmp")));
}

TEST(ResultFile, CreatesAMissingFile) {
  SandboxDir sb;
  sb.write_file("/tmp/keep", "");
  ASSERT_EQ(save_result("/tmp/x.txt", kOld.data(), kOld.size()), 0);
  EXPECT_EQ(sb.read_file("/tmp/x.txt"), kOld);
}

TEST(ResultFile, ReplacingKeepsTheOldFileForAReaderThatHasItOpen) {
  SandboxDir sb;
  sb.write_file("/quarne/modemInfo.txt", kOld);
  FILE *reader = fopen(sb.board("/quarne/modemInfo.txt").c_str(), "rb");
  ASSERT_NE(reader, nullptr);
  ASSERT_EQ(save_result("/quarne/modemInfo.txt", kNew.data(), kNew.size()), 0);
  char buf[128] = {};
  size_t n = fread(buf, 1, sizeof buf - 1, reader);
  fclose(reader);
  EXPECT_EQ(std::string(buf, n), kOld);
  EXPECT_EQ(sb.read_file("/quarne/modemInfo.txt"), kNew);
}

TEST(ResultFile, MissingDirectoryLeavesNothingBehind) {
  SandboxDir sb;
  EXPECT_EQ(save_result("/nowhere/modemInfo.txt", kNew.data(), kNew.size()), -1);
  EXPECT_FALSE(exists(sb.board("/nowhere")));
}

TEST(ResultFile, TargetThatCannotBeReplacedStaysAsItWas) {
  SandboxDir sb;
  sb.write_file("/quarne/info/keep", "x");  // a directory where the file should be
  EXPECT_EQ(save_result("/quarne/info", kNew.data(), kNew.size()), -3);
  EXPECT_EQ(sb.read_file("/quarne/info/keep"), "x");
  EXPECT_FALSE(exists(sb.board("/quarne/info.tmp")));
}

}  // namespace
