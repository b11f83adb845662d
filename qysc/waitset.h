// The descriptors one wait of the loop watches (at most the link and the
// two lines), waited on with a timeout exact to the microsecond.
//
// Where the kernel has epoll_pwait2 (Linux 5.11), the descriptors stay
// registered in one epoll set from wait to wait (it changes only when the
// set does), so a wake-up is one system call that looks at no descriptor
// but the ready ones. Elsewhere (an older kernel, qemu's user mode) it is
// one ppoll over the set. Either way the descriptors are level-triggered:
// the caller reads what made one ready, or leaves it out of the next wait.
#ifndef QYSC_WAITSET_H
#define QYSC_WAITSET_H

#include <stdint.h>

#define WAITSET_MAX 3

struct WaitSet {
  int n;
  int fd[WAITSET_MAX];
  short events[WAITSET_MAX];   // POLLIN, POLLOUT
  int tag[WAITSET_MAX];        // the caller's own mark of each (not looked at)
  short revents[WAITSET_MAX];  // after the wait: what each is ready for (POLLIN, POLLOUT,
                               // POLLERR, POLLHUP), 0 when not
};

// Waits until one of the set is ready or us microseconds have passed (a
// test's fake pause: looks once, then hands the time to the pause). The
// number of descriptors ready, 0 on time-out, -1 on error (errno).
int waitset_wait(WaitSet *w, uint32_t us);
// fd was closed (or is about to be): whatever the set held of it goes.
void waitset_forget(int fd);

#endif
