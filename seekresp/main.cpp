// seekresp: LAN discovery responder. Runs until a socket error; every exit
// has status 255.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "seekresp.h"

namespace {

constexpr int kExitStatus = -1;  // 255
constexpr const char *kVersionText = "v1.0 2013/12/18";

void print_banner() {
  printf("======================\r\n");
  printf("== seekresp\r\n");
  printf("==   %s\r\n", kVersionText);
  printf("======================\r\n");
}

// The listening socket on port 54410; exits on failure.
int open_listener() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    perror("Error: socket");
    exit(kExitStatus);
  }
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    printf("setsockopt failed\n");
    exit(kExitStatus);
  }
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kRequestPort);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
    perror("bind failed");
    exit(kExitStatus);
  }
  return fd;
}

// Waits for one request and logs it; false on a receive error.
bool receive_request(int fd) {
  char buf[kRequestMax + 1];  // one more, so the logged text always ends
  struct sockaddr_in from;
  socklen_t from_len = sizeof from;
  memset(&from, 0, sizeof from);
  ssize_t n = recvfrom(fd, buf, kRequestMax, 0, reinterpret_cast<struct sockaddr *>(&from), &from_len);
  return take_request(buf, n, &from);
}

}  // namespace

int seekresp_main(int, char **) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  print_banner();
  int fd = open_listener();
  for (;;) {
    printf("\r\n== receive start ==\r\n");
    if (!receive_request(fd)) return kExitStatus;
    replyBroadcast();
  }
}
