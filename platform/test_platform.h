#pragma once
// A platform with injected answers for the path tests.

#include <map>
#include <set>
#include <string>

#include "platform/platform.h"

namespace lf {

class FakePlatform : public Platform {
 public:
  int drive = 0;                                   // current drive, 0 = none
  std::map<int, std::string> drive_directories;    // drive number -> current directory
  mutable std::map<std::string, int> entries;      // path -> file-type bits
  mutable std::set<std::string> created;           // folders made by make_folder
  bool folder_creation_fails = false;
  bool folder_made_by_another_process = false;     // make_folder loses a race

  bool drive_current_directory(int number, std::string& directory) const override {
    const auto found = drive_directories.find(number);
    if (found == drive_directories.end()) return false;
    directory = found->second;
    return true;
  }
  int current_drive() const override { return drive; }
  int file_type(const std::string& path) const override {
    const auto found = entries.find(path);
    return found == entries.end() ? -1 : found->second;
  }
  int make_folder(const std::string& path) const override {
    if (folder_creation_fails) return -1;
    if (folder_made_by_another_process) {
      // Seen afterwards as path_is_folder asks: without the trailing separator.
      entries[path.substr(0, path.find_last_not_of("\\/") + 1)] = file_type_folder;
      return -1;
    }
    created.insert(path);
    return 0;
  }
};

}  // namespace lf
