#pragma once
// Turns a capture's raw image file(s) into the single grey image that keypoints
// are detected on.

#include <string>

#include <opencv2/core.hpp>

#include "capture_list/capture_record.h"

namespace lf {

// Size every capture is brought to, unless it is already prepared_width wide.
constexpr int prepared_width = 2048;
constexpr int prepared_height = 1024;
// Tallest image (exactly 2048 wide) that keypoints are detected on. Detection
// takes about 0.5 MB per row (4 GB at this limit); far taller images would
// exhaust memory and, from 32,767 rows on, make the detector fail outright.
constexpr int max_prepared_height = 8192;

// Why a capture's image could not be prepared.
struct ImageFault {
  enum class Kind {
    none,
    unreadable,    // missing, or cannot be decoded
    damaged,       // a JPEG whose data is cut short or damaged; `detail` says how
    too_tall,      // taller than max_prepared_height once resized; `size` is its size
    sizes_differ,  // the pair's images, `size` and `other_size`, after resizing
  };
  Kind kind = Kind::none;
  std::string path;        // the image; the first of the pair for sizes_differ
  std::string other_path;  // sizes_differ: the second image
  std::string uuid;
  std::string detail;
  cv::Size size, other_size;
  explicit operator bool() const { return kind != Kind::none; }
};

// Reads each raw image of the capture from join_path(data_path, name) as 8-bit
// grey. An image whose width is not 2048 is resized (bilinear) to 2048x1024; an
// image exactly 2048 wide keeps its own height. A capture with two raw images
// gives their per-pixel average, rounded and saturated. An image that cannot
// be prepared gives an empty Mat and `fault` says why.
cv::Mat prepare_capture_image(const std::string& data_path, const CaptureRecord& record, ImageFault& fault);

}  // namespace lf
