#pragma once
// Helpers shared by the tests of every library.

#include <filesystem>
#include <ostream>
#include <random>
#include <sstream>
#include <string>

namespace lf {

// A stream for messages a test does not look at.
inline std::ostream& ignored_messages() {
  static std::ostringstream stream;
  stream.str("");
  return stream;
}

// A fresh, empty folder under the system's temporary folder, removed with
// everything in it when the object goes.
class TemporaryFolder {
 public:
  explicit TemporaryFolder(const std::string& prefix = "lf_test_") {
    std::random_device random;
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    for (;;) {
      path_ = (base / (prefix + std::to_string(random()))).string();
      if (std::filesystem::create_directory(path_, error)) break;
    }
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace lf
