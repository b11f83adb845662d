// COM3 loop test: five blocks of 1000 known bytes go out on port 2 and must
// come back unchanged through a loopback plug (TX wired to RX).
//
// Exit status: 0 passed, 1 a block came back different. A COM3 that cannot
// be opened is reported by its "Couldn't Open" line and ends with 0, as the
// factory scripts expect; they read the line.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "uart.h"

namespace {

constexpr unsigned char kPort = 2;  // COM3, //dev//ttyS2
constexpr int kBaud = 115200;
constexpr char kDataBits = 8;
constexpr char kNoParity = 0;
constexpr char kOneStop = 0;
constexpr int kBufSize = 1024;
constexpr int kBlockLen = 1000;
constexpr int kBlocks = 5;
constexpr int kPatternPeriod = 255;       // the value 255 never occurs
constexpr useconds_t kLoopWaitUs = 100000;  // a block takes about 87 ms on the line

constexpr int kExitPassed = 0;
constexpr int kExitDifferent = 1;
constexpr int kExitNoPort = 0;

char g_send[kBufSize];
char g_recv[kBufSize];

// Block k: byte j is (k + j) mod 255.
void fill_pattern(int block) {
  for (int j = 0; j < kBlockLen; j++) g_send[j] = static_cast<char>((block + j) % kPatternPeriod);
}

// Sends one block and reads once after the wait; true when it came back whole.
bool loop_block(int block) {
  fill_pattern(block);
  memset(g_recv, 0, kBlockLen);
  Send_Binary(kPort, g_send, kBlockLen);
  usleep(kLoopWaitUs);
  Receive_Binary(kPort, g_recv, kBlockLen);
  return memcmp(g_send, g_recv, kBlockLen) == 0;
}

}  // namespace

int portprobe_main(int, char **) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  puts("COM3 Test\r");
  const int rc = Open_Com(kPort, kBaud, kDataBits, kNoParity, kOneStop);
  if (rc != COM_OK) {
    PrintMsg("Couldn't Open COM3=%d,Error Code=%d\r\n", kPort, rc);
    return kExitNoPort;
  }
  puts("open COM3 port\r");
  for (int block = 0; block < kBlocks; block++) {
    if (!loop_block(block)) {
      Close_Com(kPort);
      puts("COM3 Test fail");
      return kExitDifferent;
    }
  }
  Close_Com(kPort);
  puts("COM3 Test success");
  return kExitPassed;
}
