// Times extract_patches over every keypoint of one photograph prepared as a
// capture would be.
// Usage: extract_patches_benchmark [image [repetitions]]

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "features/image_preparation.h"
#include "features/patch_extractor.h"

namespace {

// About 30,000 keypoints at 2048x1024.
const char* const default_image = "/usr/share/doc/opencv-doc/examples/data/leuvenA.jpg";

double seconds_to_extract(const PatchExtractor& extractor, const cv::Mat& image,
                          const KeypointList& keypoints) {
  PatchList patches;
  const auto start = std::chrono::steady_clock::now();
  extractor.extract_patches(image, keypoints, patches);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  CaptureRecord record;
  record.raw1_image = argc > 1 ? argv[1] : default_image;
  record.uuid = "benchmark";
  const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

  const cv::Mat image = prepare_capture_image("", record);
  if (image.empty()) return 1;
  const PatchExtractor extractor;
  KeypointList keypoints;
  if (!extractor.detect_keypoints(image, keypoints)) return 1;

  seconds_to_extract(extractor, image, keypoints);  // warm-up
  std::vector<double> times;
  for (int i = 0; i < repetitions; ++i)
    times.push_back(seconds_to_extract(extractor, image, keypoints));
  std::sort(times.begin(), times.end());
  const double median = times[times.size() / 2];

  std::cout << "image: " << record.raw1_image << " (" << image.cols << "x" << image.rows << ")\n"
            << "keypoints: " << keypoints.size() << "\n"
            << "seconds (median of " << repetitions << "): " << median << " (best " << times.front()
            << ")\n"
            << "patches per second: " << keypoints.size() / median << std::endl;
  return 0;
}
