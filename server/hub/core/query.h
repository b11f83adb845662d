// The fleet as the page lists it: the records a filter lets through, in the
// order of a column (text in natural order: digit runs compared as numbers,
// so 10.0.0.2 comes before 10.0.0.10), one page of them, and a summary of
// the whole fleet taken on the same walk. Only the page is put in order:
// a selection finds where it begins, and a partial sort orders its rows.
#ifndef HUB_FLEET_H
#define HUB_FLEET_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "core/hub.h"

namespace hub {

// <0, 0, >0 as a comes before, with or after b.
int natural_cmp(const std::string &a, const std::string &b);

struct FleetQuery {
  std::string state, q, sort = "attention";  // q lower case
  bool desc = false;
  size_t offset = 0, limit = 50;
};

struct FleetSummary {
  size_t online = 0, held = 0, offline = 0, conflict = 0, never = 0, attention = 0, changed_hour = 0;
};

struct FleetRow {
  const GatewayRecord *r;
  uint8_t attention;
};

struct FleetPage {
  size_t total = 0, matched = 0;
  FleetSummary sum;
  std::vector<FleetRow> rows;  // the page, in order
};

// False when the sort column is unknown.
bool fleet_sort_known(const std::string &name);
// The columns, for the error that names them.
std::string fleet_sort_names();
FleetPage fleet_page(const Hub &h, const FleetQuery &fq);

}  // namespace hub

#endif
