// Whether a network interface exists, by its exact name.
#include <net/if.h>
#include <stdio.h>
#include <string.h>

#include "celmon.h"

namespace celmon {

bool check_interface(const char *name) {
  struct if_nameindex *list = if_nameindex();
  if (list == nullptr) {
    printf("if_nameindex error\n");
    return false;
  }
  bool found = false;
  for (const struct if_nameindex *p = list; p->if_index != 0 && p->if_name != nullptr; p++) {
    if (strcmp(p->if_name, name) == 0) {
      found = true;
      break;
    }
  }
  if_freenameindex(list);
  return found;
}

}  // namespace celmon
