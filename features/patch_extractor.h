#pragma once
// Keypoint detection and the square, rotation-aligned patches that the
// descriptor network is fed with.
//
// A keypoint's patch covers the square of half-width R around it, turned by the
// keypoint's angle:
//   R = trunc(size * 0.5 * 3 * sqrt(2) * 5 * 0.5), at most the image diagonal.
// The patch_size x patch_size samples sit at offsets -1, -1 + 2/N, ..., 1 - 2/N
// of R along both patch axes (N = patch_size), so sample (N/2, N/2) is the
// keypoint itself. Samples are read by bilinear interpolation with the border
// replicated, then the patch is normalised to zero mean and unit population
// standard deviation. A uniform patch (zero deviation: a flat region, or R = 0)
// becomes all zeros, so a patch never holds NaN or infinity.

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include "features/patch_buffer.h"
#include "features/types.h"

namespace lf {

// How keypoints are found and patches sampled; the Python tools mirror these
// values (tools/common/program.py).
struct ExtractionOptions {
  // OpenCV's SIFT::create arguments; -1 features: no cap, every keypoint the
  // detector finds is kept.
  int sift_features = -1;
  int sift_octave_layers = 3;
  double sift_contrast_threshold = 0.01;
  double sift_edge_threshold = 10.0;
  double sift_sigma = 1.6;
  int patch_size = patch_side;

  // The first option out of range, as "<name> <why>"; empty when all are usable.
  std::string check() const;
};

class PatchExtractor {
 public:
  // Throws std::invalid_argument when options.check() finds a fault.
  explicit PatchExtractor(const ExtractionOptions& options = {});
  PatchExtractor(const PatchExtractor&) = delete;
  PatchExtractor& operator=(const PatchExtractor&) = delete;

  // Every SIFT keypoint of the grey image, largest size first; false when
  // there is none.
  bool detect_keypoints(const cv::Mat& image, KeypointList& keypoints) const;

  // Replaces `patches` by one patch per keypoint, in keypoint order; each is its
  // own continuous patch_size x patch_size CV_32FC1 matrix. With no keypoints,
  // leaves `patches` alone and returns false.
  // 8-bit grey images are sampled in batches of keypoints, in parallel and with
  // exact arithmetic; the patches equal extract_patches_reference's bit for bit.
  // Other images, and odd patch sizes or sizes above 64, go through
  // extract_patches_reference itself.
  bool extract_patches(const cv::Mat& image, const KeypointList& keypoints,
                       PatchList& patches) const;
  // The same patches, bit for bit, written straight into `patches` (resized to
  // the keypoint count), which may be reused from capture to capture. Only for
  // patch_size == patch_side, the network's size.
  bool extract_patches(const cv::Mat& image, const KeypointList& keypoints,
                       PatchBuffer& patches) const;

  // extract_patches done one keypoint at a time with the library calls that
  // define the patch: the matrix product g * T, cv::remap on the image as
  // CV_32F, cv::meanStdDev, cv::subtract and cv::divide.
  bool extract_patches_reference(const cv::Mat& image, const KeypointList& keypoints,
                                 PatchList& patches) const;

  // patch_size^2 x 3 CV_32F, one row (gx, gy, 1) per sample in row-major patch
  // order: gx follows the patch column, gy the patch row.
  cv::Mat make_sampling_grid() const;

  // 3x2 CV_32F matrix T placing grid row g at image position g * T (x, y):
  // rows (a, -b), (b, a), (kx, ky) with a = R cos(theta), b = R sin(theta),
  // theta = 360 degrees - keypoint angle, for an image of cols x rows.
  cv::Mat make_keypoint_transform(const cv::KeyPoint& keypoint, int cols, int rows) const;

  int patch_size;
  cv::Ptr<cv::SIFT> detector;
};

}  // namespace lf
