// libmicrohttpd on the hub's loop.
#include "web/http.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>
#include <sys/epoll.h>

#include "store/audit.h"
#include "gateways/channels.h"
#include "core/log.h"
#include "core/loop.h"

namespace hub {

struct HttpServer::Request {
  HttpServer *server;
  MHD_Connection *conn;
  std::string body;
  bool too_big = false;
  uint64_t ticket = 0;  // waiting for this job
  bool answered = false;
  ApiReply reply;
  ApiRequest api;  // kept for the audit log while it waits
};

namespace {

constexpr unsigned kPerAddress = 32;
constexpr int kSendBuffer = 128 * 1024;

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

ApiReply too_large() {
  return ApiReply{413, "application/json", "{\"error\":\"body too large: at most " + std::to_string(kApiBodyMax) + " bytes\"}", 0};
}

// Refuses the request at once: the reply goes out with "Connection: close"
// and MHD reads nothing more of it.
MHD_Result refuse(HttpServer &srv, MHD_Connection *conn, HttpServer::Request *req) {
  req->too_big = true;
  srv.request_arrived(conn);
  ApiReply r = too_large();
  MHD_Response *resp = MHD_create_response_from_buffer(r.body.size(), const_cast<char *>(r.body.data()),
                                                       MHD_RESPMEM_MUST_COPY);
  if (!resp) return MHD_NO;
  MHD_add_response_header(resp, "Content-Type", r.type.c_str());
  MHD_add_response_header(resp, "Connection", "close");
  MHD_Result ok = MHD_queue_response(conn, 413, resp);
  MHD_destroy_response(resp);
  return ok;  // MHD_NO (too late to answer): the connection is closed
}

bool declared_too_big(MHD_Connection *conn) {
  const char *cl = MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  return cl && (strlen(cl) > 9 || strtoul(cl, nullptr, 10) > kApiBodyMax);
}

// The request line and headers are in: the request's record; its body
// comes in the next calls. A body declared too large is refused now.
MHD_Result begin(HttpServer &srv, MHD_Connection *conn, void **con_cls) {
  auto *req = new HttpServer::Request{&srv, conn, {}, false, 0, false, {}, {}};
  *con_cls = req;
  return declared_too_big(conn) ? refuse(srv, conn, req) : MHD_YES;
}

// Every piece of the body is taken whole (MHD keeps offering what is left
// of *upload_size, and its buffer is only the connection's memory limit).
MHD_Result take_body(HttpServer &srv, MHD_Connection *conn, HttpServer::Request *req, const char *upload,
                     size_t *upload_size) {
  size_t n = *upload_size;
  *upload_size = 0;
  if (req->too_big) return MHD_YES;
  if (req->body.size() + n > kApiBodyMax) return refuse(srv, conn, req);
  req->body.append(upload, n);
  return MHD_YES;
}

MHD_Result on_request(void *cls, MHD_Connection *conn, const char *url, const char *method, const char *,
                      const char *upload, size_t *upload_size, void **con_cls) {
  HttpServer &srv = *static_cast<HttpServer *>(cls);
  auto *req = static_cast<HttpServer::Request *>(*con_cls);
  if (!req) return begin(srv, conn, con_cls);
  if (*upload_size > 0) return take_body(srv, conn, req, upload, upload_size);
  if (req->answered) return send_reply(conn, req->reply);
  if (req->too_big) return MHD_YES;  // answered already
  srv.request_arrived(conn);
  ApiRequest a;
  a.method = method;
  a.path = url;
  a.body = req->body;
  MHD_get_connection_values(conn, MHD_GET_ARGUMENT_KIND, add_arg, &a);
  Caller who = audit_caller(srv.hub().cfg, MHD_lookup_connection_value(conn, MHD_HEADER_KIND, "Authorization"));
  a.authorized = who.known;
  a.who = who.who;
  a.role = who.role;
  a.done = HttpServer::exchange_done;
  ApiReply r = api_handle(srv.hub(), a);
  if (r.ticket == 0) return send_reply(conn, r);
  req->ticket = r.ticket;
  req->api = std::move(a);
  srv.add_waiting(r.ticket, req);
  MHD_suspend_connection(conn);
  return MHD_YES;
}

void on_completed(void *cls, MHD_Connection *conn, void **con_cls, MHD_RequestTerminationCode) {
  HttpServer &srv = *static_cast<HttpServer *>(cls);
  srv.request_begins(conn);
  auto *req = static_cast<HttpServer::Request *>(*con_cls);
  if (!req) return;
  if (req->ticket && !req->answered && srv.take_waiting(req->ticket)) {
    cmd_forget(srv.hub(), req->ticket);
    api_audit(srv.hub(), req->api, ApiReply{499, "application/json", "{\"error\":\"the client left first\"}", 0});
  }
  delete req;
  *con_cls = nullptr;
}

void on_connection(void *cls, MHD_Connection *conn, void **socket_context, MHD_ConnectionNotificationCode code) {
  static_cast<HttpServer *>(cls)->conn_event(conn, socket_context, code == MHD_CONNECTION_NOTIFY_STARTED);
}

// A socket shut down under MHD: its next read ends the connection.
void cut_off(MHD_Connection *conn) {
  const MHD_ConnectionInfo *i = MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (i) shutdown(i->connect_fd, SHUT_RDWR);
}

}  // namespace

HttpServer::HttpServer(Hub &h) : Pollable(Kind::kHttp), h_(h) {}

HttpServer::~HttpServer() { stop(); }

HttpServer::Request *HttpServer::take_waiting(uint64_t ticket) {
  auto it = waiting_.find(ticket);
  if (it == waiting_.end()) return nullptr;
  Request *r = it->second;
  waiting_.erase(it);
  return r;
}

void HttpServer::exchange_done(Hub &, const Exchange &j) {
  if (!g_server) return;
  Request *r = g_server->take_waiting(j.ticket);
  if (!r) return;
  r->reply = api_exchange_reply(j);
  r->answered = true;
  api_audit(g_server->h_, r->api, r->reply);
  MHD_resume_connection(r->conn);
  g_server->resumed_ = true;
}

bool HttpServer::start(int listen_fd, std::string *why) {
  const Config &c = h_.cfg;
  // Replies wait in the kernel for a slow reader: at most this much each
  // (accepted sockets take it from the listener) rather than megabytes.
  if (listen_fd >= 0) setsockopt(listen_fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
  unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | (listen_fd < 0 ? MHD_USE_NO_LISTEN_SOCKET : 0);
  MHD_OptionItem listen[] = {{listen_fd < 0 ? MHD_OPTION_END : MHD_OPTION_LISTEN_SOCKET, listen_fd, nullptr},
                             {MHD_OPTION_END, 0, nullptr}};
  d_ = MHD_start_daemon(flags, 0, nullptr, nullptr, on_request, this, MHD_OPTION_ARRAY, listen,
                        MHD_OPTION_CONNECTION_LIMIT, c.http_max_connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
                        kPerAddress, MHD_OPTION_CONNECTION_TIMEOUT, c.http_idle_timeout_s,
                        MHD_OPTION_NOTIFY_COMPLETED, on_completed, this, MHD_OPTION_NOTIFY_CONNECTION,
                        on_connection, this, MHD_OPTION_END);
  if (!d_) {
    if (listen_fd >= 0) close(listen_fd);
    return *why = "the HTTP server did not start", false;
  }
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (listen_fd >= 0 && getsockname(listen_fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0) port_ = ntohs(sa.sin_port);
  fd = MHD_get_daemon_info(d_, MHD_DAEMON_INFO_EPOLL_FD)->epoll_fd;
  loop_add(h_, *this, EPOLLIN);
  g_server = this;
  return true;
}

bool HttpServer::adopt(int sock) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return d_ && MHD_add_connection(d_, sock, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == MHD_YES;
}

void HttpServer::conn_event(MHD_Connection *c, void **, bool opened) {
  if (opened) {
    conns_[c] = Conn{h_.now, true, false};
  } else {
    conns_.erase(c);
  }
  h_.m.http_connections = conns_.size();
}

void HttpServer::request_begins(MHD_Connection *c) {
  auto it = conns_.find(c);
  if (it != conns_.end()) it->second = Conn{h_.now, true, it->second.cut};
}

void HttpServer::request_arrived(MHD_Connection *c) {
  auto it = conns_.find(c);
  if (it != conns_.end()) it->second.receiving = false;
}

void HttpServer::tick() {
  uint32_t limit = h_.cfg.http_request_timeout_s * 1000;
  bool cut = false;
  for (auto &kv : conns_) {
    Conn &c = kv.second;
    if (!c.receiving || c.cut || h_.now - c.since < limit) continue;
    LOG_DEBUG("http: a request took over %u s to arrive: connection closed", h_.cfg.http_request_timeout_s);
    cut_off(kv.first);
    c.cut = cut = true;
    h_.m.http_request_timeouts++;
  }
  if (cut) run();
}

void HttpServer::run() {
  if (d_) MHD_run(d_);
}

// MHD also needs a run when its time-out comes (idle connections to close)
// and while a connection it served has more to read or write: it reads a
// connection once per run and then says so with a time-out of 0.
void HttpServer::after_pass() {
  MHD_UNSIGNED_LONG_LONG t = 1;
  bool due = d_ && MHD_get_timeout(d_, &t) == MHD_YES && t == 0;
  if (!resumed_ && !due) return;
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
