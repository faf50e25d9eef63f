// sample_normalised_patch must give the floats of cv::remap (INTER_LINEAR,
// BORDER_REPLICATE) on the image as CV_32F, normalised with cv::meanStdDev,
// cv::subtract and cv::divide, wherever the positions lie.

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "features/patch_sampling.h"

namespace lf {

namespace {

struct FitsCase {
  const char* label;
  cv::Size size;
  int type;
  bool fits;
};

void PrintTo(const FitsCase& c, std::ostream* os) { *os << c.label; }

class SamplingImageFits : public ::testing::TestWithParam<FitsCase> {};

TEST_P(SamplingImageFits, AsSizeAndTypeAllow) {
  const FitsCase& c = GetParam();
  EXPECT_EQ(SamplingImage::fits(cv::Mat(c.size, c.type, cv::Scalar::all(0))), c.fits);
}

// The widest fitting row: 32701 pixels and the border's 3 take 511 cache lines
// of 64 bytes, 32704 bytes; one pixel more needs 512, an even number, so 513.
INSTANTIATE_TEST_SUITE_P(
    Cases, SamplingImageFits,
    ::testing::Values(FitsCase{"OnePixel", {1, 1}, CV_8UC1, true},
                      FitsCase{"Empty", {0, 0}, CV_8UC1, false},
                      FitsCase{"Float", {8, 8}, CV_32FC1, false},
                      FitsCase{"Colour", {8, 8}, CV_8UC3, false},
                      FitsCase{"WidestRow", {32701, 1}, CV_8UC1, true},
                      FitsCase{"RowTooWide", {32702, 1}, CV_8UC1, false},
                      FitsCase{"TallestColumn", {1, 32766}, CV_8UC1, true},
                      FitsCase{"ColumnTooTall", {1, 32767}, CV_8UC1, false}),
    [](const auto& info) { return std::string(info.param.label); });

cv::Mat random_image(cv::Size size, int seed) {
  cv::Mat image(size, CV_8UC1);
  cv::RNG rng(seed);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  return image;
}

// The library route, sample by sample: positions as a count x 1 map.
std::vector<float> library_patch(const cv::Mat& image, const std::vector<float>& xs,
                                 const std::vector<float>& ys) {
  cv::Mat map(static_cast<int>(xs.size()), 1, CV_32FC2);
  for (int i = 0; i < map.rows; ++i) map.at<cv::Vec2f>(i) = {xs[i], ys[i]};
  cv::Mat float_image, patch;
  image.convertTo(float_image, CV_32F);
  cv::remap(float_image, patch, map, cv::Mat(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  cv::Scalar mean, deviation;
  cv::meanStdDev(patch, mean, deviation);
  const float m = static_cast<float>(mean[0]);
  const float s = static_cast<float>(deviation[0]);
  if (s == 0.0f) {
    patch.setTo(cv::Scalar::all(0));
  } else {
    cv::subtract(patch, cv::Scalar(m), patch);
    cv::divide(patch, cv::Scalar(s), patch, 1.0);
  }
  return std::vector<float>(patch.begin<float>(), patch.end<float>());
}

// Positions over the image and up to 40 pixels beyond it, half of them on the
// halfway points between remap's 1/32-pixel steps, where rounding decides.
void random_positions(cv::Size size, int count, int seed, std::vector<float>& xs,
                      std::vector<float>& ys) {
  cv::RNG rng(seed);
  xs.resize(count);
  ys.resize(count);
  for (int i = 0; i < count; ++i) {
    xs[i] = rng.uniform(-40.0f, size.width + 40.0f);
    ys[i] = rng.uniform(-40.0f, size.height + 40.0f);
    if (i % 2 == 0) {
      xs[i] = (std::floor(xs[i] * 32.0f) + 0.5f) / 32.0f;
      ys[i] = (std::floor(ys[i] * 32.0f) + 0.5f) / 32.0f;
    }
  }
}

struct SampleCase {
  const char* label;
  cv::Mat image;
  int count;
};

void PrintTo(const SampleCase& c, std::ostream* os) { *os << c.label; }

class SamplerAsLibrary : public ::testing::TestWithParam<SampleCase> {};

TEST_P(SamplerAsLibrary, SameBitsWhereverThePositions) {
  const SampleCase& c = GetParam();
  const SamplingImage sampled(c.image);
  for (int seed = 1; seed <= 20; ++seed) {
    std::vector<float> xs, ys;
    random_positions(c.image.size(), c.count, seed, xs, ys);
    std::vector<float> patch(c.count);
    sample_normalised_patch(sampled, xs.data(), ys.data(), c.count, patch.data());
    const std::vector<float> expected = library_patch(c.image, xs, ys);
    EXPECT_EQ(std::memcmp(patch.data(), expected.data(), c.count * sizeof(float)), 0)
        << "seed " << seed;
  }
}

// 1024 is a patch of the network's size; 100 ends in part of a block of samples.
INSTANTIATE_TEST_SUITE_P(
    Cases, SamplerAsLibrary,
    ::testing::Values(SampleCase{"OnePixel", random_image({1, 1}, 1), 100},
                      SampleCase{"OneColumn", random_image({1, 9}, 2), 100},
                      SampleCase{"OneRow", random_image({9, 1}, 3), 100},
                      SampleCase{"TwoByTwo", random_image({2, 2}, 4), 100},
                      SampleCase{"Small", random_image({37, 23}, 5), 1024},
                      SampleCase{"RowsAPowerOfTwoApart", random_image({256, 64}, 6), 1024},
                      SampleCase{"PartOfALargerImage",
                                 random_image({90, 70}, 7)(cv::Rect(20, 15, 41, 33)), 1024}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace

}  // namespace lf
