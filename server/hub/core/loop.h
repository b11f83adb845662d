// The epoll set. Every registered object starts with a Pollable, whose
// address is the event's data; with no epoll set (epfd -1, tests and
// fuzzing) every call here does nothing.
#ifndef HUB_LOOP_H
#define HUB_LOOP_H

#include <stdint.h>

#include "core/hub.h"

namespace hub {

void loop_add(Hub &h, Pollable &p, uint32_t events);
// Changes the events waited for (nothing when they are the same).
void loop_watch(Hub &h, Pollable &p, uint32_t events);
void loop_del(Hub &h, Pollable &p);

}  // namespace hub

#endif
