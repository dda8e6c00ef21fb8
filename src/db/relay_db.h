// RelayDb: the one SQLite connection behind every request, and the helpers
// through which all SQL runs.
//
// Every parameter is bound as UTF-8 text (numbers as decimal text, which the
// INTEGER columns turn back into integers) with its full byte length, and
// every cell is read back as text (NULL as empty text). Each call holds
// DbLock for its one statement, so statements of different threads never
// interleave. Prepared statements are cached for the life of the connection.
//
// Failures are values: a failed query yields the rows read before the error
// (usually none), a failed statement reports -1. Nothing is logged except by
// DbExecLogged. After DbClose, or when the open failed, every call fails
// quietly.
//
// DbTransaction holds DbLock from BEGIN to COMMIT/ROLLBACK, so a sequence of
// statements runs with no other thread's statement between them. It must
// not be nested; DbSavepoint marks a part of it that can be undone alone. DbLock and the service log's lock are never held together
// by design: nothing logs while holding DbLock.
#pragma once

#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra {

using DbRow = std::vector<std::string>;
using DbRows = std::vector<DbRow>;
using DbParams = std::initializer_list<std::string_view>;

// Recursive, so that the helpers can run inside a DbTransaction on the same
// thread.
std::recursive_mutex& DbLock();

// Opens `path` (read, write, create). On failure the handle the engine
// produced is kept, exactly as start-up expects, and false is returned.
bool DbOpen(const std::string& path);
// Finalises cached statements and closes the connection under DbLock, so
// no statement is in flight; later calls fail quietly.
void DbClose();

// Runs SQL text without parameters. On failure logs "SQL错误: " + the
// engine's message (or "?"). Used by start-up only.
void DbExecLogged(const char* sql);

DbRows DbQuery(std::string_view sql, DbParams params = {});

// The cells of the current row of DbForEachRow, valid only during the call.
class DbCells {
 public:
  explicit DbCells(void* statement) : statement_(statement) {}
  std::string_view operator[](int column) const;

 private:
  void* statement_;
};
// Like DbQuery, but hands each row to `each` as it is read instead of
// collecting the rows, for large results.
void DbForEachRow(std::string_view sql, DbParams params,
                  const std::function<void(const DbCells&)>& each);
// Steps the statement once. Returns the rows it changed (0 for an ignored
// insert), or -1 when it failed.
int DbRun(std::string_view sql, DbParams params = {});

class DbTransaction {
 public:
  enum class Mode { Read, Write };
  explicit DbTransaction(Mode mode);
  ~DbTransaction();  // rolls back unless committed
  DbTransaction(const DbTransaction&) = delete;
  DbTransaction& operator=(const DbTransaction&) = delete;

  bool ok() const { return active_; }
  // True when every statement of the transaction is now durable in the
  // database; false (and rolled back) otherwise.
  bool Commit();

 private:
  std::unique_lock<std::recursive_mutex> hold_;
  bool active_ = false;
};

// A savepoint inside a DbTransaction: the statements since it are undone
// unless Release() is called. Same thread, inside the transaction only.
class DbSavepoint {
 public:
  DbSavepoint();
  ~DbSavepoint();  // rolls back to the savepoint unless released
  DbSavepoint(const DbSavepoint&) = delete;
  DbSavepoint& operator=(const DbSavepoint&) = delete;

  bool ok() const { return active_; }
  // Keeps the statements since the savepoint. False when that failed.
  bool Release();

 private:
  bool active_ = false;
};

}  // namespace kelvra
