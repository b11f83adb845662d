// The registry's schema and its versions, the same on SQLite and
// PostgreSQL. The table schema_version holds the version a database is at;
// at start the migrations after it run in order, each in one transaction
// with the version it brings, so an older registry is brought up to date
// and one from a newer hub is refused. On PostgreSQL, hubs sharing the
// database migrate one at a time (an advisory lock).
#ifndef HUB_SCHEMA_H
#define HUB_SCHEMA_H

#include <string>

namespace hub {

class Db;

// The version the migrations bring a database to.
int schema_latest();
// The version db is at (0: before versions were kept, or a new database).
int schema_version(Db &db);
// Brings db to schema_latest(); false with the reason.
bool schema_migrate(Db &db, std::string *why);

}  // namespace hub

#endif
