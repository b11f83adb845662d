// The calling thread enters the namespace for the moment the device is
// made (a TUN device belongs to the namespace its descriptor was opened
// in), then returns to its own.
#include "tun.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace cellpath {
namespace {

int make_device(const char *name, char *err, size_t len) {
  const int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    snprintf(err, len, "/dev/net/tun: %s", strerror(errno));
    return -1;
  }
  struct ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  snprintf(ifr.ifr_name, IFNAMSIZ, "%s", name);
  if (ioctl(fd, TUNSETIFF, &ifr) != 0) {
    snprintf(err, len, "TUNSETIFF %s: %s", name, strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int open_tun(const char *netns_path, const char *name, char *err, size_t len) {
  const int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  const int there = open(netns_path, O_RDONLY | O_CLOEXEC);
  int fd = -1;
  if (home < 0 || there < 0) {
    snprintf(err, len, "%s: %s", there < 0 ? netns_path : "own namespace", strerror(errno));
  } else if (setns(there, CLONE_NEWNET) != 0) {
    snprintf(err, len, "setns %s: %s", netns_path, strerror(errno));
  } else {
    fd = make_device(name, err, len);
    if (setns(home, CLONE_NEWNET) != 0) {
      snprintf(err, len, "setns back: %s", strerror(errno));
      if (fd >= 0) close(fd);
      fd = -1;
    }
  }
  if (home >= 0) close(home);
  if (there >= 0) close(there);
  return fd;
}

}  // namespace cellpath
