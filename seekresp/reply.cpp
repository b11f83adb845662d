// The discovery reply: one broadcast datagram out of eth0.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "seekresp.h"

namespace {

constexpr const char *kReplyFormat = "QUARNE4410K,80,NAME=TRM-310,IP=%s,MASK=%s,MAC=%s\r";

// Sends `len` bytes of `text` from a fresh broadcast socket bound to eth0.
void send_reply(const char *text, size_t len) {
  struct sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons(kReplyPort);
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  printf("== reply start ==\r\n");
  if (fd < 0) {
    perror("Error: socket");
    return;
  }
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    printf("setsockopt failed\n");
  } else if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, kInterface, strlen(kInterface) + 1) != 0) {
    printf("setsockopt failed (indicate eth0)\n");
  } else if (sendto(fd, text, len, 0, reinterpret_cast<struct sockaddr *>(&to), sizeof to) <= 0) {
    perror("send failed");
  }
  close(fd);
}

}  // namespace

int format_reply(char *out, size_t size, const char *ip, const char *mask, const char *mac) {
  int n = snprintf(out, size, kReplyFormat, ip, mask, mac);
  if (n < 0) return 0;
  return static_cast<size_t>(n) < size ? n : static_cast<int>(size - 1);
}

void replyBroadcast() {
  char reply[kReplySize] = {};
  char ip[kValueSize] = {};
  char mac[kValueSize] = {};
  char mask[kValueSize] = {};
  get_ifInfo(ip, mac, mask);
  int len = format_reply(reply, sizeof reply, ip, mask, mac);
  printf("  [len=%d] %s\n", len, reply);
  send_reply(reply, static_cast<size_t>(len));
}
