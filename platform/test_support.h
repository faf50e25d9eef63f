#pragma once
// Helpers shared by the tests of every library, on Linux and in the Windows
// cross-build.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace lf {

// The whole content of a file, as bytes.
inline std::string read_bytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// A stream for messages a test does not look at.
inline std::ostream& ignored_messages() {
  static std::ostringstream stream;
  stream.str("");
  return stream;
}

// A fresh, empty folder "<parent>/<prefix><random number>", removed with
// everything in it when the object goes. The parent is the system's temporary
// folder unless one is given. Throws std::runtime_error when the folder
// cannot be made, so that the test fails with the reason.
class TemporaryFolder {
 public:
  explicit TemporaryFolder(const std::string& prefix = "lf_test_") : TemporaryFolder(system_temporary_folder(), prefix) {}
  TemporaryFolder(const std::filesystem::path& parent, const std::string& prefix) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::filesystem::path candidate = parent / (prefix + std::to_string(random()));
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) {
        path_ = candidate.string();
        return;
      }
      if (error) throw std::runtime_error("cannot make a temporary folder in " + parent.string() + ": " + error.message());
    }
    throw std::runtime_error("no free temporary folder name in " + parent.string());
  }
  ~TemporaryFolder() {
    // A test may have taken the owner's permissions away.
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  // Without a trailing separator.
  const std::string& path() const { return path_; }

 private:
  static std::filesystem::path system_temporary_folder() {
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    if (error) throw std::runtime_error("no temporary folder: " + error.message());
    return folder;
  }

  std::string path_;
};

}  // namespace lf
