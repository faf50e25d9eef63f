#include "features/patch_extractor.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/test_support.h"
#include <opencv2/imgproc.hpp>

namespace lf {

namespace {

constexpr int N = 32;

// Smooth random texture in [low, high], so that every patch has spread.
cv::Mat textured_image(cv::Size size, int low = 20, int high = 220, int seed = 7) {
  cv::Mat image(size, CV_8UC1);
  cv::RNG rng(seed);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  cv::GaussianBlur(image, image, cv::Size(0, 0), 2.0);
  cv::normalize(image, image, low, high, cv::NORM_MINMAX);
  return image;
}

cv::Point2d sample_position(const PatchExtractor& extractor, const cv::KeyPoint& keypoint,
                            cv::Size image_size, int row, int col) {
  const cv::Mat positions =
      extractor.make_sampling_grid() *
      extractor.make_keypoint_transform(keypoint, image_size.width, image_size.height);
  return {positions.at<float>(row * N + col, 0), positions.at<float>(row * N + col, 1)};
}

double patch_radius(const PatchExtractor& extractor, const cv::KeyPoint& keypoint,
                    cv::Size image_size) {
  const cv::Mat t =
      extractor.make_keypoint_transform(keypoint, image_size.width, image_size.height);
  return std::hypot(t.at<float>(0, 0), t.at<float>(1, 0));
}

cv::Mat extract_one(const PatchExtractor& extractor, const cv::Mat& image,
                    const cv::KeyPoint& keypoint) {
  PatchList patches;
  EXPECT_TRUE(extractor.extract_patches(image, {keypoint}, patches));
  return patches.at(0);
}

// Pearson correlation of two equally sized float images.
double correlation(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat result;
  cv::matchTemplate(a, b, result, cv::TM_CCOEFF_NORMED);
  return result.at<float>(0, 0);
}

struct PositionCase {
  cv::KeyPoint keypoint;
  int row;
  int col;
  cv::Point2d expected;
};

void PrintTo(const PositionCase& c, std::ostream* os) {
  *os << "angle " << c.keypoint.angle << " pixel (" << c.row << "," << c.col << ")";
}

class SamplePosition : public ::testing::TestWithParam<PositionCase> {};

TEST_P(SamplePosition, MatchesWorkedExample) {
  const PositionCase& c = GetParam();
  const cv::Point2d at = sample_position(PatchExtractor(), c.keypoint, {2048, 1024}, c.row, c.col);
  EXPECT_NEAR(at.x, c.expected.x, 1e-4);
  EXPECT_NEAR(at.y, c.expected.y, 1e-4);
}

const cv::KeyPoint upright(100, 200, 2.0f, 0.0f);
const cv::KeyPoint quarter_turn(100, 200, 2.0f, 90.0f);
const cv::KeyPoint thirty_degrees(250.5f, 140.25f, 6.0f, 30.0f);

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, SamplePosition,
    ::testing::Values(PositionCase{upright, 0, 0, {90, 190}},
                      PositionCase{upright, 16, 16, {100, 200}},
                      PositionCase{upright, 0, 31, {109.375, 190}},
                      PositionCase{upright, 31, 31, {109.375, 209.375}},
                      PositionCase{quarter_turn, 0, 0, {110, 190}},
                      PositionCase{quarter_turn, 16, 16, {100, 200}},
                      PositionCase{quarter_turn, 0, 31, {110, 209.375}},
                      PositionCase{quarter_turn, 31, 31, {90.625, 209.375}},
                      PositionCase{thirty_degrees, 0, 0, {239.15321, 97.90321}},
                      PositionCase{thirty_degrees, 0, 31, {291.16886, 127.93446}},
                      PositionCase{thirty_degrees, 31, 0, {209.12196, 149.91886}},
                      PositionCase{thirty_degrees, 7, 20, {265.93045, 129.02368}}));

struct RadiusCase {
  float size;
  double expected;
};

void PrintTo(const RadiusCase& c, std::ostream* os) { *os << "size " << c.size; }

class PatchRadius : public ::testing::TestWithParam<RadiusCase> {};

TEST_P(PatchRadius, IsWholePixelsCappedAtTheDiagonal) {
  for (const float angle : {0.0f, 137.0f, 270.0f}) {
    SCOPED_TRACE(angle);
    const cv::KeyPoint keypoint(1000, 500, GetParam().size, angle);
    EXPECT_NEAR(patch_radius(PatchExtractor(), keypoint, {2048, 1024}), GetParam().expected, 1e-3);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PatchRadius,
                         ::testing::Values(RadiusCase{0.1f, 0}, RadiusCase{1.0f, 5},
                                           RadiusCase{2.0f, 10}, RadiusCase{3.7f, 19},
                                           RadiusCase{10.0f, 53}, RadiusCase{431.0f, 2285},
                                           RadiusCase{432.0f, 2289.7336}));

// Degrees are turned into radians with pi rounded to float, which leaves a
// small turn at angle 0; patches must agree with data made that way.
TEST(AngleConversion, UsesPiRoundedToFloat) {
  const double float_pi = static_cast<float>(CV_PI);
  const cv::Mat t =
      PatchExtractor().make_keypoint_transform(cv::KeyPoint(1000, 500, 10.0f, 0.0f), 2048, 1024);
  EXPECT_NEAR(t.at<float>(1, 0), 53 * std::sin(2 * float_pi), 1e-9);
}

TEST(PatchRotation, PatchTurnsCounterClockwiseAsTheAngleGrows) {
  // Blobs of different brightness right of and below the keypoint make the
  // turning direction unambiguous.
  cv::Mat image(400, 400, CV_8UC1, cv::Scalar(60));
  cv::circle(image, {210, 194}, 4, cv::Scalar(220), cv::FILLED);
  cv::circle(image, {196, 209}, 5, cv::Scalar(140), cv::FILLED);
  cv::GaussianBlur(image, image, cv::Size(0, 0), 2.0);
  const PatchExtractor extractor;
  const cv::Mat upright = extract_one(extractor, image, cv::KeyPoint(200, 200, 4.0f, 0.0f));
  const cv::Mat turned = extract_one(extractor, image, cv::KeyPoint(200, 200, 4.0f, 90.0f));

  // Offsets run from -1 to 1 - 2/N, so the turned patch sits one row lower.
  cv::Mat counter_clockwise;
  cv::Mat clockwise;
  cv::rotate(upright, counter_clockwise, cv::ROTATE_90_COUNTERCLOCKWISE);
  cv::rotate(upright, clockwise, cv::ROTATE_90_CLOCKWISE);
  const cv::Mat shifted = turned.rowRange(1, N);
  EXPECT_GT(correlation(shifted, counter_clockwise.rowRange(0, N - 1)), 0.9999);
  EXPECT_LT(correlation(shifted, clockwise.rowRange(0, N - 1)), 0.5);
}

struct GainCase {
  double gain;
  double offset;
};

void PrintTo(const GainCase& c, std::ostream* os) {
  *os << "gain " << c.gain << " offset " << c.offset;
}

class BrightnessChange : public ::testing::TestWithParam<GainCase> {};

TEST_P(BrightnessChange, LeavesPatchesUnchanged) {
  const cv::Mat image = textured_image({300, 200}, 20, 80);
  cv::Mat changed;
  image.convertTo(changed, CV_8U, GetParam().gain, GetParam().offset);
  const KeypointList keypoints = {{150.3f, 100.6f, 5.0f, 20.0f}, {10.0f, 190.0f, 12.0f, 250.0f}};
  const PatchExtractor extractor;
  PatchList original;
  PatchList adjusted;
  ASSERT_TRUE(extractor.extract_patches(image, keypoints, original));
  ASSERT_TRUE(extractor.extract_patches(changed, keypoints, adjusted));
  for (size_t k = 0; k < keypoints.size(); ++k)
    EXPECT_LT(cv::norm(original[k], adjusted[k], cv::NORM_INF), 1e-4) << "keypoint " << k;
}

INSTANTIATE_TEST_SUITE_P(GainsAndOffsets, BrightnessChange,
                         ::testing::Values(GainCase{1, 40}, GainCase{1, -20}, GainCase{2, 0},
                                           GainCase{3, -20}, GainCase{2, 50}));

TEST(PatchNormalisation, GivesZeroMeanAndUnitPopulationDeviation) {
  const cv::Mat image = textured_image({640, 480});
  cv::RNG rng(11);
  KeypointList keypoints;
  for (int i = 0; i < 40; ++i)
    keypoints.emplace_back(rng.uniform(0.0f, 640.0f), rng.uniform(0.0f, 480.0f),
                           rng.uniform(1.5f, 30.0f), rng.uniform(0.0f, 360.0f));
  PatchList patches;
  ASSERT_TRUE(PatchExtractor().extract_patches(image, keypoints, patches));
  for (const cv::Mat& patch : patches) {
    const double mean = cv::mean(patch)[0];
    const double deviation = cv::norm(patch - mean, cv::NORM_L2) / N;
    EXPECT_NEAR(mean, 0.0, 1e-5);
    EXPECT_NEAR(deviation, 1.0, 1e-4);
  }
}

struct UniformCase {
  const char* label;
  cv::Mat image;
  cv::KeyPoint keypoint;
};

void PrintTo(const UniformCase& c, std::ostream* os) { *os << c.label; }

class UniformPatch : public ::testing::TestWithParam<UniformCase> {};

TEST_P(UniformPatch, IsAllZeros) {
  const cv::Mat patch = extract_one(PatchExtractor(), GetParam().image, GetParam().keypoint);
  EXPECT_TRUE(cv::checkRange(patch));
  EXPECT_EQ(cv::countNonZero(patch), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UniformPatch,
    ::testing::Values(
        UniformCase{"FlatImage", cv::Mat(100, 100, CV_8UC1, cv::Scalar(77)), {50, 50, 8.0f, 45.0f}},
        UniformCase{"ZeroRadius", textured_image({100, 100}), {50.3f, 40.7f, 0.1f, 10.0f}},
        UniformCase{"FlatCorner", textured_image({100, 100}).setTo(200), {0, 0, 3.0f, 0.0f}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Extraction, FlatImageHasNoKeypointsAndNoPatches) {
  const PatchExtractor extractor;
  const cv::Mat flat(256, 256, CV_8UC1, cv::Scalar(128));
  KeypointList keypoints;
  EXPECT_FALSE(extractor.detect_keypoints(flat, keypoints));
  EXPECT_TRUE(keypoints.empty());

  PatchList patches(3, cv::Mat(4, 4, CV_8UC1, cv::Scalar(9)));
  const uchar* before = patches[0].data;
  EXPECT_FALSE(extractor.extract_patches(flat, keypoints, patches));
  ASSERT_EQ(patches.size(), 3u);
  EXPECT_EQ(patches[0].data, before);
}

TEST(Detection, ListsKeypointsLargestFirst) {
  const PatchExtractor extractor;
  KeypointList keypoints;
  ASSERT_TRUE(extractor.detect_keypoints(textured_image({512, 384}), keypoints));
  EXPECT_GT(keypoints.size(), 10u);
  EXPECT_TRUE(
      std::is_sorted(keypoints.begin(), keypoints.end(),
                     [](const cv::KeyPoint& a, const cv::KeyPoint& b) { return a.size > b.size; }));
  EXPECT_GT(keypoints.front().size, keypoints.back().size);
}

struct OptionCase {
  const char* label;
  void (*change)(ExtractionOptions&);
  const char* fault;  // start of check()'s answer; empty when usable
};
void PrintTo(const OptionCase& c, std::ostream* os) { *os << c.label; }

class Options : public ::testing::TestWithParam<OptionCase> {};

// Options are checked once, when the extractor is made, and name the culprit.
TEST_P(Options, OutOfRangeAreRefusedByName) {
  ExtractionOptions options;
  GetParam().change(options);
  EXPECT_THAT(options.check(), ::testing::StartsWith(GetParam().fault));
  if (*GetParam().fault == '\0') {
    EXPECT_EQ(options.check(), "");
    EXPECT_NO_THROW(PatchExtractor{options});
  } else {
    EXPECT_THROW(PatchExtractor{options}, std::invalid_argument);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Options,
    ::testing::Values(OptionCase{"Defaults", [](ExtractionOptions&) {}, ""},
                      OptionCase{"NoCapIsMinusOne", [](ExtractionOptions& o) { o.sift_features = -2; }, "sift_features"},
                      OptionCase{"NoLayers", [](ExtractionOptions& o) { o.sift_octave_layers = 0; }, "sift_octave_layers"},
                      OptionCase{"NanContrast", [](ExtractionOptions& o) { o.sift_contrast_threshold = std::nan(""); },
                                 "sift_contrast_threshold"},
                      OptionCase{"ZeroEdge", [](ExtractionOptions& o) { o.sift_edge_threshold = 0; }, "sift_edge_threshold"},
                      OptionCase{"NegativeSigma", [](ExtractionOptions& o) { o.sift_sigma = -1.6; }, "sift_sigma"},
                      OptionCase{"EmptyPatch", [](ExtractionOptions& o) { o.patch_size = 0; }, "patch_size"}),
    [](const auto& info) { return std::string(info.param.label); });

class PatchListSize : public ::testing::TestWithParam<size_t> {};

TEST_P(PatchListSize, BecomesOneContinuousPatchPerKeypoint) {
  const KeypointList keypoints = {
      {20, 20, 3, 0}, {40, 30, 5, 90}, {60, 10, 2, 180}, {70, 70, 9, 45}, {5, 75, 4, 300}};
  PatchList patches(GetParam(), cv::Mat(8, 8, CV_8UC1, cv::Scalar(1)));
  ASSERT_TRUE(PatchExtractor().extract_patches(textured_image({80, 80}), keypoints, patches));
  ASSERT_EQ(patches.size(), keypoints.size());
  std::set<const uchar*> buffers;
  for (const cv::Mat& patch : patches) {
    EXPECT_EQ(patch.size(), cv::Size(N, N));
    EXPECT_EQ(patch.type(), CV_32FC1);
    EXPECT_TRUE(patch.isContinuous());
    buffers.insert(patch.data);
  }
  EXPECT_EQ(buffers.size(), keypoints.size());
}

INSTANTIATE_TEST_SUITE_P(SizesBefore, PatchListSize, ::testing::Values(0u, 3u, 5u, 40u));

// Reference sampler, written apart from the extractor: remap resolves each
// position to 1/32 pixel, then interpolates bilinearly between the four
// neighbours, clamping them to the image.
float bilinear_sample(const cv::Mat& image, float x, float y) {
  const int qx = cvRound(x * 32);
  const int qy = cvRound(y * 32);
  const int x0 = static_cast<int>(std::floor(qx / 32.0));
  const int y0 = static_cast<int>(std::floor(qy / 32.0));
  const float fx = (qx - 32 * x0) / 32.0f;
  const float fy = (qy - 32 * y0) / 32.0f;
  const auto at = [&image](int r, int c) {
    return static_cast<float>(
        image.at<uchar>(std::clamp(r, 0, image.rows - 1), std::clamp(c, 0, image.cols - 1)));
  };
  return at(y0, x0) * (1 - fx) * (1 - fy) + at(y0, x0 + 1) * fx * (1 - fy) +
         at(y0 + 1, x0) * (1 - fx) * fy + at(y0 + 1, x0 + 1) * fx * fy;
}

cv::Mat reference_patch(const cv::Mat& image, const cv::KeyPoint& keypoint, float a, float b) {
  cv::Mat patch(N, N, CV_64F);
  for (int r = 0; r < N; ++r) {
    for (int m = 0; m < N; ++m) {
      const float gx = 2.0f * m / N - 1.0f;
      const float gy = 2.0f * r / N - 1.0f;
      const float x = gx * a + gy * b + keypoint.pt.x;
      const float y = gx * -b + gy * a + keypoint.pt.y;
      patch.at<double>(r, m) = bilinear_sample(image, x, y);
    }
  }
  const double mean = cv::mean(patch)[0];
  const double deviation = cv::norm(patch - mean, cv::NORM_L2) / N;
  return (patch - mean) / deviation;
}

TEST(PatchValues, MatchDirectBilinearSampling) {
  const cv::Mat image = textured_image({400, 300});
  const KeypointList keypoints = {{300.3f, 200.7f, 3.1f, 33.3f}, {50.2f, 60.9f, 7.5f, 251.0f},
                                  {3.5f, 5.25f, 6.0f, 120.0f},   {390.0f, 10.0f, 20.0f, 300.0f},
                                  {200.0f, 150.0f, 0.3f, 10.0f}, {123.4f, 234.5f, 45.0f, 0.0f},
                                  {399.0f, 299.0f, 2.0f, 179.5f}};
  const PatchExtractor extractor;
  PatchList patches;
  ASSERT_TRUE(extractor.extract_patches(image, keypoints, patches));
  for (size_t k = 0; k < keypoints.size(); ++k) {
    SCOPED_TRACE(k);
    const cv::Mat t = extractor.make_keypoint_transform(keypoints[k], image.cols, image.rows);
    const cv::Mat expected =
        reference_patch(image, keypoints[k], t.at<float>(0, 0), t.at<float>(1, 0));
    cv::Mat actual;
    patches[k].convertTo(actual, CV_64F);
    EXPECT_LT(cv::norm(actual, expected, cv::NORM_INF), 1e-4);
  }
}

}  // namespace

}  // namespace lf
