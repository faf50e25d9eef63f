#pragma once
// Images for the app's tests.

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace lf {

// A textured image that gives plenty of SIFT keypoints.
inline cv::Mat textured_image(int cols, int rows, int seed) {
  cv::Mat noise(rows / 8, cols / 8, CV_8UC1);
  cv::RNG rng(seed);
  rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
  cv::Mat image;
  cv::resize(noise, image, cv::Size(cols, rows), 0, 0, cv::INTER_CUBIC);
  return image;
}

}  // namespace lf
