#include "features/image_preparation.h"

#include <fstream>
#include <iterator>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "features/jpeg_check.h"
#include "workspace/path_utils.h"
#include "platform/files.h"

namespace lf {

namespace {

// Empty when the file is missing or cannot be decoded. Missing files are caught
// before imread so that OpenCV does not add a warning of its own.
cv::Mat read_grey(const std::string& path) {
  if (!path_is_file(path)) return cv::Mat();
  try {
    // OpenCV opens the file itself: it is handed the system's form.
    return cv::imread(native_path(path), cv::IMREAD_GRAYSCALE);
  } catch (const cv::Exception&) {
    return cv::Mat();
  }
}

// The file with its all-zero scan parameters set right, decoded from memory.
cv::Mat read_grey_with_fixed_scan_parameters(const std::string& path) {
  std::ifstream file(native_path(path), std::ios::binary);
  std::vector<unsigned char> jpeg((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  fix_zero_scan_parameters(jpeg);
  try {
    return cv::imdecode(jpeg, cv::IMREAD_GRAYSCALE);
  } catch (const cv::Exception&) {
    return cv::Mat();
  }
}

void resize_unless_prepared_width(cv::Mat& image) {
  if (image.cols != prepared_width)
    cv::resize(image, image, cv::Size(prepared_width, prepared_height), 0, 0, cv::INTER_LINEAR);
}

cv::Mat fail(ImageFault& fault, ImageFault::Kind kind, const std::string& path, const std::string& uuid) {
  fault.kind = kind;
  fault.path = path;
  fault.uuid = uuid;
  return cv::Mat();
}

// Empty, with `fault` filled, when the image cannot be read, is damaged, or
// is too tall to detect keypoints on.
cv::Mat load_raw_image(const std::string& path, const std::string& uuid, ImageFault& fault) {
  // Checked first, so that the decoder's own warning about it never shows.
  bool zero_scan_parameters = false;
  const std::string damage = path_is_file(path) ? find_jpeg_damage(path, zero_scan_parameters) : "";
  if (!damage.empty()) {
    fault.detail = damage;
    return fail(fault, ImageFault::Kind::damaged, path, uuid);
  }
  cv::Mat image = zero_scan_parameters ? read_grey_with_fixed_scan_parameters(path) : read_grey(path);
  if (image.empty()) return fail(fault, ImageFault::Kind::unreadable, path, uuid);
  resize_unless_prepared_width(image);
  if (image.rows > max_prepared_height) {
    fault.size = image.size();
    return fail(fault, ImageFault::Kind::too_tall, path, uuid);
  }
  return image;
}

cv::Mat average_pair(const std::string& data_path, const CaptureRecord& record, ImageFault& fault) {
  const std::string path1 = join_path(data_path, record.raw1_image);
  const std::string path2 = join_path(data_path, record.raw2_image);
  const cv::Mat raw1 = load_raw_image(path1, record.uuid, fault);
  if (raw1.empty()) return raw1;
  const cv::Mat raw2 = load_raw_image(path2, record.uuid, fault);
  if (raw2.empty()) return raw2;
  if (raw1.size() != raw2.size()) {
    fault.other_path = path2;
    fault.size = raw1.size();
    fault.other_size = raw2.size();
    return fail(fault, ImageFault::Kind::sizes_differ, path1, record.uuid);
  }
  cv::Mat average;
  cv::addWeighted(raw1, 0.5, raw2, 0.5, 0, average);
  return average;
}

}  // namespace

cv::Mat prepare_capture_image(const std::string& data_path, const CaptureRecord& record, ImageFault& fault) {
  fault = ImageFault();
  if (record.has_raw2_image) return average_pair(data_path, record, fault);
  return load_raw_image(join_path(data_path, record.raw1_image), record.uuid, fault);
}

}  // namespace lf
