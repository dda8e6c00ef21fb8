// The engine floor for the sync benchmarks, and a populator for large
// databases.
//
//   sql_floor push-manifest DATADIR CHANGES
//     Runs, directly on SQLite with the server's schema and pragmas, the
//     statements that one push of CHANGES new single-chunk files runs (one
//     write transaction with a savepoint per change, as the server does)
//     and then those of a manifest of 5000 entries (one read transaction,
//     20 times, the median reported), every cell read as text. Prints {"push_ms":..,"manifest_ms":..}. Statements are prepared
//     once: this is what the engine itself costs, with no HTTP, JSON or
//     locking around it.
//
//   sql_floor populate DATADIR FILES CHUNKS
//     Adds FILES live files (one user) and CHUNKS chunks in one transaction.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/process_state.h"
#include "db/relay_db.h"
#include "db/schema.h"
#include "platform/fs.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Db {
  sqlite3* handle = nullptr;
  explicit Db(const std::string& path) {
    sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    for (const char* p : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL",
                          "PRAGMA busy_timeout=5000"}) {
      sqlite3_exec(handle, p, nullptr, nullptr, nullptr);
    }
  }
  ~Db() { sqlite3_close(handle); }
  void Exec(const char* sql) { sqlite3_exec(handle, sql, nullptr, nullptr, nullptr); }
};

struct Statement {
  sqlite3_stmt* stmt = nullptr;
  Statement(Db& db, const char* sql) { sqlite3_prepare_v2(db.handle, sql, -1, &stmt, nullptr); }
  ~Statement() { sqlite3_finalize(stmt); }
  Statement& Bind(int i, const std::string& text) {
    sqlite3_bind_text(stmt, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // Steps to the end, reading every cell as text; returns the row count.
  size_t Run(std::vector<std::string>* first_row = nullptr) {
    size_t rows = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        const unsigned char* t = sqlite3_column_text(stmt, c);
        std::string cell(t ? reinterpret_cast<const char*>(t) : "",
                         static_cast<size_t>(sqlite3_column_bytes(stmt, c)));
        if (rows == 0 && first_row != nullptr) first_row->push_back(std::move(cell));
      }
      ++rows;
    }
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return rows;
  }
};

std::string Hash(const char* kind, long i) {
  char text[80];
  std::snprintf(text, sizeof(text), "%s%058ld", kind, i);
  return text;
}

void PrepareSchema(const std::string& data_dir) {
  kelvra::DataDir = data_dir;
  kelvra::platform::MakeDirectory(data_dir);
  kelvra::DbOpen(data_dir + "/relay.db");
  kelvra::RunStartupStatements();
  kelvra::DbClose();
}

