#include "results/result_files.h"

#include <algorithm>
#include <cmath>
#include <ostream>

#include "platform/files.h"

namespace lf {

namespace {

FilePtr open_for_writing(const std::string& path) {
  // Binary mode: the CR LF line ends are written explicitly on every system.
  return open_file(path, "wb");
}

bool write_keypoint_line(std::FILE* file, const cv::KeyPoint& keypoint) {
  return std::fprintf(file, "%g %g %g %g\r\n", static_cast<double>(keypoint.pt.x),
                      static_cast<double>(keypoint.pt.y), static_cast<double>(keypoint.size),
                      static_cast<double>(keypoint.angle)) > 0;
}

bool is_control_character(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

}  // namespace

bool write_keypoint_file(const std::string& path, const KeypointList& keypoints) {
  return write_keypoint_file(open_for_writing(path), keypoints);
}

bool write_keypoint_file(FilePtr file, const KeypointList& keypoints) {
  if (!file) return false;
  for (const cv::KeyPoint& keypoint : keypoints) {
    if (!write_keypoint_line(file.get(), keypoint)) return false;
  }
  return std::fclose(file.release()) == 0;
}

bool DescriptorFile::open(const std::string& path, std::uint64_t count) {
  return open(open_for_writing(path), count);
}

bool DescriptorFile::open(FilePtr file, std::uint64_t count) {
  file_ = std::move(file);
  failed_ = !file_;
  if (failed_) return false;
  unsigned char header[sizeof(count)];
  for (std::size_t i = 0; i < sizeof(count); ++i) header[i] = static_cast<unsigned char>(count >> (8 * i));
  failed_ = std::fwrite(header, 1, sizeof(header), file_.get()) != sizeof(header);
  return !failed_;
}

// Rows are written as the host stores floats; the file is little-endian.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "descriptor rows need a little-endian host");

void DescriptorFile::append_rows(const float* rows, std::size_t count) {
  // Callers may hand over no rows (a capture that carried none from a shared
  // batch), from an empty buffer whose data() may be null: fwrite must never get it.
  if (failed_ || !file_ || count == 0) return;
  const std::size_t floats = count * descriptor_length;
  failed_ = std::fwrite(rows, sizeof(float), floats, file_.get()) != floats;
}

bool DescriptorFile::close() {
  if (!file_) return false;
  const bool closed = std::fclose(file_.release()) == 0;
  return closed && !failed_;
}

bool is_valid_result_stem(const std::string& uuid) {
  return !uuid.empty() && uuid != "." && uuid != ".." &&
         uuid.find_first_of("/\\:") == std::string::npos &&
         std::none_of(uuid.begin(), uuid.end(), is_control_character);
}

std::string printable_uuid(const std::string& uuid) {
  static const char hex[] = "0123456789ABCDEF";
  std::string text;
  for (const char c : uuid) {
    if (!is_control_character(c)) {
      text += c;
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    text += {'\\', 'x', hex[byte >> 4], hex[byte & 0xF]};
  }
  return text;
}

std::size_t count_non_finite_rows(const float* rows, std::size_t count) {
  std::size_t non_finite = 0;
  for (std::size_t row = 0; row < count; ++row) {
    const float* values = rows + row * descriptor_length;
    non_finite += std::any_of(values, values + descriptor_length,
                              [](float value) { return !std::isfinite(value); });
  }
  return non_finite;
}

}  // namespace lf
