// One discovery request as the socket delivered it: only logged, its
// content is not examined.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>

#include "seekresp.h"

bool take_request(char *buf, ssize_t n, const struct sockaddr_in *from) {
  if (n <= 0) {
    perror("recv error");
    return false;
  }
  buf[n] = '\0';
  char ip[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &from->sin_addr, ip, sizeof ip);
  printf("-->RecvieIP:%s Recive Port:%d\n", ip, ntohs(from->sin_port));
  printf("  [recv_len=%d] %s\r\n", static_cast<int>(n), buf);
  return true;
}