int PushManifest(const std::string& data_dir, long changes) {
  PrepareSchema(data_dir);
  Db db(data_dir + "/relay.db");
  Statement stamp(db, "SELECT id,updated_at FROM files WHERE user_id=? AND path=?");
  Statement upsert(db,
                   "INSERT INTO files(user_id,path,size,mtime,sha256,deleted,origin,updated_at) "
                   "VALUES(?,?,?,?,?,?,?,?) ON CONFLICT(user_id,path) DO UPDATE SET "
                   "size=excluded.size,mtime=excluded.mtime,sha256=excluded.sha256,"
                   "deleted=excluded.deleted,origin=excluded.origin,updated_at=excluded.updated_at");
  Statement id(db, "SELECT id FROM files WHERE user_id=? AND path=?");
  Statement clear(db, "DELETE FROM file_chunks WHERE file_id=?");
  Statement chunk_row(db, "INSERT INTO file_chunks(file_id,idx,sha256,size) VALUES(?,?,?,?)");
  Statement chunk_known(db, "SELECT 1 FROM chunks WHERE sha256=?");
  Statement begin(db, "BEGIN IMMEDIATE"), commit(db, "COMMIT"), read(db, "BEGIN");
  Statement savepoint(db, "SAVEPOINT part"), release(db, "RELEASE part");

  std::string user = "1", now = "1800000000000";
  auto start = Clock::now();
  begin.Run();
  for (long i = 0; i < changes; ++i) {
    std::string path = "bench/file" + std::to_string(i) + ".bin";
    std::string sha = Hash("f", i), chunk = Hash("c", i);
    savepoint.Run();
    stamp.Bind(1, user).Bind(2, path).Run();
    upsert.Bind(1, user).Bind(2, path).Bind(3, "4096").Bind(4, "1").Bind(5, sha).Bind(6, "0");
    upsert.Bind(7, "bench").Bind(8, now).Run();
    std::vector<std::string> row;
    id.Bind(1, user).Bind(2, path).Run(&row);
    clear.Bind(1, row.at(0)).Run();
    chunk_row.Bind(1, row[0]).Bind(2, "0").Bind(3, chunk).Bind(4, "4096").Run();
    chunk_known.Bind(1, chunk).Run();
    release.Run();
  }
  commit.Run();
  double push_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();

  Statement list(db,
                 "SELECT id,path,size,mtime,sha256,deleted,origin,updated_at FROM files "
                 "WHERE user_id=? AND updated_at>? ORDER BY updated_at LIMIT 5000");
  Statement chunks(db, "SELECT sha256,size FROM file_chunks WHERE file_id=? ORDER BY idx");
  // The manifest's statements 20 times; the median, as the server is timed.
  std::vector<double> runs;
  size_t rows = 0;
  for (int run = 0; run < 20; ++run) {
    start = Clock::now();
    read.Run();
    std::vector<std::string> ids;
    list.Bind(1, user).Bind(2, "0");
    while (sqlite3_step(list.stmt) == SQLITE_ROW) {
      for (int c = 0; c < 8; ++c) {
        const unsigned char* t = sqlite3_column_text(list.stmt, c);
        std::string cell(t ? reinterpret_cast<const char*>(t) : "");
        if (c == 0) ids.push_back(std::move(cell));
      }
    }
    sqlite3_reset(list.stmt);
    for (const std::string& file : ids) chunks.Bind(1, file).Run();
    commit.Run();
    runs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    rows = ids.size();
  }
  std::sort(runs.begin(), runs.end());
  double manifest_ms = runs[runs.size() / 2];
  std::printf("{\"push_ms\":%.2f,\"manifest_ms\":%.2f,\"manifest_rows\":%zu}\n", push_ms,
              manifest_ms, rows);
  return 0;
}

int Populate(const std::string& data_dir, long files, long chunk_count) {
  PrepareSchema(data_dir);
  Db db(data_dir + "/relay.db");
  db.Exec("BEGIN");
  db.Exec("INSERT OR IGNORE INTO users(account,pass_hash,created_at) VALUES('bulk','-',1)");
  Statement file(db,
                 "INSERT INTO files(user_id,path,size,mtime,sha256,deleted,origin,updated_at) "
                 "VALUES(1,?,?,1,?,0,'bulk',?)");
  for (long i = 0; i < files; ++i) {
    file.Bind(1, "bulk/" + std::to_string(i)).Bind(2, std::to_string(1000 + i));
    file.Bind(3, Hash("f", i)).Bind(4, std::to_string(1700000000000 + i)).Run();
  }
  Statement chunk(db, "INSERT INTO chunks(sha256,size,created_at) VALUES(?,?,1)");
  for (long i = 0; i < chunk_count; ++i) {
    chunk.Bind(1, Hash("b", i)).Bind(2, std::to_string(4096 + i % 1000)).Run();
  }
  db.Exec("COMMIT");
  db.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "push-manifest" && argc == 4) return PushManifest(argv[2], std::atol(argv[3]));
  if (mode == "populate" && argc == 5) {
    return Populate(argv[2], std::atol(argv[3]), std::atol(argv[4]));
  }
  std::fprintf(stderr, "usage: see the comment at the top of bench/sql_floor.cc\n");
  return 2;
}
