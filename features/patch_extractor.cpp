#include "features/patch_extractor.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace {

// pi rounded to float, then divided by 180. Kept as is: a true pi/180 moves
// sample positions enough to change patches measurably.
constexpr double degrees_to_radians = 0.017453293005625408;

// Whole pixels on purpose: the fraction is dropped before use.
int patch_radius(float keypoint_size) {
  return static_cast<int>(static_cast<double>(keypoint_size) * 0.5 * 3.0 * std::sqrt(2.0) * 5.0 *
                          0.5);
}

double image_diagonal(int cols, int rows) {
  return std::sqrt(static_cast<double>(cols * cols + rows * rows));
}

float grid_offset(int index, int patch_size) {
  return static_cast<float>(2.0 * (static_cast<double>(index) / patch_size) - 1.0);
}

// A patch with no spread is left as zeros rather than divided by zero.
void normalise_patch(cv::Mat& patch) {
  cv::Scalar mean;
  cv::Scalar deviation;
  cv::meanStdDev(patch, mean, deviation, cv::noArray());
  const float m = static_cast<float>(mean[0]);
  const float s = static_cast<float>(deviation[0]);
  if (s == 0.0f) {
    patch.setTo(cv::Scalar::all(0));
    return;
  }
  cv::subtract(patch, cv::Scalar(m, 0, 0, 0), patch);
  cv::divide(patch, cv::Scalar(s, 0, 0, 0), patch, 1.0);
}

cv::Mat sample_patch(const cv::Mat& float_image, const cv::Mat& grid, const cv::Mat& transform,
                     int patch_size) {
  const cv::Mat positions = grid * transform;
  const cv::Mat map = positions.reshape(2, patch_size);
  cv::Mat patch;
  cv::remap(float_image, patch, map, cv::Mat(), cv::INTER_LINEAR, cv::BORDER_REPLICATE,
            cv::Scalar(0, 0, 0, 0));
  normalise_patch(patch);
  return patch;
}

}  // namespace

PatchExtractor::PatchExtractor(std::ostream& out)
    // -1 features: no cap, every keypoint the detector finds is kept.
    : patch_size(32), detector(cv::SIFT::create(-1, 3, 0.01, 10.0, 1.6)), out_(&out) {}

bool PatchExtractor::detect_keypoints(const cv::Mat& image, KeypointList& keypoints) const {
  detector->detect(image, keypoints, cv::noArray());
  if (keypoints.empty()) {
    *out_ << "Error : No keypoints detected." << std::endl;
    return false;
  }
  std::sort(keypoints.begin(), keypoints.end(),
            [](const cv::KeyPoint& a, const cv::KeyPoint& b) { return a.size > b.size; });
  return true;
}

bool PatchExtractor::extract_patches(const cv::Mat& image, const KeypointList& keypoints,
                                     PatchList& patches) const {
  if (keypoints.empty()) {
    *out_ << "Error : No keypoints imported." << std::endl;
    return false;
  }
  const cv::Mat grid = make_sampling_grid();
  cv::Mat float_image;
  image.convertTo(float_image, CV_32F, 1.0, 0.0);
  patches.resize(keypoints.size());
  for (size_t k = 0; k < keypoints.size(); ++k) {
    const cv::Mat transform = make_keypoint_transform(keypoints[k], image.cols, image.rows);
    patches[k] = sample_patch(float_image, grid, transform, patch_size);
  }
  return true;
}

cv::Mat PatchExtractor::make_sampling_grid() const {
  const int count = patch_size * patch_size;
  cv::Mat grid(count, 3, CV_32F);
  for (int c = 0; c < count; ++c) {
    float* row = grid.ptr<float>(c);
    row[0] = grid_offset(c % patch_size, patch_size);
    row[1] = grid_offset(c / patch_size, patch_size);
    row[2] = 1.0f;
  }
  return grid;
}

cv::Mat PatchExtractor::make_keypoint_transform(const cv::KeyPoint& keypoint, int cols,
                                                int rows) const {
  const double reach = std::min<double>(patch_radius(keypoint.size), image_diagonal(cols, rows));
  const double theta = (360.0 - keypoint.angle) * degrees_to_radians;
  const double a = reach * std::cos(theta);
  const double b = reach * std::sin(theta);
  return (cv::Mat_<float>(3, 2) << a, -b, b, a, keypoint.pt.x, keypoint.pt.y);
}
