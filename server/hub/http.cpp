// libmicrohttpd on the hub's loop.
#include "http.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/epoll.h>

#include "addr.h"
#include "commands.h"
#include "log.h"
#include "loop.h"

namespace hub {

struct HttpServer::Request {
  HttpServer *server;
  MHD_Connection *conn;
  std::string body;
  bool too_big = false;
  uint64_t ticket = 0;  // waiting for this job
  bool answered = false;
  ApiReply reply;
};

namespace {

constexpr unsigned kPerAddress = 32;
constexpr unsigned kIdleSeconds = 30;

HttpServer *g_server = nullptr;  // the one whose jobs end (Commands has a plain hook)

MHD_Result send_reply(MHD_Connection *conn, const ApiReply &a) {
  MHD_Response *resp = MHD_create_response_from_buffer(a.body.size(), const_cast<char *>(a.body.data()),
                                                       MHD_RESPMEM_MUST_COPY);
  if (!resp) return MHD_NO;
  MHD_add_response_header(resp, "Content-Type", a.type.c_str());
  MHD_add_response_header(resp, "Cache-Control", "no-store");
  if (a.status == 401) MHD_add_response_header(resp, "WWW-Authenticate", "Bearer");
  MHD_Result r = MHD_queue_response(conn, static_cast<unsigned>(a.status), resp);
  MHD_destroy_response(resp);
  return r;
}

MHD_Result add_arg(void *cls, MHD_ValueKind, const char *key, const char *value) {
  static_cast<ApiRequest *>(cls)->query.emplace_back(key ? key : "", value ? value : "");
  return MHD_YES;
}

MHD_Result on_request(void *cls, MHD_Connection *conn, const char *url, const char *method, const char *,
                      const char *upload, size_t *upload_size, void **con_cls) {
  HttpServer &srv = *static_cast<HttpServer *>(cls);
  auto *req = static_cast<HttpServer::Request *>(*con_cls);
  if (!req) {  // the headers: the request's record; its body comes in the next calls
    *con_cls = new HttpServer::Request{&srv, conn, {}, false, 0, false, {}};
    return MHD_YES;
  }
  if (*upload_size > 0) {
    if (req->body.size() + *upload_size > kApiBodyMax) req->too_big = true;
    if (!req->too_big) req->body.append(upload, *upload_size);
    *upload_size = 0;
    return MHD_YES;
  }
  if (req->answered) return send_reply(conn, req->reply);
  if (req->too_big) return send_reply(conn, ApiReply{413, "application/json", "{\"error\":\"body too large\"}", 0});
  ApiRequest a;
  a.method = method;
  a.path = url;
  a.body = req->body;
  MHD_get_connection_values(conn, MHD_GET_ARGUMENT_KIND, add_arg, &a);
  const std::string &token = srv.hub().cfg.http_token;
  a.authorized = token.empty() || bearer_ok(MHD_lookup_connection_value(conn, MHD_HEADER_KIND, "Authorization"), token);
  ApiReply r = api_handle(srv.hub(), a);
  if (r.ticket == 0) return send_reply(conn, r);
  req->ticket = r.ticket;
  srv.add_waiting(r.ticket, req);
  MHD_suspend_connection(conn);
  return MHD_YES;
}

void on_completed(void *cls, MHD_Connection *, void **con_cls, MHD_RequestTerminationCode) {
  HttpServer &srv = *static_cast<HttpServer *>(cls);
  auto *req = static_cast<HttpServer::Request *>(*con_cls);
  if (!req) return;
  if (req->ticket && !req->answered && srv.take_waiting(req->ticket)) cmd_forget(srv.hub(), req->ticket);
  delete req;
  *con_cls = nullptr;
}

}  // namespace

bool bearer_ok(const char *header, const std::string &token) {
  if (!header || strncmp(header, "Bearer ", 7) != 0) return false;
  const char *given = header + 7;
  size_t n = strlen(given);
  unsigned diff = n == token.size() ? 0 : 1;
  for (size_t i = 0; i < token.size(); i++) diff |= static_cast<unsigned>(token[i] ^ given[i < n ? i : 0]);
  return diff == 0;
}

HttpServer::HttpServer(Hub &h) : Pollable(Kind::kHttp), h_(h) {}

HttpServer::~HttpServer() { stop(); }

HttpServer::Request *HttpServer::take_waiting(uint64_t ticket) {
  auto it = waiting_.find(ticket);
  if (it == waiting_.end()) return nullptr;
  Request *r = it->second;
  waiting_.erase(it);
  return r;
}

void HttpServer::job_done(Hub &, const Job &j) {
  if (!g_server) return;
  Request *r = g_server->take_waiting(j.ticket);
  if (!r) return;
  r->reply = api_job_reply(j);
  r->answered = true;
  MHD_resume_connection(r->conn);
  g_server->resumed_ = true;
}

bool HttpServer::start(std::string *why) {
  sockaddr_in sa{};
  uint32_t addr = 0;
  parse_ipv4(h_.cfg.http_listen.host, &addr);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(h_.cfg.http_listen.port));
  sa.sin_addr.s_addr = htonl(addr);
  d_ = MHD_start_daemon(MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, static_cast<uint16_t>(h_.cfg.http_listen.port),
                        nullptr, nullptr, on_request, this, MHD_OPTION_SOCK_ADDR, &sa,
                        MHD_OPTION_CONNECTION_LIMIT, h_.cfg.http_max_connections,
                        MHD_OPTION_PER_IP_CONNECTION_LIMIT, kPerAddress, MHD_OPTION_CONNECTION_TIMEOUT,
                        kIdleSeconds, MHD_OPTION_NOTIFY_COMPLETED, on_completed, this, MHD_OPTION_END);
  if (!d_) return *why = "HTTP server on " + h_.cfg.http_listen.host + ":" + std::to_string(h_.cfg.http_listen.port) + " did not start", false;
  port_ = MHD_get_daemon_info(d_, MHD_DAEMON_INFO_BIND_PORT)->port;
  fd = MHD_get_daemon_info(d_, MHD_DAEMON_INFO_EPOLL_FD)->epoll_fd;
  loop_add(h_, *this, EPOLLIN);
  g_server = this;
  h_.cmds->on_http_done = job_done;
  return true;
}

void HttpServer::run() {
  if (d_) MHD_run(d_);
}

void HttpServer::after_pass() {
  if (!resumed_) return;
  resumed_ = false;
  run();
}

int HttpServer::timeout_ms() {
  MHD_UNSIGNED_LONG_LONG t = 0;
  if (!d_ || MHD_get_timeout(d_, &t) != MHD_YES) return -1;
  return t > 1000 ? 1000 : static_cast<int>(t);
}

void HttpServer::stop() {
  if (!d_) return;
  if (g_server == this) g_server = nullptr;
  h_.cmds->on_http_done = nullptr;
  for (auto &kv : waiting_) {
    kv.second->reply = ApiReply{503, "application/json", "{\"error\":\"the hub stops\"}", 0};
    kv.second->answered = true;
    MHD_resume_connection(kv.second->conn);
  }
  waiting_.clear();
  MHD_run(d_);
  MHD_stop_daemon(d_);
  d_ = nullptr;
  fd = -1;
}

}  // namespace hub
