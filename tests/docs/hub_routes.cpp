// Prints the hub's route table, one row a line: method, pattern, role; with
// --metrics the names of the metrics a fresh hub gives instead, one a line
// (check_man.py compares both with trm-hub(8)).
#include <stdio.h>
#include <string.h>

#include <sstream>
#include <string>

#include "core/hub.h"
#include "web/api.h"
#include "web/routes.h"

int main(int argc, char **argv) {
  if (argc > 1 && strcmp(argv[1], "--metrics") == 0) {
    hub::Hub h{hub::Config()};
    std::istringstream text(hub::metrics_text(h));
    for (std::string line; std::getline(text, line);) {
      if (line.compare(0, 7, "# TYPE ") == 0) printf("%s\n", line.substr(7, line.find(' ', 7) - 7).c_str());
    }
    return 0;
  }
  size_t n = 0;
  const hub::Route *r = hub::api_routes(&n);
  for (size_t i = 0; i < n; i++) printf("%s %s %s\n", r[i].method, r[i].pattern, hub::access_name(r[i].role));
  return 0;
}
