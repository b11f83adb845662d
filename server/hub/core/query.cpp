// The fleet's page of records: filter, summary, order, page.
#include "core/query.h"

#include <string.h>

#include <algorithm>

namespace hub {
namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

// Compares the digit runs at a[i] and b[j] as numbers and moves past them.
int number_cmp(const std::string &a, size_t &i, const std::string &b, size_t &j) {
  while (i < a.size() && a[i] == '0' && i + 1 < a.size() && digit(a[i + 1])) i++;
  while (j < b.size() && b[j] == '0' && j + 1 < b.size() && digit(b[j + 1])) j++;
  size_t ei = i, ej = j;  // equal runs leave i and j after them
  while (ei < a.size() && digit(a[ei])) ei++;
  while (ej < b.size() && digit(b[ej])) ej++;
  if (ei - i != ej - j) return ei - i < ej - j ? -1 : 1;
  for (; i < ei; i++, j++) {
    if (a[i] != b[j]) return a[i] < b[j] ? -1 : 1;
  }
  return 0;
}

using Cmp = int (*)(const QueryRow &, const QueryRow &);
template <typename T>
int three_way(T a, T b) { return a < b ? -1 : a > b ? 1 : 0; }

int state_rank(const GatewayRecord &r) {
  const char *s = gw_state(r);
  return s[0] == 'o' && s[1] == 'n' ? 0 : s[0] == 'h' ? 1 : 2;
}

struct Column {
  const char *name;
  Cmp cmp;
};
// The more urgent the reasons, the earlier: the attention view.
const Column kColumns[] = {
    {"attention", [](const QueryRow &a, const QueryRow &b) { return three_way(b.attention, a.attention); }},
    {"id", [](const QueryRow &, const QueryRow &) { return 0; }},
    {"alias", [](const QueryRow &a, const QueryRow &b) { return natural_cmp(a.r->alias, b.r->alias); }},
    {"model", [](const QueryRow &a, const QueryRow &b) { return natural_cmp(a.r->model, b.r->model); }},
    {"version", [](const QueryRow &a, const QueryRow &b) { return natural_cmp(a.r->version, b.r->version); }},
    {"peer", [](const QueryRow &a, const QueryRow &b) { return natural_cmp(a.r->peer, b.r->peer); }},
    {"state", [](const QueryRow &a, const QueryRow &b) { return three_way(state_rank(*a.r), state_rank(*b.r)); }},
    {"signal", [](const QueryRow &a, const QueryRow &b) { return three_way(a.r->signal, b.r->signal); }},
    {"network", [](const QueryRow &a, const QueryRow &b) { return three_way(a.r->network, b.r->network); }},
    {"last_seen", [](const QueryRow &a, const QueryRow &b) { return three_way(a.r->last_seen, b.r->last_seen); }},
    {"first_seen", [](const QueryRow &a, const QueryRow &b) { return three_way(a.r->first_seen, b.r->first_seen); }},
    {"bytes_in", [](const QueryRow &a, const QueryRow &b) { return three_way(a.r->c.bytes_in, b.r->c.bytes_in); }},
    {"bytes_out", [](const QueryRow &a, const QueryRow &b) { return three_way(a.r->c.bytes_out, b.r->c.bytes_out); }},
    {"packets_in", [](const QueryRow &a, const QueryRow &b) { return three_way(a.r->c.packets_in, b.r->c.packets_in); }},
    {"reconnects", [](const QueryRow &a, const QueryRow &b) { return three_way(a.r->c.reconnects, b.r->c.reconnects); }},
};

const Column *column(const std::string &name) {
  for (const Column &c : kColumns) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

void count(QuerySummary &s, const GatewayRecord &r, uint8_t attention, int64_t now_s) {
  const char *st = gw_state(r);
  size_t &by_state = st[0] == 'h' ? s.held : st[1] == 'n' ? s.online : s.offline;
  by_state++;
  s.conflict += r.conflict;
  s.never += r.last_seen == 0;
  s.attention += attention != 0;
  s.changed_hour += r.state_at != 0 && now_s - r.state_at < 3600;
}

}  // namespace

int natural_cmp(const std::string &a, const std::string &b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      int c = number_cmp(a, i, b, j);
      if (c) return c;
      continue;
    }
    if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
    i++, j++;
  }
  int c = three_way(a.size() - i, b.size() - j);
  return c ? c : a.compare(b);
}

bool query_sort_known(const std::string &name) { return column(name) != nullptr; }

std::string query_sort_names() {
  std::string s;
  for (const Column &c : kColumns) s += (s.empty() ? "" : ", ") + std::string(c.name);
  return s;
}

QueryPage query_page(const Hub &h, const Query &fq) {
  QueryPage p;
  int64_t now_s = h.wall_ms / 1000;
  std::vector<QueryRow> hits;
  for (const auto &kv : h.records) {
    const GatewayRecord &r = *kv.second;
    uint8_t attention = gw_attention(r, now_s);
    count(p.sum, r, attention, now_s);
    if (gw_matches(r, fq.state, fq.q, now_s)) hits.push_back({&r, attention});
  }
  p.total = h.records.size();
  p.matched = hits.size();
  if (fq.offset >= hits.size()) return p;
  Cmp cmp = column(fq.sort) ? column(fq.sort)->cmp : kColumns[0].cmp;
  bool desc = fq.desc;
  auto before = [cmp, desc](const QueryRow &a, const QueryRow &b) {
    int c = cmp(a, b);
    if (c == 0) c = natural_cmp(a.r->id, b.r->id);
    return desc ? c > 0 : c < 0;
  };
  auto first = hits.begin() + static_cast<std::ptrdiff_t>(fq.offset);
  auto last = hits.begin() + static_cast<std::ptrdiff_t>(std::min(hits.size(), fq.offset + fq.limit));
  if (fq.offset > 0) std::nth_element(hits.begin(), first, hits.end(), before);
  std::partial_sort(first, last, hits.end(), before);
  p.rows.assign(first, last);
  return p;
}

}  // namespace hub
