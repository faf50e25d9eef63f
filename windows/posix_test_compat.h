#pragma once
// The few POSIX calls the on-disk unit tests use, over the Windows C runtime.
// Windows has no /tmp, so scratch files go to the user's temporary folder.

#ifndef _WIN32
#error "Only for the Windows build of the tests"
#endif

#include <direct.h>
#include <io.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

// The temporary folder ending in a separator, or an empty string when unknown.
inline std::string temp_folder() {
  std::error_code error;
  std::string folder = std::filesystem::temp_directory_path(error).string();
  if (error || folder.empty()) return "";
  if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
  return folder;
}

// POSIX mkdir; Windows folders have no permission bits.
inline int mkdir(const char* path, int /*mode*/) { return _mkdir(path); }

// Creates a new folder "<temporary folder>\<prefix>XXXXXX"; its path, or an
// empty string on failure.
inline std::string make_temp_folder(const std::string& prefix) {
  const std::string base = temp_folder();
  if (base.empty()) return "";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string pattern = base + prefix + "XXXXXX";
    if (_mktemp_s(pattern.data(), pattern.size() + 1) != 0) return "";
    if (_mkdir(pattern.c_str()) == 0) return pattern;
  }
  return "";
}

// Creates a new empty file "<temporary folder>\<prefix>XXXXXX"; its path, or
// an empty string on failure.
inline std::string make_temp_file(const std::string& prefix) {
  const std::string base = temp_folder();
  if (base.empty()) return "";
  std::string pattern = base + prefix + "XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd < 0) return "";
  _close(fd);
  return pattern;
}

// Removes a folder and everything in it.
inline void remove_tree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}
