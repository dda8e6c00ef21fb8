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

// One transaction, so that no write of another process falls between the
// initial counts and the triggers that keep them.
constexpr const char* CounterStatements =
    "BEGIN IMMEDIATE;"
    "CREATE TABLE IF NOT EXISTS relay_counts(name TEXT PRIMARY KEY, value INTEGER NOT NULL);"
    "INSERT OR IGNORE INTO relay_counts(name,value) SELECT 'users',COUNT(*) FROM users;"
    "INSERT OR IGNORE INTO relay_counts(name,value) "
    "SELECT 'live_files',COUNT(*) FROM files WHERE deleted=0;"
    "INSERT OR IGNORE INTO relay_counts(name,value) SELECT 'chunks',COUNT(*) FROM chunks;"
    "INSERT OR IGNORE INTO relay_counts(name,value) "
    "SELECT 'chunk_bytes',COALESCE(SUM(size),0) FROM chunks;"
    "CREATE TRIGGER IF NOT EXISTS relay_count_users_insert AFTER INSERT ON users BEGIN "
    "UPDATE relay_counts SET value=value+1 WHERE name='users'; END;"
    "CREATE TRIGGER IF NOT EXISTS relay_count_users_delete AFTER DELETE ON users BEGIN "
    "UPDATE relay_counts SET value=value-1 WHERE name='users'; END;"
    "CREATE TRIGGER IF NOT EXISTS relay_count_files_insert AFTER INSERT ON files "
    "WHEN NEW.deleted=0 BEGIN "
    "UPDATE relay_counts SET value=value+1 WHERE name='live_files'; END;"
    "CREATE TRIGGER IF NOT EXISTS relay_count_files_delete AFTER DELETE ON files "
    "WHEN OLD.deleted=0 BEGIN "
    "UPDATE relay_counts SET value=value-1 WHERE name='live_files'; END;"
    "CREATE TRIGGER IF NOT EXISTS relay_count_files_update AFTER UPDATE OF deleted ON files "
    "WHEN COALESCE(NEW.deleted=0,0)<>COALESCE(OLD.deleted=0,0) BEGIN "
    "UPDATE relay_counts SET value=value+COALESCE(NEW.deleted=0,0)-COALESCE(OLD.deleted=0,0) "
    "WHERE name='live_files'; END;"
    "CREATE TRIGGER IF NOT EXISTS relay_count_chunks_insert AFTER INSERT ON chunks BEGIN "
    "UPDATE relay_counts SET value=value+1 WHERE name='chunks';"
    "UPDATE relay_counts SET value=value+COALESCE(NEW.size,0) WHERE name='chunk_bytes'; END;"
    "CREATE TRIGGER IF NOT EXISTS relay_count_chunks_delete AFTER DELETE ON chunks BEGIN "
    "UPDATE relay_counts SET value=value-1 WHERE name='chunks';"
    "UPDATE relay_counts SET value=value-COALESCE(OLD.size,0) WHERE name='chunk_bytes'; END;"
    "CREATE TRIGGER IF NOT EXISTS relay_count_chunks_update AFTER UPDATE OF size ON chunks "
    "BEGIN UPDATE relay_counts SET value=value+COALESCE(NEW.size,0)-COALESCE(OLD.size,0) "
    "WHERE name='chunk_bytes'; END;"
    "COMMIT;";

}  // namespace

void RunStartupStatements() {
  for (const char* sql : StartupStatements) DbExecLogged(sql);
  DbExecLogged(CounterStatements);
  // When a statement above failed, the transaction is still open; end it.
  // Without an open transaction this fails quietly.
  DbRun("ROLLBACK");
}

}  // namespace kelvra
