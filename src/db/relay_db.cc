#include "db/relay_db.h"

#include <sqlite3.h>

#include <string>
#include <unordered_map>

#include "log/service_log.h"

namespace kelvra {

namespace {

// Looks statements up by the SQL text as given, without copying it first.
struct SqlHash {
  using is_transparent = void;
  size_t operator()(std::string_view sql) const { return std::hash<std::string_view>()(sql); }
};

// Both guarded by DbLock().
sqlite3* RelayDb = nullptr;
std::unordered_map<std::string, sqlite3_stmt*, SqlHash, std::equal_to<>> StatementCache;

// Returns a reset statement ready for binding, or nullptr when it cannot be
// prepared. Caller holds DbLock.
sqlite3_stmt* CachedStatement(std::string_view sql) {
  if (RelayDb == nullptr) return nullptr;
  auto found = StatementCache.find(sql);
  if (found != StatementCache.end()) return found->second;
  std::string key(sql);
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(RelayDb, key.data(), static_cast<int>(key.size()),
                         SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK ||
      stmt == nullptr) {
    sqlite3_finalize(stmt);
    return nullptr;
  }
  StatementCache.emplace(std::move(key), stmt);
  return stmt;
}

void BindAll(sqlite3_stmt* stmt, DbParams params) {
  int index = 1;
  for (std::string_view p : params) {
    // A null pointer would bind SQL NULL; empty text must stay text.
    sqlite3_bind_text(stmt, index++, p.data() != nullptr ? p.data() : "",
                      static_cast<int>(p.size()), SQLITE_TRANSIENT);
  }
}

void Release(sqlite3_stmt* stmt) {
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
}

}  // namespace

std::recursive_mutex& DbLock() {
  static std::recursive_mutex lock;
  return lock;
}

bool DbOpen(const std::string& path) {
  std::lock_guard<std::recursive_mutex> hold(DbLock());
  // Nothing reads the engine's memory statistics, and keeping them takes a
  // global mutex on every allocation. Only possible before the engine's
  // first use; later calls change nothing.
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  // We serialise every use of the connection ourselves under DbLock, so the
  // engine's own per-connection mutex would only add cost.
  int rc = sqlite3_open_v2(path.c_str(), &RelayDb,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  return rc == SQLITE_OK;
}

void DbClose() {
  std::lock_guard<std::recursive_mutex> hold(DbLock());
  for (auto& entry : StatementCache) sqlite3_finalize(entry.second);
  StatementCache.clear();
  sqlite3_close(RelayDb);
  RelayDb = nullptr;
}

void DbExecLogged(const char* sql) {
  std::string failure;
  {
    std::lock_guard<std::recursive_mutex> hold(DbLock());
    char* message = nullptr;
    if (sqlite3_exec(RelayDb, sql, nullptr, nullptr, &message) != SQLITE_OK) {
      failure = message != nullptr ? message : "?";
    }
    sqlite3_free(message);
  }
  if (!failure.empty()) LogMessage("SQL错误: " + failure);
}

DbRows DbQuery(std::string_view sql, DbParams params) {
  std::lock_guard<std::recursive_mutex> hold(DbLock());
  DbRows rows;
  sqlite3_stmt* stmt = CachedStatement(sql);
  if (stmt == nullptr) return rows;
  BindAll(stmt, params);
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    int columns = sqlite3_column_count(stmt);
    DbRow row;
    row.reserve(columns);
    for (int c = 0; c < columns; ++c) {
      const unsigned char* text = sqlite3_column_text(stmt, c);
      int size = sqlite3_column_bytes(stmt, c);
      row.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "",
                       text != nullptr ? static_cast<size_t>(size) : 0);
    }
    rows.push_back(std::move(row));
  }
  Release(stmt);
  return rows;
}

std::string_view DbCells::operator[](int column) const {
  auto* stmt = static_cast<sqlite3_stmt*>(statement_);
  const unsigned char* text = sqlite3_column_text(stmt, column);
  if (text == nullptr) return {};
  return {reinterpret_cast<const char*>(text),
          static_cast<size_t>(sqlite3_column_bytes(stmt, column))};
}

void DbForEachRow(std::string_view sql, DbParams params,
                  const std::function<void(const DbCells&)>& each) {
  std::lock_guard<std::recursive_mutex> hold(DbLock());
  sqlite3_stmt* stmt = CachedStatement(sql);
  if (stmt == nullptr) return;
  BindAll(stmt, params);
  // Reset even when `each` throws, or the cached statement stays mid-step.
  struct Reset {
    sqlite3_stmt* stmt;
    ~Reset() { Release(stmt); }
  } reset{stmt};
  DbCells cells(stmt);
  while (sqlite3_step(stmt) == SQLITE_ROW) each(cells);
}

int DbRun(std::string_view sql, DbParams params) {
  std::lock_guard<std::recursive_mutex> hold(DbLock());
  sqlite3_stmt* stmt = CachedStatement(sql);
  if (stmt == nullptr) return -1;
  BindAll(stmt, params);
  int rc = sqlite3_step(stmt);
  int changed = -1;
  if (rc == SQLITE_DONE || rc == SQLITE_ROW) {
    changed = sqlite3_stmt_readonly(stmt) ? 0 : sqlite3_changes(RelayDb);
  }
  Release(stmt);
  return changed;
}

DbTransaction::DbTransaction(Mode mode) : hold_(DbLock()) {
  // IMMEDIATE takes the write lock up front, so a writer never has to
  // upgrade a read lock that another process's writer is waiting on.
  active_ = DbRun(mode == Mode::Write ? "BEGIN IMMEDIATE" : "BEGIN") >= 0;
}

DbTransaction::~DbTransaction() {
  if (active_) DbRun("ROLLBACK");
}

bool DbTransaction::Commit() {
  if (!active_) return false;
  active_ = false;
  if (DbRun("COMMIT") >= 0) return true;
  DbRun("ROLLBACK");
  return false;
}

DbSavepoint::DbSavepoint() { active_ = DbRun("SAVEPOINT part") >= 0; }

DbSavepoint::~DbSavepoint() {
  if (!active_) return;
  DbRun("ROLLBACK TO part");
  DbRun("RELEASE part");
}

bool DbSavepoint::Release() {
  if (!active_) return false;
  active_ = false;
  if (DbRun("RELEASE part") >= 0) return true;
  DbRun("ROLLBACK TO part");
  DbRun("RELEASE part");
  return false;
}

}  // namespace kelvra
