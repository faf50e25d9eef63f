#pragma once
// The operating system's answers behind the path and workspace logic, and
// where the operating system's differences live: this folder's posix.cpp and
// windows.cpp implement every header here.
//
// The path logic is written for drive-letter paths with backslash separators.
// It asks the platform four things only; tests inject their own answers with
// ScopedPlatform so every drive-dependent case runs on any host.
//
// On Windows the answers come from the C runtime (_getdcwd, _getdrive,
// _stat64i32, _mkdir). On other systems there are no drives: the current drive
// is 0 (none), every drive's current directory is unknown, and the file calls
// translate backslashes into slashes before asking the system.

#include <string>

namespace lf {

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

}  // namespace lf
