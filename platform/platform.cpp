#include "platform/platform.h"

#include <sys/stat.h>

#include "platform/files.h"

// The parts common to every system; the system calls themselves are in
// posix.cpp and windows.cpp.

namespace lf {

namespace {
const Platform* platform_in_use = nullptr;
}  // namespace

const Platform& current_platform() {
  return platform_in_use != nullptr ? *platform_in_use : system_platform();
}

ScopedPlatform::ScopedPlatform(const Platform& platform) : previous_(platform_in_use) {
  platform_in_use = &platform;
}

ScopedPlatform::~ScopedPlatform() { platform_in_use = previous_; }

FilePtr open_file(const std::string& path, const char* mode) {
  return FilePtr(std::fopen(native_path(path).c_str(), mode));
}

bool remove_file(const std::string& path) { return std::remove(native_path(path).c_str()) == 0; }

bool regular_file_size(const std::string& path, std::uint64_t& size) {
  struct stat info {};
  if (stat(native_path(path).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  size = static_cast<std::uint64_t>(info.st_size);
  return true;
}

}  // namespace lf
