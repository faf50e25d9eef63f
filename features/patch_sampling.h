#pragma once
// Exact sampling and normalisation of one patch of an 8-bit grey image.
//
// Gives the very floats of the library route it stands in for: cv::remap
// (INTER_LINEAR, BORDER_REPLICATE) on the image converted to CV_32F, then
// cv::meanStdDev, cv::subtract and cv::divide on the sampled patch. On that
// route every sample is a whole number of 1/1024 units below 2^18, which a
// float holds exactly: here it is worked out in integers, where the order of
// the arithmetic cannot show either. The sums of a patch stay exact in
// integers and in double, so the library's order of operations cannot show;
// the mean, the deviation and the final subtract and divide are then rounded
// here just as the library rounds them.

#include <opencv2/core.hpp>

namespace lf {

// A copy of a CV_8UC1 image laid out for sampling: its border replicated one
// pixel beyond the top and left edges and two beyond the bottom and right
// ones, where remap's BORDER_REPLICATE reads, and its rows an odd number of
// cache lines apart. Rows a power of two apart share a few sets of a
// set-associative cache, and a turned patch, which reads many rows at a time,
// would evict its own lines.
class SamplingImage {
 public:
  // Whether `image` can be sampled this way: 8-bit grey, at least one pixel,
  // and rows and columns few enough for 16-bit arithmetic on positions.
  static bool fits(const cv::Mat& image);

  explicit SamplingImage(const cv::Mat& image);

  int cols() const { return cols_; }
  int rows() const { return rows_; }
  int step() const { return static_cast<int>(bordered_.step); }
  // Pixel (0, 0) of the image, and the first byte of the border.
  const uchar* origin() const { return bordered_.ptr(1) + 1; }
  const uchar* first_byte() const { return bordered_.data; }

 private:
  cv::Mat bordered_;
  int cols_;
  int rows_;
};

// Samples `image` at the `count` positions (xs[i], ys[i]) into `patch` and
// normalises the patch to zero mean and unit population deviation (all zeros
// when uniform). `count` must be a multiple of 4 (samples go four at a time) and
// at most 4096, so that the sum of a patch fits an int.
void sample_normalised_patch(const SamplingImage& image, const float* xs, const float* ys,
                             int count, float* patch);

}  // namespace lf
