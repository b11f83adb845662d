// Prints the hub's route table, one row a line: method, pattern, role
// (check_man.py compares it with trm-hub(8)).
#include <stdio.h>

#include "web/routes.h"

int main() {
  size_t n = 0;
  const hub::Route *r = hub::api_routes(&n);
  for (size_t i = 0; i < n; i++) printf("%s %s %s\n", r[i].method, r[i].pattern, hub::access_name(r[i].role));
  return 0;
}
