#include "results/result_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ostream>

#include "workspace/path_utils.h"
#include "workspace/platform.h"

namespace {

const char* const keypoint_extension = "feat";
const char* const descriptor_extension = "desc";
const char* const partial_suffix = ".part";

FilePtr open_for_writing(const std::string& path) {
  // Binary mode: the CR LF line ends are written explicitly on every system.
  return FilePtr(std::fopen(native_path(path).c_str(), "wb"));
}

bool write_keypoint_line(std::FILE* file, const cv::KeyPoint& keypoint) {
  return std::fprintf(file, "%g %g %g %g\r\n", static_cast<double>(keypoint.pt.x),
                      static_cast<double>(keypoint.pt.y), static_cast<double>(keypoint.size),
                      static_cast<double>(keypoint.angle)) > 0 &&
         std::fflush(file) == 0;
}

void report_file_error(std::ostream& err, const std::string& path) {
  err << "Error: cannot write result file " << path << ": " << std::strerror(errno) << std::endl;
}

void remove_file(const std::string& path) { std::remove(native_path(path).c_str()); }

// Puts a finished pair in place. The old descriptor file goes first, so that no
// moment shows the new keypoint file beside the old descriptors.
bool publish(const std::string& keypoint_part, const std::string& keypoint_path,
             const std::string& descriptor_part, const std::string& descriptor_path,
             std::ostream& err) {
  remove_file(descriptor_path);
  if (!replace_file(keypoint_part, keypoint_path)) {
    report_file_error(err, keypoint_path);
    return false;
  }
  if (!replace_file(descriptor_part, descriptor_path)) {
    report_file_error(err, descriptor_path);
    remove_file(keypoint_path);
    return false;
  }
  return true;
}

}  // namespace

bool write_keypoint_file(const std::string& path, const KeypointList& keypoints) {
  FilePtr file = open_for_writing(path);
  if (!file) return false;
  for (const cv::KeyPoint& keypoint : keypoints) {
    if (!write_keypoint_line(file.get(), keypoint)) return false;
  }
  return std::fclose(file.release()) == 0;
}

bool DescriptorFile::open(const std::string& path, std::uint64_t count) {
  failed_ = false;
  file_ = open_for_writing(path);
  if (!file_) {
    failed_ = true;
    return false;
  }
  unsigned char header[sizeof(count)];
  for (std::size_t i = 0; i < sizeof(count); ++i) header[i] = static_cast<unsigned char>(count >> (8 * i));
  failed_ = std::fwrite(header, 1, sizeof(header), file_.get()) != sizeof(header);
  return !failed_;
}

void DescriptorFile::append_rows(const float* rows, std::size_t count) {
  if (failed_ || !file_) return;
  const std::size_t floats = count * DescriptorModel::descriptor_length;
  failed_ = std::fwrite(rows, sizeof(float), floats, file_.get()) != floats;
}

bool DescriptorFile::close() {
  if (!file_) return false;
  const bool closed = std::fclose(file_.release()) == 0;
  return closed && !failed_;
}

namespace {

bool is_control_character(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

}  // namespace

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

RecordOutcome write_results(DescriptorModel& model, const std::string& matches_folder,
                            const std::string& uuid, const KeypointList& keypoints,
                            const PatchList& patches, std::ostream& out, std::ostream& err) {
  out << "uuid : " << uuid << std::endl;
  out << "keypoints: " << keypoints.size() << std::endl;

  const std::string descriptor_path = make_file_path(matches_folder, uuid, descriptor_extension);
  const std::string keypoint_path = make_file_path(matches_folder, uuid, keypoint_extension);
  const std::string descriptor_part = descriptor_path + partial_suffix;
  const std::string keypoint_part = keypoint_path + partial_suffix;

  if (!write_keypoint_file(keypoint_part, keypoints)) {
    report_file_error(err, keypoint_part);
    remove_file(keypoint_part);
    return RecordOutcome::record_failed;
  }

  DescriptorFile descriptors;
  if (!descriptors.open(descriptor_part, patches.size())) {
    report_file_error(err, descriptor_part);
    descriptors.close();
    remove_file(keypoint_part);
    remove_file(descriptor_part);
    return RecordOutcome::record_failed;
  }
  const bool ran = compute_descriptors(
      model, patches, [&descriptors](const float* rows, std::size_t count) { descriptors.append_rows(rows, count); },
      out, err);
  const bool written = descriptors.close();
  if (!ran || !written) {
    if (ran) report_file_error(err, descriptor_part);
    remove_file(keypoint_part);
    remove_file(descriptor_part);
    return ran ? RecordOutcome::record_failed : RecordOutcome::run_failed;
  }
  if (!publish(keypoint_part, keypoint_path, descriptor_part, descriptor_path, err)) {
    remove_file(keypoint_part);
    remove_file(descriptor_part);
    return RecordOutcome::record_failed;
  }
  return RecordOutcome::written;
}
