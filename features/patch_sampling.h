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

// Samples the CV_8UC1 `image` at the `count` positions (xs[i], ys[i]) into
// `patch` and normalises the patch to zero mean and unit population deviation
// (all zeros when uniform). `count` must be a multiple of 4 (samples go four at
// a time) and at most 4096, so that the sum of a patch fits an int. The image
// needs at least two columns and two rows, and all its byte offsets must fit an
// int.
void sample_normalised_patch(const cv::Mat& image, const float* xs, const float* ys, int count,
                             float* patch);

}  // namespace lf
