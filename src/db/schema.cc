#include "db/schema.h"

#include "db/relay_db.h"

namespace kelvra {

namespace {

constexpr const char* StartupStatements[] = {
    "PRAGMA journal_mode=WAL",
    "PRAGMA synchronous=NORMAL",
    "PRAGMA busy_timeout=5000",
    "CREATE TABLE IF NOT EXISTS users(id INTEGER PRIMARY KEY AUTOINCREMENT, account TEXT "
    "UNIQUE, pass_hash TEXT, created_at INTEGER)",
    "CREATE TABLE IF NOT EXISTS devices(user_id INTEGER, name TEXT, env TEXT, last_seen "
    "INTEGER, PRIMARY KEY(user_id,name))",
    "CREATE TABLE IF NOT EXISTS sessions(token TEXT PRIMARY KEY, user_id INTEGER, device TEXT, "
    "expires INTEGER)",
    "CREATE TABLE IF NOT EXISTS files(id INTEGER PRIMARY KEY AUTOINCREMENT, user_id INTEGER, "
    "path TEXT, size INTEGER,mtime INTEGER, sha256 TEXT, deleted INTEGER, origin TEXT, "
    "updated_at INTEGER,UNIQUE(user_id,path))",
    "CREATE INDEX IF NOT EXISTS ix_files_pull ON files(user_id, updated_at)",
    "CREATE TABLE IF NOT EXISTS file_chunks(file_id INTEGER, idx INTEGER, sha256 TEXT, size "
    "INTEGER, PRIMARY KEY(file_id,idx))",
    "CREATE INDEX IF NOT EXISTS ix_fc_sha ON file_chunks(sha256)",
    "CREATE TABLE IF NOT EXISTS chunks(sha256 TEXT PRIMARY KEY, size INTEGER, created_at "
    "INTEGER)",
};

}  // namespace

void RunStartupStatements() {
  for (const char* sql : StartupStatements) DbExecLogged(sql);
}

}  // namespace kelvra
