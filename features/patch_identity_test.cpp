// extract_patches must give the very bits of extract_patches_reference.

#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/test_support.h"
#include <opencv2/imgproc.hpp>

#include "features/image_preparation.h"
#include "features/patch_extractor.h"

namespace lf {

namespace {

const char* const photograph = "/usr/share/doc/opencv-doc/examples/data/leuvenA.jpg";

cv::Mat textured_image(cv::Size size, int seed = 3) {
  cv::Mat image(size, CV_8UC1);
  cv::RNG rng(seed);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  cv::GaussianBlur(image, image, cv::Size(0, 0), 1.5);
  return image;
}

KeypointList random_keypoints(cv::Size image_size, int count, int seed = 5) {
  cv::RNG rng(seed);
  KeypointList keypoints;
  for (int i = 0; i < count; ++i)
    keypoints.emplace_back(rng.uniform(0.0f, static_cast<float>(image_size.width)),
                           rng.uniform(0.0f, static_cast<float>(image_size.height)),
                           rng.uniform(0.5f, 40.0f), rng.uniform(0.0f, 360.0f));
  return keypoints;
}

// Number of patches whose bytes differ; every patch must also keep its shape.
size_t differing_patches(const PatchList& actual, const PatchList& expected, int patch_size) {
  EXPECT_EQ(actual.size(), expected.size());
  size_t differing = 0;
  for (size_t k = 0; k < std::min(actual.size(), expected.size()); ++k) {
    EXPECT_EQ(actual[k].size(), cv::Size(patch_size, patch_size)) << "patch " << k;
    EXPECT_EQ(actual[k].type(), CV_32FC1) << "patch " << k;
    EXPECT_TRUE(actual[k].isContinuous()) << "patch " << k;
    const size_t bytes = expected[k].total() * expected[k].elemSize();
    if (actual[k].total() * actual[k].elemSize() != bytes ||
        std::memcmp(actual[k].data, expected[k].data, bytes) != 0)
      ++differing;
  }
  return differing;
}

void expect_same_bits(const PatchExtractor& extractor, const cv::Mat& image,
                      const KeypointList& keypoints) {
  PatchList fast;
  PatchList reference;
  ASSERT_TRUE(extractor.extract_patches(image, keypoints, fast));
  ASSERT_TRUE(extractor.extract_patches_reference(image, keypoints, reference));
  EXPECT_EQ(differing_patches(fast, reference, extractor.patch_size), 0u)
      << "of " << keypoints.size() << " patches";
}

TEST(SameBitsAsReference, EveryKeypointOfAPreparedPhotograph) {
  if (!std::filesystem::exists(photograph))
    GTEST_SKIP() << photograph << " is missing; it comes with the opencv-doc package";
  CaptureRecord record;
  record.raw1_image = photograph;
  record.uuid = "leuven";
  ImageFault fault;
  const cv::Mat image = prepare_capture_image("", record, fault);
  ASSERT_FALSE(image.empty()) << photograph << " comes with the opencv-doc package";
  const PatchExtractor extractor;
  KeypointList keypoints;
  ASSERT_TRUE(extractor.detect_keypoints(image, keypoints));
  EXPECT_GT(keypoints.size(), 10000u);
  expect_same_bits(extractor, image, keypoints);
}

struct EdgeCase {
  const char* label;
  cv::Mat image;
  KeypointList keypoints;
};

void PrintTo(const EdgeCase& c, std::ostream* os) { *os << c.label; }

class SameBitsAtTheEdges : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(SameBitsAtTheEdges, AsReference) {
  expect_same_bits(PatchExtractor(), GetParam().image, GetParam().keypoints);
}

const cv::Size small_size(160, 120);

KeypointList around_the_border() {
  KeypointList keypoints;
  for (const float size : {1.0f, 4.0f, 15.0f})
    for (const float angle : {0.0f, 33.0f, 200.0f}) {
      keypoints.emplace_back(0.0f, 0.0f, size, angle);
      keypoints.emplace_back(159.0f, 119.0f, size, angle);
      keypoints.emplace_back(159.6f, 60.2f, size, angle);
      keypoints.emplace_back(0.4f, 118.7f, size, angle);
      keypoints.emplace_back(-6.0f, 50.0f, size, angle);
      keypoints.emplace_back(80.0f, 130.0f, size, angle);
      keypoints.emplace_back(-20.0f, -30.0f, size, angle);
    }
  return keypoints;
}

// Keypoints 1/64 pixel off the grid put samples exactly halfway between two
// 1/32 steps, where the rounding direction matters.
KeypointList halfway_positions() {
  KeypointList keypoints;
  for (const float size : {1.0f, 2.0f, 3.0f})
    keypoints.emplace_back(80.015625f, 60.046875f, size, 0.0f);
  keypoints.emplace_back(80.984375f, 59.953125f, 2.0f, 90.0f);
  return keypoints;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SameBitsAtTheEdges,
    ::testing::Values(
        EdgeCase{"NearAndOutsideTheBorders", textured_image(small_size), around_the_border()},
        EdgeCase{"ZeroRadius",
                 textured_image(small_size),
                 {{10.5f, 20.5f, 0.1f, 0.0f}, {80.3f, 60.7f, 0.15f, 45.0f}, {0, 0, 0.0f, 0.0f}}},
        EdgeCase{"RadiusClampedToTheDiagonal",
                 textured_image(small_size),
                 {{80, 60, 1e4f, 0.0f}, {10, 100, 5e3f, 77.0f}, {150, 5, 1e6f, 300.0f}}},
        EdgeCase{"HalfwayPositions", textured_image(small_size), halfway_positions()},
        EdgeCase{"FlatImage", cv::Mat(small_size, CV_8UC1, cv::Scalar(90)),
                 random_keypoints(small_size, 9)},
        EdgeCase{"PartOfALargerImage", textured_image({400, 300})(cv::Rect(37, 21, 150, 101)),
                 random_keypoints({150, 101}, 40)},
        EdgeCase{"TwoByTwoImage", textured_image({2, 2}), random_keypoints({2, 2}, 6)},
        EdgeCase{"OneColumnImage", textured_image({1, 40}), random_keypoints({1, 40}, 12)},
        EdgeCase{"OneRowImage", textured_image({40, 1}), random_keypoints({40, 1}, 12)},
        EdgeCase{"OnePixelImage", textured_image({1, 1}), random_keypoints({1, 1}, 3)},
        EdgeCase{"OneKeypoint", textured_image(small_size), random_keypoints(small_size, 1)},
        EdgeCase{"HundredKeypoints", textured_image(small_size),
                 random_keypoints(small_size, 100)}),
    [](const auto& info) { return std::string(info.param.label); });

class SameBitsForPatchSize : public ::testing::TestWithParam<int> {};

// 6 leaves a part block of samples; 8 keeps the sampling grid under 100 rows,
// where cv::gemm does not hand the product to the BLAS.
TEST_P(SameBitsForPatchSize, AsReference) {
  PatchExtractor extractor;
  extractor.patch_size = GetParam();
  const cv::Mat image = textured_image({320, 240});
  expect_same_bits(extractor, image, random_keypoints(image.size(), 50));
}

INSTANTIATE_TEST_SUITE_P(Sizes, SameBitsForPatchSize, ::testing::Values(6, 8, 64));

// Images other than 8-bit grey take the reference's own way, which converts
// them to float first: equal values must give equal patches either way.
TEST(SameBitsAsReference, WhateverTheImageDepth) {
  const PatchExtractor extractor;
  const cv::Mat bytes = textured_image({200, 150});
  cv::Mat floats;
  bytes.convertTo(floats, CV_32F);
  const KeypointList keypoints = random_keypoints(bytes.size(), 30);
  PatchList from_bytes;
  PatchList from_floats;
  ASSERT_TRUE(extractor.extract_patches(bytes, keypoints, from_bytes));
  ASSERT_TRUE(extractor.extract_patches(floats, keypoints, from_floats));
  EXPECT_EQ(differing_patches(from_bytes, from_floats, extractor.patch_size), 0u);
}

TEST(EarlierPatches, AreReplacedNotWrittenInto) {
  const PatchExtractor extractor;
  const cv::Mat image = textured_image(small_size);
  const cv::Mat earlier(32, 32, CV_32FC1, cv::Scalar(7));
  const cv::Mat untouched = earlier.clone();
  PatchList patches(40, earlier);
  ASSERT_TRUE(extractor.extract_patches(image, random_keypoints(small_size, 3), patches));
  ASSERT_EQ(patches.size(), 3u);
  for (const cv::Mat& patch : patches) EXPECT_NE(patch.data, earlier.data);
  EXPECT_EQ(cv::norm(earlier, untouched, cv::NORM_INF), 0.0);
}

}  // namespace

}  // namespace lf
