#include "capture_list/capture_list.h"

#include <fstream>

#include <cereal/archives/json.hpp>
#include <cereal/types/vector.hpp>

#include "workspace/platform.h"

std::vector<CaptureRecord> load_capture_list(const std::string& path) {
  // A stream that fails to open parses as an empty document, which the archive
  // rejects like any other malformed list.
  std::ifstream stream(native_path(path));
  cereal::JSONInputArchive archive(stream);
  std::vector<CaptureRecord> records;
  archive(cereal::make_nvp("images", records));
  return records;
}
