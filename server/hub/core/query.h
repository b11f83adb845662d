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

struct Query {
  std::string state, q, sort = "attention";  // q lower case
  bool desc = false;
  size_t offset = 0, limit = 50;
};

struct QuerySummary {
  size_t online = 0, held = 0, offline = 0, conflict = 0, never = 0, attention = 0, changed_hour = 0;
};

struct QueryRow {
  const GatewayRecord *r;
  uint8_t attention;
};

struct QueryPage {
  size_t total = 0, matched = 0;
  QuerySummary sum;
  std::vector<QueryRow> rows;  // the page, in order
};

// False when the sort column is unknown.
bool query_sort_known(const std::string &name);
// The columns, for the error that names them.
std::string query_sort_names();
QueryPage query_page(const Hub &h, const Query &fq);

}  // namespace hub

#endif
