// The history and the audit log in the registry: schema versions, events
// and samples of a gateway's life, pruning, the API's pages, read tokens
// and who did what.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include "web/api.h"
#include "store/audit.h"
#include "gateways/channels.h"
#include "dbkit.h"
#include "gateways/session.h"
#include "hubkit.h"
#include "store/journal.h"
#include "store/registry.h"
#include "store/schema.h"

using namespace hubtest;

namespace {

// A registry of its own on the test's backend, with its journal on the hub.
struct Store {
  Store(HubTest &t, const TestDb &db, hub::HistoryConf conf = {}) : journal(attach(t.h->journal)) {
    std::string why;
    EXPECT_TRUE(reg.open(db.target, &why) && journal.open(db.target, conf, &why)) << why;
  }
  hub::Registry reg;
  hub::Journal &journal;
};


hub::ApiReply get(HubTest &t, const std::string &path, std::vector<std::pair<std::string, std::string>> query = {},
                  const char *method = "GET", const std::string &who = "ops", hub::Role role = hub::Role::kOperate) {
  hub::ApiRequest r;
  r.method = method;
  r.path = path;
  r.query = std::move(query);
  r.who = who;
  r.role = role;
  return hub::api_handle(*t.h, r);
}

// The values of one field of every row of a kind, newest first.
std::vector<std::string> column(const std::string &body, const char *kind, const char *field) {
  cJSON *o = cJSON_Parse(body.c_str());
  std::vector<std::string> out;
  const cJSON *rows = cJSON_GetObjectItem(kind ? cJSON_GetObjectItem(o, kind) : o, "rows");
  for (const cJSON *r = rows ? rows->child : nullptr; r; r = r->next) {
    const cJSON *v = cJSON_GetObjectItem(r, field);
    out.push_back(cJSON_IsString(v) ? v->valuestring : std::to_string(static_cast<long long>(v ? v->valuedouble : -1)));
  }
  cJSON_Delete(o);
  return out;
}

using History = Backend;

TEST_P(History, EventsSamplesTrafficPagesAndPruning) {
  hub::Config cfg = HubTest::config();
  cfg.verify_close_on_fail = false;
  HubTest t(cfg);
  Store s(t, db, hub::HistoryConf{1, 1});
  Gw a = t.connect();
  t.online(a, "10.0.0.7");                       // online, a sample of 23
  t.feed(a, heartbeat_packet("10.0.0.7", 15));  // within the minute: no sample yet
  t.advance(50000);
  t.feed(a, heartbeat_packet("10.0.0.7", 15));
  t.advance(20000);
  t.feed(a, heartbeat_packet("10.0.0.7", 16));  // a minute on: the value now
  std::string why;
  ASSERT_TRUE(hub::cmd_verify(*t.h, t.rec("10.0.0.7"), nullptr, 1, 2, &why));
  t.pass();
  t.feed(a, data_packet("10.0.0.7", {{COM_PORT_VERIFY, Bytes{12, 0, 0, 0}}}));
  t.feed(a, heartbeat_packet("10.0.0.7", 16));
  Gw b = t.connect();
  t.online(b, "10.0.0.7");  // the older connection is replaced
  EXPECT_EQ(get(t, "/api/gateways/10.0.0.7/hold", {}, "POST").status, 200);
  EXPECT_EQ(get(t, "/api/gateways/10.0.0.7/close", {}, "POST").status, 200);
  ASSERT_TRUE(s.journal.write_waiting());

  hub::ApiReply r = get(t, "/api/gateways/10.0.0.7/history", {{"kind", "state,signal"}, {"from", "2023-11-14T22:13:20Z"}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(column(r.body, "state", "event"), (std::vector<std::string>{"offline", "held", "admission", "online",
                                                                        "replaced", "verify_failed", "online"}));
  EXPECT_EQ(column(r.body, "state", "detail").at(0), "closed through the API");
  EXPECT_EQ(column(r.body, "signal", "signal"), (std::vector<std::string>{"16", "23"}));
  EXPECT_EQ(r.body.find("\"traffic\""), std::string::npos);
  r = get(t, "/api/gateways/10.0.0.7/history", {{"kind", "state"}, {"limit", "4"}});
  EXPECT_NE(r.body.find("\"more\":true"), std::string::npos);
  std::string before = column(r.body, "state", "at")[3];
  r = get(t, "/api/gateways/10.0.0.7/history", {{"kind", "state"}, {"before", before}});
  EXPECT_EQ(column(r.body, "state", "event"), (std::vector<std::string>{"replaced", "verify_failed", "online"}));
  r = get(t, "/api/gateways/10.0.0.7/history", {{"kind", "traffic"}});
  ASSERT_EQ(column(r.body, "traffic", "day").size(), 1u);
  EXPECT_GT(std::stoll(column(r.body, "traffic", "packets_in")[0]), 4);
  EXPECT_EQ(get(t, "/api/gateways/10.0.0.7/history", {{"from", "yesterday"}}).status, 400);
  EXPECT_EQ(get(t, "/api/gateways/10.0.0.7/history", {{"kind", "weather"}}).status, 400);

  // Over the size cap (1 MB) the oldest go first, a few batches a pass;
  // past the retention (a day) everything goes.
  for (int i = 0; i < 40000; i++) {
    hub::JournalRow row;
    row.table = hub::Table::kSample;
    row.gw = "10.0.0.7";
    row.at = t.wall + i;
    s.journal.add(row);
  }
  ASSERT_TRUE(s.journal.write_waiting());
  EXPECT_GT(s.journal.used_bytes(), 1 << 20);
  size_t passes = 0;
  while (s.journal.used_bytes() > 1 << 20 && passes < 10) passes++, s.journal.prune(t.wall);
  EXPECT_LE(s.journal.used_bytes(), 1 << 20);
  EXPECT_GE(passes, 2u);  // small batches, not all at once
  r = get(t, "/api/gateways/10.0.0.7/history", {{"kind", "signal"}, {"limit", "1"}});
  EXPECT_EQ(column(r.body, "signal", "at"), std::vector<std::string>{std::to_string(t.wall + 39999)}) << r.body;
  while (s.journal.prune(t.wall + 2 * hub::kDayMs) > 0) {
  }
  r = get(t, "/api/gateways/10.0.0.7/history");
  EXPECT_TRUE(column(r.body, "state", "event").empty() && column(r.body, "signal", "at").empty()) << r.body;
}

// An unversioned SQLite registry (from before schema_version) is brought
// up to date; on either backend, one from a newer hub is refused.
TEST_P(History, AnOlderRegistryIsMigratedAndANewerOneRefused) {
  std::string why;
  std::unique_ptr<hub::Db> raw = hub::db_open(db.target, &why);
  ASSERT_TRUE(raw) << why;
  if (GetParam() == hub::DbKind::kSqlite) {
    ASSERT_TRUE(raw->exec("CREATE TABLE gateways(id TEXT PRIMARY KEY NOT NULL, alias TEXT, model TEXT,"
                          " version TEXT, peer TEXT, first_seen INTEGER, last_seen INTEGER, online INTEGER,"
                          " signal INTEGER, network INTEGER, heartbeat INTEGER, admission INTEGER,"
                          " bytes_in INTEGER, bytes_out INTEGER, packets_in INTEGER, packets_out INTEGER,"
                          " reconnects INTEGER, malformed INTEGER, modbus_timeouts INTEGER, verify_fail INTEGER);"
                          "INSERT INTO gateways(id, alias) VALUES('10.0.0.7', 'old');"))
        << raw->error();
  }
  {
    HubTest t;
    hub::Registry reg;
    std::vector<hub::ExposureConf> exposures;
    ASSERT_TRUE(reg.open(db.target, &why) && reg.load(*t.h, &exposures, &why)) << why;
    if (GetParam() == hub::DbKind::kSqlite) {
      EXPECT_EQ(t.rec("10.0.0.7").alias, "old");
    }
  }
  EXPECT_EQ(hub::schema_version(*raw), hub::schema_latest());
  hub::Registry again;  // already up to date: nothing to do
  ASSERT_TRUE(again.open(db.target, &why)) << why;
  ASSERT_TRUE(raw->exec("INSERT INTO schema_version VALUES(99, 0)")) << raw->error();
  hub::Registry newer;
  EXPECT_FALSE(newer.open(db.target, &why));
  EXPECT_NE(why.find("schema version 99 is newer than this hub's"), std::string::npos) << why;
}

using Audit = Backend;

TEST_P(Audit, ReadTokensOnlyReadAndEveryChangeIsLoggedWithItsAuthor) {
  hub::Config cfg = HubTest::config();
  std::string err;
  ASSERT_TRUE(hub::config_parse("[http]\ntoken = \"t0\"\n[[http.tokens]]\nname = \"dashboard\"\ntoken = \"t1\"\n"
                                "role = \"read\"\n[[http.tokens]]\nname = \"ops\"\ntoken = \"t2\"\n",
                                cfg, err))
      << err;
  EXPECT_EQ(hub::audit_caller(cfg, "Bearer t1").who, "dashboard");
  EXPECT_EQ(hub::audit_caller(cfg, "Bearer t1").role, hub::Role::kRead);
  EXPECT_EQ(hub::audit_caller(cfg, "Bearer t2").role, hub::Role::kOperate);
  EXPECT_EQ(hub::audit_caller(cfg, "Bearer t0").who, "default");
  EXPECT_FALSE(hub::audit_caller(cfg, "Bearer t3").known);
  EXPECT_FALSE(hub::audit_caller(cfg, nullptr).known);
  hub::Config bad;
  EXPECT_FALSE(hub::config_parse("[[http.tokens]]\nname = \"x\"\ntoken = \"y\"\nrole = \"admin\"\n", bad, err));
  EXPECT_EQ(err, "[http] tokens: role: \"read\" or \"operate\"");

  HubTest t(cfg);
  Store s(t, db);
  Gw g = t.connect();
  t.online(g, "10.0.0.7");
  EXPECT_EQ(get(t, "/api/gateways/10.0.0.7/close", {}, "POST", "dashboard", hub::Role::kRead).status, 403);
  EXPECT_EQ(get(t, "/api/gateways", {}, "GET", "dashboard", hub::Role::kRead).status, 200);
  EXPECT_EQ(hub::gw_state(t.rec("10.0.0.7")), std::string("online"));
  EXPECT_EQ(get(t, "/api/gateways/10.0.0.7/hold", {}, "POST").status, 200);
  std::string empty;
  hub::mqtt_on_message(*t.h, "trm/10.0.0.7/cfg", nullptr, 0);  // held: not acted on, not a change
  EXPECT_EQ(get(t, "/api/gateways/10.0.0.7/admit", {}, "POST").status, 200);
  hub::mqtt_on_message(*t.h, "trm/10.0.0.7/cfg", reinterpret_cast<const uint8_t *>(empty.data()), 0);
  ASSERT_TRUE(s.journal.write_waiting());

  hub::ApiReply r = get(t, "/api/audit", {}, "GET", "dashboard", hub::Role::kRead);
  EXPECT_EQ(column(r.body, nullptr, "who"), (std::vector<std::string>{"mqtt", "ops", "ops", "dashboard"}));
  EXPECT_EQ(column(r.body, nullptr, "action")[3], "POST /api/gateways/10.0.0.7/close");
  EXPECT_EQ(column(r.body, nullptr, "outcome")[3], "403 the token \"dashboard\" may only read");
  EXPECT_EQ(column(r.body, nullptr, "outcome")[0].compare(0, 8, "refused:"), 0);
  EXPECT_EQ(column(r.body, nullptr, "gateway")[1], "10.0.0.7");
  r = get(t, "/api/audit", {{"who", "ops"}, {"limit", "1"}});
  EXPECT_EQ(column(r.body, nullptr, "action"), std::vector<std::string>{"POST /api/gateways/10.0.0.7/admit"});
  EXPECT_NE(r.body.find("\"more\":true"), std::string::npos);
}

BACKENDS(History);
BACKENDS(Audit);

}  // namespace
