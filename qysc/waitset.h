// The descriptors one wait of the loop watches (at most the link and the
// two lines), waited on with a timeout exact to the microsecond.
//
// Where the kernel has epoll_pwait2 (Linux 5.11), the descriptors stay
// registered in one epoll set from wait to wait (it changes only when the
// set does), so a wake-up is one system call that looks at no descriptor
// but the ready ones. Elsewhere (an older kernel, qemu's user mode) it is
// one ppoll over the set. Either way the descriptors are level-triggered:
// the caller reads what made one ready, or leaves it out of the next wait.
//
// The time-out is a timer descriptor (timerfd) in the set, armed only when
// the wait's end moves: the kernel gives a poll's own time-out a slack of
// 0.1 % of its length (0.5 % for a niced process), 50 µs on a 50 ms idle
// gap and 5 ms on one of 5 s, where a timer fires on time.
#ifndef QYSC_WAITSET_H
#define QYSC_WAITSET_H

#include <stdint.h>

#define WAITSET_MAX 3  // the caller's: the link and the two lines

// Up to WAITSET_MAX of the caller's descriptors (one place more, for the
// wait's own timer while it waits).
struct WaitSet {
  int n;
  int fd[WAITSET_MAX + 1];
  short events[WAITSET_MAX + 1];   // POLLIN, POLLOUT
  int tag[WAITSET_MAX + 1];        // the caller's own mark of each (not looked at)
  short revents[WAITSET_MAX + 1];  // after the wait: what each is ready for (POLLIN,
                                   // POLLOUT, POLLERR, POLLHUP), 0 when not
};

// Waits until one of the set is ready or us microseconds have passed (a
// test's fake pause: looks once, then hands the time to the pause). The
// number of descriptors ready, 0 on time-out, -1 on error (errno).
int waitset_wait(WaitSet *w, uint32_t us);
// fd was closed (or is about to be): whatever the set held of it goes.
void waitset_forget(int fd);

#endif
