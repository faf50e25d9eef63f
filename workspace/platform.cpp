#include "workspace/platform.h"

#include <algorithm>

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#include <direct.h>
#include <sys/stat.h>
#include <sys/types.h>
#else
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#endif

namespace lf {

namespace {

#ifdef _WIN32
// Longest directory text _getdcwd may return, terminator included.
constexpr int drive_directory_buffer_length = 261;

class RuntimePlatform final : public Platform {
 public:
  bool drive_current_directory(int drive, std::string& directory) const override {
    char buffer[drive_directory_buffer_length];
    if (_getdcwd(drive, buffer, drive_directory_buffer_length) == nullptr) return false;
    directory = buffer;
    return true;
  }
  int current_drive() const override { return _getdrive(); }
  int file_type(const std::string& path) const override {
    struct _stat64i32 status;
    if (_stat64i32(path.c_str(), &status) != 0) return -1;
    return status.st_mode & 0xF000;
  }
  int make_folder(const std::string& path) const override { return _mkdir(path.c_str()); }
};
#else
class RuntimePlatform final : public Platform {
 public:
  bool drive_current_directory(int, std::string&) const override { return false; }
  int current_drive() const override { return 0; }
  int file_type(const std::string& path) const override {
    struct stat status;
    if (::stat(native_path(path).c_str(), &status) != 0) return -1;
    return status.st_mode & 0xF000;
  }
  int make_folder(const std::string& path) const override {
    return ::mkdir(native_path(path).c_str(), 0777);
  }
};
#endif

const Platform* platform_in_use = nullptr;

}  // namespace

const Platform& system_platform() {
  static const RuntimePlatform platform;
  return platform;
}

const Platform& current_platform() {
  return platform_in_use != nullptr ? *platform_in_use : system_platform();
}

ScopedPlatform::ScopedPlatform(const Platform& platform) : previous_(platform_in_use) {
  platform_in_use = &platform;
}

ScopedPlatform::~ScopedPlatform() { platform_in_use = previous_; }

std::string native_path(const std::string& path) {
#ifdef _WIN32
  return path;
#else
  std::string native = path;
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
#endif
}

bool replace_file(const std::string& from, const std::string& to) {
#ifdef _WIN32
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
  return std::rename(native_path(from).c_str(), native_path(to).c_str()) == 0;
#endif
}

#ifndef _WIN32
FilePtr open_lock_handle(const std::string& path) {
  return FilePtr(std::fopen(native_path(path).c_str(), "rbe"));
}

FileLock try_lock_exclusive(std::FILE* handle) {
  for (;;) {
    if (flock(fileno(handle), LOCK_EX | LOCK_NB) == 0) return FileLock::taken;
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK ? FileLock::busy : FileLock::unsupported;
  }
}

bool path_names_open_file(const std::string& path, std::FILE* handle) {
  struct stat open_file {}, named_file {};
  return fstat(fileno(handle), &open_file) == 0 && ::lstat(native_path(path).c_str(), &named_file) == 0 &&
         open_file.st_dev == named_file.st_dev && open_file.st_ino == named_file.st_ino;
}
#endif

}  // namespace lf
