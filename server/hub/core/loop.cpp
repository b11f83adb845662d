// The epoll set.
#include "core/loop.h"

#include <sys/epoll.h>

namespace hub {

void loop_add(Hub &h, Pollable &p, uint32_t events) {
  if (h.epfd < 0 || p.fd < 0) return;
  epoll_event ev{};
  ev.events = events;
  ev.data.ptr = &p;
  epoll_ctl(h.epfd, EPOLL_CTL_ADD, p.fd, &ev);
  p.events = events;
}

void loop_watch(Hub &h, Pollable &p, uint32_t events) {
  if (h.epfd < 0 || p.fd < 0 || p.events == events) return;
  epoll_event ev{};
  ev.events = events;
  ev.data.ptr = &p;
  epoll_ctl(h.epfd, EPOLL_CTL_MOD, p.fd, &ev);
  p.events = events;
}

void loop_del(Hub &h, Pollable &p) {
  if (h.epfd < 0 || p.fd < 0) return;
  epoll_ctl(h.epfd, EPOLL_CTL_DEL, p.fd, nullptr);
  p.events = 0;
}

}  // namespace hub
