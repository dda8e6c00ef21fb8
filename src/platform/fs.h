// File-system operations: directories, durable file writes, replace-rename,
// and the advisory locks that mark a temp file as being written.
//
// Paths are byte strings (UTF-8 on this platform), used as given. Every
// function reports failure as a value; none throws. All are thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::platform {

// Creates one directory level. The result may be ignored: an existing
// directory is reported as false as well.
bool MakeDirectory(const std::string& path);

struct PathInfo {
  bool exists = false;
  bool regular = false;  // a plain file (not a directory or device)
  uint64_t size = 0;
};
// Never fails loudly: any error reads as a missing entry.
PathInfo StatPath(const std::string& path);

// A file opened for writing that is flushed to disk before it is published.
// Move-only; the destructor closes a still-open descriptor without syncing.
class WritableFile {
 public:
  WritableFile() = default;
  ~WritableFile();
  WritableFile(WritableFile&& other) noexcept;
  WritableFile& operator=(WritableFile&& other) noexcept;
  WritableFile(const WritableFile&) = delete;
  WritableFile& operator=(const WritableFile&) = delete;

  // Creates `path`, which must not exist yet, and takes an exclusive advisory
  // lock on it, so that a clean-up in another process leaves it alone while
  // it is being written. Returns a closed file (ok() false) on failure.
  static WritableFile CreateExclusive(const std::string& path);

  bool ok() const { return fd_ >= 0; }
  // Writes every byte, retrying short writes. False on any error.
  bool Append(const char* data, size_t size);
  // Flushes the written bytes to disk. False on failure.
  bool Sync();
  // Closes the file, releasing its lock. False when the close reports an
  // error. Keep the file open across ReplaceFile, so the lock covers the
  // rename.
  bool Close();

 private:
  explicit WritableFile(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// Atomically replaces `to` with `from` (rename). False on failure.
bool ReplaceFile(const std::string& from, const std::string& to);
// Flushes a directory's entries to disk, so a rename inside it survives a
// crash of the machine. False on failure.
bool SyncDirectory(const std::string& path);
bool RemoveFile(const std::string& path);

// Names (not paths) of the entries of a directory, "." and ".." excluded.
// An unreadable directory gives an empty list.
std::vector<std::string> ListDirectory(const std::string& path);

// Removes `path` if no process holds the advisory lock that CreateExclusive
// takes. Returns true when it was removed.
bool RemoveIfUnlocked(const std::string& path);

// A file opened for reading, for streaming it out. Move-only.
class ReadableFile {
 public:
  ReadableFile() = default;
  ~ReadableFile();
  ReadableFile(ReadableFile&& other) noexcept;
  ReadableFile& operator=(ReadableFile&& other) noexcept;
  ReadableFile(const ReadableFile&) = delete;
  ReadableFile& operator=(const ReadableFile&) = delete;

  // Opens a regular file; anything else (missing, directory, no rights)
  // gives a closed file.
  static ReadableFile OpenRegular(const std::string& path);
  bool ok() const { return fd_ >= 0; }
  uint64_t size() const { return size_; }
  int descriptor() const { return fd_; }

 private:
  ReadableFile(int fd, uint64_t size) : fd_(fd), size_(size) {}
  int fd_ = -1;
  uint64_t size_ = 0;
};

}  // namespace kelvra::platform
