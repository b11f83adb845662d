// Covers the HTTP API's request handling without sockets: method, path, query and body of any shape, routes, JSON bodies, commands and their replies, exposures and admission.
#include <string.h>

#include <string>

#include "web/api.h"
#include "hub_fuzzkit.h"

namespace {

// "k=v&k2=v2" into pairs.
std::vector<std::pair<std::string, std::string>> query(const std::string &q) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t pos = 0;
  while (pos <= q.size() && !q.empty()) {
    size_t amp = q.find('&', pos);
    std::string kv = q.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
    size_t eq = kv.find('=');
    out.emplace_back(kv.substr(0, eq), eq == std::string::npos ? "" : kv.substr(eq + 1));
    if (amp == std::string::npos) break;
    pos = amp + 1;
  }
  return out;
}

}  // namespace

// Input: one byte (method and whether the token was good), then path,
// query and body separated by newlines.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const char *const kMethods[] = {"GET", "POST", "DELETE", "PUT"};
  if (size < 1) return 0;
  hubfuzz::Rig rig;
  hub::Session &gw = rig.gateway();
  static std::vector<std::string> done;
  std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
  size_t nl1 = rest.find('\n'), nl2 = nl1 == std::string::npos ? nl1 : rest.find('\n', nl1 + 1);
  hub::ApiRequest req;
  req.done = [](hub::Hub &, const hub::Exchange &j) { done.push_back(hub::api_exchange_reply(j).body); };
  req.method = kMethods[data[0] & 3];
  req.authorized = !(data[0] & 4);
  req.path = rest.substr(0, nl1);
  if (nl1 != std::string::npos) req.query = query(rest.substr(nl1 + 1, nl2 == std::string::npos ? nl2 : nl2 - nl1 - 1));
  if (nl2 != std::string::npos) req.body = rest.substr(nl2 + 1);
  hub::ApiReply r = hub::api_handle(*rig.h, req);
  if (r.ticket && (data[0] & 8)) {
    static const uint8_t kReply[] = {2, 0, 0, 1, 8, '1', '0', '.', '0', '.', '0', '.', '7', 23, 1,
                                     1, 1, 11, 0, '!', 'C', 'S', 'Q', ';', '7', '1', ';', '0', '\r', '\n'};
    uint8_t pkt[sizeof kReply];
    memcpy(pkt, kReply, sizeof kReply);
    wire_finish(pkt, sizeof pkt);
    rig.feed(gw, pkt, sizeof pkt);
  }
  rig.pass(data[0] & 16 ? 6000 : 1);
  hub::gw_end(*rig.h, gw, "end of input");
  done.clear();
  return 0;
}
