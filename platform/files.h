#pragma once
// Files and locks. Paths are in the program's form (backslashes where the
// path logic put them) unless a name says `native`: each call turns them into
// the system's form itself. On Windows the program runs with UTF-8 as its code
// page.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace lf {

namespace detail {
struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
}  // namespace detail
// An open C stream, closed when the owner goes.
using FilePtr = std::unique_ptr<std::FILE, detail::FileCloser>;

// The path as the system's file calls expect it: backslashes become slashes
// where the backslash is no separator; unchanged on Windows.
std::string native_path(const std::string& path);

// Moves `from` onto `to`, replacing an existing `to` in one step where the
// system allows it; false on failure (errno tells why).
bool replace_file(const std::string& from, const std::string& to);

// Opens the file with std::fopen's `mode`; null (errno set) on failure.
FilePtr open_file(const std::string& path, const char* mode);

// Removes the file; false (errno set) on failure.
bool remove_file(const std::string& path);

// The size of a regular file; false when `path` names none.
bool regular_file_size(const std::string& path, std::uint64_t& size);

// Whole-file advisory locks. A lock is held through an open handle and ends
// when the handle is closed or the process ends, however it ends, so a lock
// that can be taken means its holder is gone. Locks conflict between handles
// even within one process. (POSIX: flock. Windows: LockFileEx on one byte far
// beyond any data, since its locks would otherwise stop reads and writes.)
enum class FileLock {
  taken,        // the handle now holds the exclusive lock
  busy,         // another handle holds a lock on the file
  unsupported,  // the file system offers no locks
};

// Opens an existing file only to hold or test a lock on it; the handle is not
// inherited by child processes. Null (errno set) when it cannot be opened.
FilePtr open_lock_handle(const std::string& path);

// Tries once, without waiting, to take an exclusive lock through `handle`.
FileLock try_lock_exclusive(std::FILE* handle);

// True when `path` names the very file open in `handle`: not removed, and not
// replaced by another file of the same name.
bool path_names_open_file(const std::string& path, std::FILE* handle);

// Creates `path` for writing in binary mode, never taking over a file that
// is already there; null with errno set on failure.
std::FILE* create_new_file(const std::string& path);

// Removes the file; safe in a signal handler or a console-event handler.
bool remove_file_now(const char* native) noexcept;

// The names in a folder, without "." and ".."; empty when it cannot be listed.
std::vector<std::string> folder_entry_names(const std::string& folder);

// A lock on the file `path` (created when missing), shared or exclusive,
// waited for and held while the object lives. Where the file cannot be opened
// or its file system has no locks, nothing is held and the run goes on.
class ScopedFileLock {
 public:
  ScopedFileLock(const std::string& path, bool exclusive);
  ~ScopedFileLock();
  ScopedFileLock(const ScopedFileLock&) = delete;
  ScopedFileLock& operator=(const ScopedFileLock&) = delete;

 private:
  std::intptr_t handle_;
};

}  // namespace lf
