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

#include "capture_list/capture_record.h"

// Reads the whole list. Any fault raises cereal::Exception (a missing key:
// "JSON Parsing failed - provided NVP (<key>) not found") or its subclass
// cereal::RapidJSONException (a file that cannot be opened or parsed, or a value
// of the wrong type: "rapidjson internal assertion failure: IsObject()" and the
// like); no partial list is returned.
std::vector<CaptureRecord> load_capture_list(const std::string& path);
