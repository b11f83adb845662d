// The running hub: listeners, the event loop's passes, the timed work, the
// broker client and the HTTP server, start-up and an orderly stop.
#ifndef HUB_SERVER_H
#define HUB_SERVER_H

#include <memory>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/hub.h"
#include "core/ratelimit.h"

namespace hub {

class MqttClient;
class HttpServer;

struct Server {
  explicit Server(Hub &hub);
  ~Server();
  Hub &h;
  Pollable gw_listener{Kind::kGwListener};
  Pollable signals{Kind::kSignal};
  RateLimit rate;
  std::unique_ptr<MqttClient> mqtt;
  std::unique_ptr<HttpServer> http;
  uint32_t last_second = 0;
  bool stopping = false;
};

// Opens everything the configuration asks for, and the exposures made
// through the API in an earlier run (saved); only then prints the
// "listening" line. false with a reason naming the setting.
bool server_start(Server &s, const std::vector<ExposureConf> &saved, std::string *why);
// Runs passes until SIGINT or SIGTERM, then ends every connection, the
// broker client and the HTTP server.
void server_run(Server &s);

}  // namespace hub

#endif
