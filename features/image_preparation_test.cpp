#include "features/image_preparation.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

CaptureRecord capture(const std::string& first, const std::string& second = "") {
  CaptureRecord record;
  record.raw1_image = first;
  record.raw2_image = second;
  record.has_raw2_image = !second.empty();
  record.uuid = "capture-7";
  return record;
}

// Each test gets its own folder under the system's temporary folder.
class PrepareCaptureImage : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("features_") + info->test_suite_name() + "_" + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    folder_ = fs::temp_directory_path() / name;
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "raw");
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string data_path() const { return folder_.string(); }
  void write_image(const std::string& name, const cv::Mat& image) const {
    ASSERT_TRUE(cv::imwrite((folder_ / name).string(), image));
  }
  void write_grey(const std::string& name, cv::Size size, int value) const {
    write_image(name, cv::Mat(size, CV_8UC1, cv::Scalar(value)));
  }

  fs::path folder_;
};

struct SizeCase {
  cv::Size input;
  cv::Size expected;
};
void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.input; }

class PreparedSize : public PrepareCaptureImage, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(PreparedSize, OnlyImagesOfAnotherWidthAreBroughtTo2048x1024) {
  write_grey("raw/a.png", GetParam().input, 90);
  std::ostringstream err;
  const cv::Mat image = prepare_capture_image(data_path(), capture("raw/a.png"), err);
  EXPECT_EQ(image.size(), GetParam().expected);
  EXPECT_EQ(image.type(), CV_8UC1);
  EXPECT_EQ(cv::countNonZero(image != 90), 0);
  EXPECT_EQ(err.str(), "");
}

INSTANTIATE_TEST_SUITE_P(Sizes, PreparedSize,
                         ::testing::Values(SizeCase{{2048, 1024}, {2048, 1024}},
                                           SizeCase{{2048, 1536}, {2048, 1536}},
                                           SizeCase{{4096, 2048}, {2048, 1024}},
                                           SizeCase{{1000, 500}, {2048, 1024}},
                                           SizeCase{{2047, 3000}, {2048, 1024}}));

TEST_F(PrepareCaptureImage, ColourImageIsReadAsLuma) {
  write_image("red.png", cv::Mat(1024, 2048, CV_8UC3, cv::Scalar(0, 0, 255)));
  const cv::Mat image = prepare_capture_image(data_path(), capture("red.png"));
  ASSERT_EQ(image.type(), CV_8UC1);
  EXPECT_NEAR(cv::mean(image)[0], 0.299 * 255, 1.0);
}

struct PairCase {
  int first;
  int second;
  int average;
};
void PrintTo(const PairCase& c, std::ostream* os) { *os << c.first << " and " << c.second; }

class PairAverage : public PrepareCaptureImage, public ::testing::WithParamInterface<PairCase> {};

TEST_P(PairAverage, IsThePixelMeanAfterResizingBoth) {
  write_grey("raw/one.png", {1000, 500}, GetParam().first);
  write_grey("raw/two.png", {4096, 2048}, GetParam().second);
  std::ostringstream err;
  const cv::Mat image =
      prepare_capture_image(data_path(), capture("raw/one.png", "raw/two.png"), err);
  ASSERT_EQ(image.size(), cv::Size(2048, 1024));
  EXPECT_EQ(image.type(), CV_8UC1);
  EXPECT_EQ(cv::countNonZero(image != GetParam().average), 0);
  EXPECT_EQ(err.str(), "");
}

INSTANTIATE_TEST_SUITE_P(Values, PairAverage,
                         ::testing::Values(PairCase{10, 20, 15}, PairCase{255, 255, 255},
                                           PairCase{0, 0, 0}, PairCase{200, 0, 100}));

// first.png is a valid 2048x1024 image unless corrupt; second.png is written
// at second_size unless that is empty.
struct FailureCase {
  const char* label;
  bool corrupt_first;
  cv::Size second_size;
  const char* raw1;
  const char* raw2;                // empty for a one-image capture
  std::vector<std::string> files;  // named in the message as joined to the data path
  std::string detail;
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.label; }

class PreparationFailure : public PrepareCaptureImage,
                           public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PreparationFailure, GivesEmptyImageAndOneErrorLine) {
  const FailureCase& c = GetParam();
  if (c.corrupt_first)
    std::ofstream(folder_ / "first.png", std::ios::binary) << "this is no image";
  else
    write_grey("first.png", {2048, 1024}, 40);
  if (!c.second_size.empty()) write_grey("second.png", c.second_size, 60);

  std::ostringstream err;
  EXPECT_TRUE(prepare_capture_image(data_path(), capture(c.raw1, c.raw2), err).empty());
  const std::string message = err.str();
  EXPECT_THAT(message, StartsWith("Error: "));
  EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1);
  EXPECT_EQ(message.back(), '\n');
  EXPECT_THAT(message, HasSubstr("capture-7"));
  EXPECT_THAT(message, HasSubstr(c.detail));
  for (const std::string& name : c.files)
    EXPECT_THAT(message, HasSubstr(data_path() + "\\" + name));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PreparationFailure,
    ::testing::Values(
        FailureCase{"MissingSingle", false, {}, "none.png", "", {"none.png"}, ""},
        FailureCase{"CorruptSingle", true, {}, "first.png", "", {"first.png"}, ""},
        FailureCase{
            "CorruptFirstOfPair", true, {2048, 1024}, "first.png", "second.png", {"first.png"}, ""},
        FailureCase{
            "MissingSecondOfPair", false, {}, "first.png", "second.png", {"second.png"}, ""},
        FailureCase{"PairSizesDiffer",
                    false,
                    {2048, 1536},
                    "first.png",
                    "second.png",
                    {"first.png", "second.png"},
                    "(2048x1024 and 2048x1536)"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
