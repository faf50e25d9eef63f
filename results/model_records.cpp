#include "results/model_records.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <system_error>
#include <vector>

#include "workspace/path_utils.h"
#include "platform/files.h"
#include "platform/platform.h"

namespace lf {
namespace {

namespace fs = std::filesystem;

const char* const records_folder_name = ".model_records";

class Fnv64 {
 public:
  void add(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
      hash_ ^= bytes[i];
      hash_ *= 1099511628211ull;
    }
  }
  std::string hex() const {
    char text[17];
    std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(hash_));
    return text;
  }

 private:
  std::uint64_t hash_ = 14695981039346656037ull;
};

bool add_file(Fnv64& hash, const fs::path& model, const fs::path& file) {
  const std::string name = file.lexically_relative(model).generic_u8string();
  hash.add(name.data(), name.size() + 1);
  FilePtr stream(std::fopen(file.u8string().c_str(), "rb"));
  std::error_code error;
  const std::uintmax_t size = fs::file_size(file, error);
  if (!stream || error) return false;
  unsigned char size_bytes[8];
  for (int i = 0; i < 8; ++i) size_bytes[i] = static_cast<unsigned char>(static_cast<std::uint64_t>(size) >> (8 * i));
  hash.add(size_bytes, sizeof(size_bytes));
  char block[65536];
  for (std::size_t read; (read = std::fread(block, 1, sizeof(block), stream.get())) > 0;) hash.add(block, read);
  return !std::ferror(stream.get());
}


}  // namespace

std::string model_fingerprint(const std::string& model_path) {
  // UTF-8 both ways: on Windows a plain path conversion would use the C
  // locale and fail on any other character.
  const fs::path model = fs::u8path(model_path);
  std::vector<fs::path> files{model / "saved_model.pb"};
  std::error_code error;
  std::vector<fs::path> variables;
  for (fs::recursive_directory_iterator it(model / "variables", error), end; !error && it != end; it.increment(error)) {
    if (it->is_regular_file()) variables.push_back(it->path());
  }
  std::sort(variables.begin(), variables.end());
  files.insert(files.end(), variables.begin(), variables.end());
  Fnv64 hash;
  for (const fs::path& file : files) {
    if (!add_file(hash, model, file)) return "";
  }
  return hash.hex();
}

std::string model_record_path(const std::string& matches_folder, const std::string& uuid) {
  return join_path(join_path(matches_folder, records_folder_name), uuid);
}

int remove_model_record(const std::string& matches_folder, const std::string& uuid) {
  if (remove_file(model_record_path(matches_folder, uuid)) || errno == ENOENT || errno == ENOTDIR) return 0;
  return errno;
}

int write_model_record(const std::string& matches_folder, const std::string& uuid, const std::string& fingerprint) {
  if (fingerprint.empty()) return 0;
  current_platform().make_folder(join_path(matches_folder, records_folder_name));
  FilePtr owned = open_file(model_record_path(matches_folder, uuid), "wb");
  if (!owned) return errno;
  std::FILE* const file = owned.release();
  const std::string line = fingerprint + "\n";
  // A record cut short never matches: the pair is then recomputed.
  const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  const int error = written ? 0 : errno;
  if (std::fclose(file) != 0 && written) return errno != 0 ? errno : EIO;
  return written || error != 0 ? error : EIO;
}

bool model_record_matches(const std::string& matches_folder, const std::string& uuid, const std::string& fingerprint) {
  if (fingerprint.empty()) return false;
  const FilePtr file = open_file(model_record_path(matches_folder, uuid), "rb");
  if (!file) return false;
  char text[64];
  const std::size_t read = std::fread(text, 1, sizeof(text), file.get());
  return std::string(text, read) == fingerprint + "\n";
}

}  // namespace lf
