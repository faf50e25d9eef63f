// Times extract_patches against extract_patches_reference over every keypoint
// of one photograph prepared as a capture would be, and checks that both give
// the same bits.
// Usage: extract_patches_benchmark [image [repetitions]]

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "features/image_preparation.h"
#include "features/patch_extractor.h"

using namespace lf;

namespace {

// About 30,000 keypoints at 2048x1024.
const char* const default_image = "/usr/share/doc/opencv-doc/examples/data/leuvenA.jpg";

// Extracts into a fresh container of the route's own kind, as a capture does
// (the pipeline's patch buffer is reused, so it is kept across calls here).
using Extract = void (*)(const PatchExtractor&, const cv::Mat&, const KeypointList&);

void extract_reference(const PatchExtractor& extractor, const cv::Mat& image, const KeypointList& keypoints) {
  PatchList patches;
  static_cast<void>(extractor.extract_patches_reference(image, keypoints, patches));
}

void extract_into_buffer(const PatchExtractor& extractor, const cv::Mat& image, const KeypointList& keypoints) {
  static PatchBuffer buffer;
  static_cast<void>(extractor.extract_patches(image, keypoints, buffer));
}

struct Timing {
  double median;
  double best;
};

double seconds_to_extract(const PatchExtractor& extractor, Extract extract, const cv::Mat& image,
                          const KeypointList& keypoints) {
  const auto start = std::chrono::steady_clock::now();
  extract(extractor, image, keypoints);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

Timing time_extraction(const PatchExtractor& extractor, Extract extract, const cv::Mat& image,
                       const KeypointList& keypoints, int repetitions) {
  seconds_to_extract(extractor, extract, image, keypoints);  // warm-up
  std::vector<double> times;
  for (int i = 0; i < repetitions; ++i)
    times.push_back(seconds_to_extract(extractor, extract, image, keypoints));
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], times.front()};
}

size_t differing_patches(const PatchList& a, const PatchBuffer& b) {
  size_t differing = 0;
  for (size_t k = 0; k < a.size(); ++k)
    if (std::memcmp(a[k].data, b.patch(k), PatchBuffer::patch_values * sizeof(float)) != 0) ++differing;
  return differing;
}

void report(const char* name, const Timing& timing, size_t keypoints, int repetitions) {
  std::cout << name << ": median of " << repetitions << " " << timing.median << " s (best "
            << timing.best << " s), " << keypoints / timing.median << " patches/s (best "
            << keypoints / timing.best << ")\n";
}

}  // namespace

int main(int argc, char** argv) {
  CaptureRecord record;
  record.raw1_image = argc > 1 ? argv[1] : default_image;
  record.uuid = "benchmark";
  const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

  ImageFault fault;
  const cv::Mat image = prepare_capture_image("", record, fault);
  if (image.empty()) {
    std::cerr << "cannot prepare " << record.raw1_image << "\n";
    return 1;
  }
  const PatchExtractor extractor;
  KeypointList keypoints;
  if (!extractor.detect_keypoints(image, keypoints)) return 1;

  PatchList reference;
  PatchBuffer fast;
  if (!extractor.extract_patches_reference(image, keypoints, reference) ||
      !extractor.extract_patches(image, keypoints, fast))
    return 1;
  const size_t differing = differing_patches(reference, fast);

  const Timing slow = time_extraction(extractor, extract_reference, image, keypoints, repetitions);
  const Timing quick = time_extraction(extractor, extract_into_buffer, image, keypoints, repetitions);

  std::cout << "image: " << record.raw1_image << " (" << image.cols << "x" << image.rows << ")\n"
            << "keypoints: " << keypoints.size() << "\n"
            << "patches differing from the reference: " << differing << "\n";
  report("reference", slow, keypoints.size(), repetitions);
  report("extract_patches", quick, keypoints.size(), repetitions);
  std::cout << "speed-up (medians): " << slow.median / quick.median << "x" << std::endl;
  return differing == 0 ? 0 : 2;
}
