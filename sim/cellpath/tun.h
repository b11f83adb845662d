// A TUN device (IP packets, no extra header) created inside a network
// namespace given by its path, e.g. /run/netns/<name>.
#pragma once

#include <stddef.h>

namespace cellpath {

// The device's descriptor (non-blocking), or -1 with a message in err.
int open_tun(const char *netns_path, const char *name, char *err, size_t len);

}  // namespace cellpath
