#pragma once
// The operating-system calls behind the path and workspace logic.
//
// The path logic is written for drive-letter paths with backslash separators.
// It asks the platform four things only; tests inject their own answers with
// ScopedPlatform so every drive-dependent case runs on any host.
//
// On Windows the answers come from the C runtime (_getdcwd, _getdrive,
// _stat64i32, _mkdir). On other systems there are no drives: the current drive
// is 0 (none), every drive's current directory is unknown, and the file calls
// translate backslashes into slashes before asking the system.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
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

class Platform {
 public:
  virtual ~Platform() = default;

  // Current directory of drive number `drive` (1 = A), starting with the drive
  // letter and a colon; false when it is unknown or longer than 260 characters.
  virtual bool drive_current_directory(int drive, std::string& directory) const = 0;

  // Number of the current drive (1 = A), or 0 where the system has no drives.
  virtual int current_drive() const = 0;

  // File-type bits (st_mode & 0xF000) of what `path` names, or -1 when it
  // cannot be examined.
  virtual int file_type(const std::string& path) const = 0;

  // Creates one folder level; 0 on success, non-zero on any failure.
  virtual int make_folder(const std::string& path) const = 0;
};

// File-type bits as the C runtime reports them.
constexpr int file_type_folder = 0x4000;
constexpr int file_type_regular = 0x8000;
constexpr int file_type_pipe = 0x1000;

// The running system's answers.
const Platform& system_platform();

// The answers the path logic uses now: the system's unless a test swapped them.
const Platform& current_platform();

// Swaps the platform for the lifetime of the object (tests only; not thread-safe).
class ScopedPlatform {
 public:
  explicit ScopedPlatform(const Platform& platform);
  ~ScopedPlatform();
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  const Platform* previous_;
};

// The path as the system's file calls expect it: backslashes become slashes
// where the backslash is no separator; unchanged on Windows.
std::string native_path(const std::string& path);

// Moves `from` onto `to`, replacing an existing `to` in one step where the
// system allows it; false on failure (errno tells why).
bool replace_file(const std::string& from, const std::string& to);

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

// --- Files, locks and processes. Paths below are in the system's form
// (native_path); on Windows the program runs with UTF-8 as its code page. ---

// Creates `native` for writing in binary mode, never taking over a file that
// is already there; null with errno set on failure.
std::FILE* create_new_file(const std::string& native);

// Removes the file; safe in a signal handler or a console-event handler.
bool remove_file_now(const char* native) noexcept;

// The names in a folder, without "." and ".."; empty when it cannot be listed.
std::vector<std::string> folder_entry_names(const std::string& native_folder);

long current_process_id();
std::string host_name();

// A lock on the file `native` (created when missing), shared or exclusive,
// waited for and held while the object lives. Where the file cannot be opened
// or its file system has no locks, nothing is held and the run goes on.
class ScopedFileLock {
 public:
  ScopedFileLock(const std::string& native, bool exclusive);
  ~ScopedFileLock();
  ScopedFileLock(const ScopedFileLock&) = delete;
  ScopedFileLock& operator=(const ScopedFileLock&) = delete;

 private:
  std::intptr_t handle_;
};

// Blocks the calling thread until the process ends.
[[noreturn]] void wait_forever() noexcept;

// While the object lives, a request to stop (SIGINT, SIGTERM and SIGHUP; on
// Windows the console's Ctrl+C, Ctrl+Break and close events) first calls
// `cleanup`, then ends the process as the request would have without the handler.
// A signal ignored when the object is made (nohup) stays ignored.
class StopRequestHandler {
 public:
  using Cleanup = void (*)() noexcept;
  explicit StopRequestHandler(Cleanup cleanup);
  ~StopRequestHandler();
  StopRequestHandler(const StopRequestHandler&) = delete;
  StopRequestHandler& operator=(const StopRequestHandler&) = delete;

 private:
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

// --- Program start. ---

// The command-line arguments in UTF-8 (on Windows from the wide command line).
std::vector<std::string> utf8_arguments(int argc, char** argv);

// Sets the environment variable unless it is set already.
void set_environment_default(const char* name, const char* value);

// The path of `file_name` in the folder of the running executable.
std::string path_beside_program(const std::string& file_name);

// File name of the shared library that CMake builds as target `name`.
std::string shared_library_file_name(const std::string& name);

// Loads the library at `path` (kept until the process ends) and returns its
// `symbol`. With `quiet`, what is written to standard error while it loads is
// held back and shown only when loading fails or the library ends the process.
// Null with `reason` on failure.
void* load_library_symbol(const std::string& path, const char* symbol, bool quiet, std::string& reason);

// --- Memory and foreign code. ---

void* allocate_aligned(std::size_t alignment, std::size_t size) noexcept;
void free_aligned(void* data) noexcept;

// Runs `call`, a call into a library built with another toolchain; false with
// the exception's message in `failure` when it ended by throwing. On Windows the
// library's exceptions cannot be caught by this program's code: the call runs on
// a worker thread whose unhandled exception is read and ends only that thread.
bool run_guarded_call(const std::function<void()>& call, std::string& failure);

}  // namespace lf
