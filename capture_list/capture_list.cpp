#include "capture_list/capture_list.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <cereal/archives/json.hpp>
#include <cereal/types/vector.hpp>

#include "platform/files.h"

namespace lf {

CaptureListOpenError::CaptureListOpenError(const char* parse_failure, std::string reason)
    : cereal::RapidJSONException(parse_failure), reason_(std::move(reason)) {}

namespace {

std::vector<CaptureRecord> parse_capture_list(std::istream& stream) {
  cereal::JSONInputArchive archive(stream);
  std::vector<CaptureRecord> records;
  archive(cereal::make_nvp("images", records));
  return records;
}

// Deepest nesting of arrays and objects, outside strings.
int nesting_depth(const std::string& text) {
  int depth = 0, deepest = 0;
  bool in_string = false, escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

// A stream that fails to open parses as an empty document, which the archive
// rejects like any other malformed list; the system's reason goes with it.
[[noreturn]] void raise_open_error(const std::string& path, int error_number) {
  const std::string reason = "cannot open the capture list " + path + ": " + std::strerror(error_number);
  std::istringstream nothing;
  try {
    parse_capture_list(nothing);
  } catch (const cereal::RapidJSONException& error) {
    throw CaptureListOpenError(error.what(), reason);
  }
  throw CaptureListOpenError("", reason);
}

}  // namespace

std::vector<CaptureRecord> load_capture_list(const std::string& path) {
  errno = 0;
  // Text mode, as the list has always been read (CR LF and Ctrl-Z on Windows).
  std::ifstream file(native_path(path));
  if (!file) raise_open_error(path, errno != 0 ? errno : EIO);
  const std::string text{std::istreambuf_iterator<char>(file), {}};
  if (nesting_depth(text) > max_capture_list_depth)
    throw cereal::Exception("the capture list nests arrays and objects deeper than " +
                            std::to_string(max_capture_list_depth) + " levels");
  std::istringstream stream(text);
  return parse_capture_list(stream);
}

}  // namespace lf
