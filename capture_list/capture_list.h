#pragma once
// The capture list, caches\images.json:
//
//   {"images": [{"raw1_image": "raw/a.jpg", "raw2_image": "", "uuid": "3f2a"}, ...]}
//
// Strict JSON as rapidjson reads it by default (no comments, no trailing commas,
// no byte-order mark). Other members of the root and of the records are ignored;
// the three keys of a record may stand in any order. An empty "images" array is
// a valid, empty list.

#include <string>
#include <vector>

#include <cereal/archives/json.hpp>

#include "capture_list/capture_record.h"

namespace lf {

// Deepest nesting of arrays and objects a list may have. The parser recurses
// once per level, so a hostile list a few hundred kilobytes deep would
// overflow the stack; a real list has three levels.
constexpr int max_capture_list_depth = 256;

// Raised for a list file that cannot be opened. what() is the parse failure an
// unopened stream has always given ("rapidjson internal assertion failure:
// IsObject()"); reason() names the file and the system's reason.
class CaptureListOpenError : public cereal::RapidJSONException {
 public:
  CaptureListOpenError(const char* parse_failure, std::string reason);
  const std::string& reason() const noexcept { return reason_; }

 private:
  std::string reason_;
};

// Reads the whole list. Any fault raises cereal::Exception (a missing key:
// "JSON Parsing failed - provided NVP (<key>) not found") or its subclass
// cereal::RapidJSONException (a file that cannot be opened or parsed, or a value
// of the wrong type: "rapidjson internal assertion failure: IsObject()" and the
// like), or CaptureListOpenError for a file that cannot be opened; a list
// nested deeper than max_capture_list_depth raises cereal::Exception before it
// is parsed. No partial list is returned.
std::vector<CaptureRecord> load_capture_list(const std::string& path);

}  // namespace lf
