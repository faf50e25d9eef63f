#include "features/image_preparation.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

// libjpeg's header needs size_t and FILE declared first.
#include <jpeglib.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/test_support.h"
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace lf {

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
  void SetUp() override { fs::create_directories(folder_ / "raw"); }

  std::string data_path() const { return folder_.string(); }
  void write_image(const std::string& name, const cv::Mat& image) const {
    ASSERT_TRUE(cv::imwrite((folder_ / name).string(), image));
  }
  void write_grey(const std::string& name, cv::Size size, int value) const {
    write_image(name, cv::Mat(size, CV_8UC1, cv::Scalar(value)));
  }

  const TemporaryFolder temporary_{"lf_features_"};
  const fs::path folder_ = temporary_.path();
};

struct SizeCase {
  cv::Size input;
  cv::Size expected;
};
void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.input; }

class PreparedSize : public PrepareCaptureImage, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(PreparedSize, OnlyImagesOfAnotherWidthAreBroughtTo2048x1024) {
  write_grey("raw/a.png", GetParam().input, 90);
  ImageFault fault;
  const cv::Mat image = prepare_capture_image(data_path(), capture("raw/a.png"), fault);
  EXPECT_EQ(image.size(), GetParam().expected);
  EXPECT_EQ(image.type(), CV_8UC1);
  EXPECT_EQ(cv::countNonZero(image != 90), 0);
  EXPECT_FALSE(fault);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PreparedSize,
                         ::testing::Values(SizeCase{{2048, 1024}, {2048, 1024}},
                                           SizeCase{{2048, 1536}, {2048, 1536}},
                                           SizeCase{{4096, 2048}, {2048, 1024}},
                                           SizeCase{{1000, 500}, {2048, 1024}},
                                           SizeCase{{2047, 3000}, {2048, 1024}}));

TEST_F(PrepareCaptureImage, ColourImageIsReadAsLuma) {
  write_image("red.png", cv::Mat(1024, 2048, CV_8UC3, cv::Scalar(0, 0, 255)));
  ImageFault fault;
  const cv::Mat image = prepare_capture_image(data_path(), capture("red.png"), fault);
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
  ImageFault fault;
  const cv::Mat image =
      prepare_capture_image(data_path(), capture("raw/one.png", "raw/two.png"), fault);
  ASSERT_EQ(image.size(), cv::Size(2048, 1024));
  EXPECT_EQ(image.type(), CV_8UC1);
  EXPECT_EQ(cv::countNonZero(image != GetParam().average), 0);
  EXPECT_FALSE(fault);
}

INSTANTIATE_TEST_SUITE_P(Values, PairAverage,
                         ::testing::Values(PairCase{10, 20, 15}, PairCase{255, 255, 255},
                                           PairCase{0, 0, 0}, PairCase{200, 0, 100}));

// What the first raw image holds.
enum class First { valid, corrupt, cut_jpeg, too_tall };

// A real photograph-like JPEG: noise smoothed into texture.
std::vector<uchar> textured_jpeg() {
  cv::Mat noise(128, 256, CV_8UC1);
  cv::RNG(5).fill(noise, cv::RNG::UNIFORM, 0, 256);
  cv::Mat image;
  cv::resize(noise, image, cv::Size(2048, 1024), 0, 0, cv::INTER_CUBIC);
  std::vector<uchar> bytes;
  cv::imencode(".jpg", image, bytes);
  return bytes;
}

void write_bytes(const fs::path& path, const std::vector<uchar>& bytes, std::size_t count) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(count));
}

// first.png (first.jpg when cut) is a valid 2048x1024 image unless First says
// otherwise; second.png is written at second_size unless that is empty.
struct FailureCase {
  const char* label;
  First first;
  cv::Size second_size;
  const char* raw1;
  const char* raw2;                // empty for a one-image capture
  ImageFault::Kind kind;
  std::vector<std::string> files;  // the fault's paths, as joined to the data path
  std::string detail;              // in the fault's detail
  cv::Size size;                   // too tall, or the first of a pair that differs
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.label; }

class PreparationFailure : public PrepareCaptureImage,
                           public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PreparationFailure, GivesEmptyImageAndSaysWhy) {
  const FailureCase& c = GetParam();
  switch (c.first) {
    case First::valid: write_grey("first.png", {2048, 1024}, 40); break;
    case First::corrupt: std::ofstream(folder_ / "first.png", std::ios::binary) << "this is no image"; break;
    case First::cut_jpeg: {
      const std::vector<uchar> jpeg = textured_jpeg();
      write_bytes(folder_ / "first.jpg", jpeg, jpeg.size() / 3);
      break;
    }
    case First::too_tall: write_grey("first.png", {2048, max_prepared_height + 1}, 40); break;
  }
  if (!c.second_size.empty()) write_grey("second.png", c.second_size, 60);

  ImageFault fault;
  EXPECT_TRUE(prepare_capture_image(data_path(), capture(c.raw1, c.raw2), fault).empty());
  EXPECT_EQ(fault.kind, c.kind);
  EXPECT_EQ(fault.uuid, "capture-7");
  EXPECT_THAT(fault.detail, HasSubstr(c.detail));
  EXPECT_EQ(fault.size, c.size);
  std::vector<std::string> paths{fault.path};
  if (!fault.other_path.empty()) paths.push_back(fault.other_path);
  std::vector<std::string> expected;
  for (const std::string& name : c.files) expected.push_back(data_path() + "\\" + name);
  EXPECT_EQ(paths, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PreparationFailure,
    ::testing::Values(
        FailureCase{"MissingSingle", First::valid, {}, "none.png", "", ImageFault::Kind::unreadable, {"none.png"}, "", {}},
        FailureCase{
            "CorruptSingle", First::corrupt, {}, "first.png", "", ImageFault::Kind::unreadable, {"first.png"}, "", {}},
        FailureCase{"CorruptFirstOfPair", First::corrupt, {2048, 1024}, "first.png", "second.png",
                    ImageFault::Kind::unreadable, {"first.png"}, "", {}},
        FailureCase{"MissingSecondOfPair", First::valid, {}, "first.png", "second.png", ImageFault::Kind::unreadable,
                    {"second.png"}, "", {}},
        FailureCase{"CutJpeg", First::cut_jpeg, {}, "first.jpg", "", ImageFault::Kind::damaged, {"first.jpg"},
                    "Premature end of JPEG file", {}},
        FailureCase{"TooTall", First::too_tall, {}, "first.png", "", ImageFault::Kind::too_tall, {"first.png"}, "",
                    {2048, 8193}},
        FailureCase{"PairSizesDiffer", First::valid, {2048, 1536}, "first.png", "second.png",
                    ImageFault::Kind::sizes_differ, {"first.png", "second.png"}, "", {2048, 1024}}),
    [](const auto& info) { return std::string(info.param.label); });

// Some cameras write data after the end marker; the image is whole.
TEST_F(PrepareCaptureImage, JpegWithBytesAfterItsEndStillReads) {
  std::vector<uchar> jpeg = textured_jpeg();
  write_bytes(folder_ / "clean.jpg", jpeg, jpeg.size());
  for (const std::string trailer : {"camera maker notes", "\xFF\xD8\xFF\xE1 a thumbnail"})
    jpeg.insert(jpeg.end(), trailer.begin(), trailer.end());
  write_bytes(folder_ / "trailed.jpg", jpeg, jpeg.size());
  ImageFault fault;
  const cv::Mat trailed = prepare_capture_image(data_path(), capture("trailed.jpg"), fault);
  EXPECT_FALSE(fault);
  const cv::Mat clean = prepare_capture_image(data_path(), capture("clean.jpg"), fault);
  ASSERT_EQ(trailed.size(), clean.size());
  EXPECT_EQ(cv::norm(trailed, clean, cv::NORM_INF), 0.0);
}

// A 4-component JPEG as print workflows write it: an Adobe marker and CMYK
// or YCCK data.
std::vector<uchar> four_component_jpeg(J_COLOR_SPACE stored) {
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = 512;
  info.image_height = 256;
  info.input_components = 4;
  info.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&info);
  jpeg_set_colorspace(&info, stored);
  jpeg_start_compress(&info, TRUE);
  std::vector<JSAMPLE> row(info.image_width * 4);
  while (info.next_scanline < info.image_height) {
    for (std::size_t i = 0; i < row.size(); ++i)
      row[i] = static_cast<JSAMPLE>((i * 7 + info.next_scanline * 3) % 256);
    JSAMPROW rows[] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::vector<uchar> bytes(buffer, buffer + size);
  std::free(buffer);
  return bytes;
}

// The textured JPEG with Ss, Se, Ah and Al of its scan header all zero, as
// some cameras write baseline files.
std::vector<uchar> zero_scan_parameters_jpeg() {
  std::vector<uchar> jpeg = textured_jpeg();
  const uchar sos[] = {0xFF, 0xDA};
  const auto marker = std::search(jpeg.begin(), jpeg.end(), std::begin(sos), std::end(sos));
  const std::size_t parameters = static_cast<std::size_t>(marker - jpeg.begin()) + 5 + 2 * marker[4];
  jpeg[parameters] = jpeg[parameters + 1] = jpeg[parameters + 2] = 0;
  return jpeg;
}

// The textured JPEG with bytes between its last scan and its end marker.
std::vector<uchar> bytes_before_end_jpeg() {
  std::vector<uchar> jpeg = textured_jpeg();
  const uchar junk[] = {0x12, 0x34, 0x56, 0x78};
  jpeg.insert(jpeg.end() - 2, std::begin(junk), std::end(junk));
  return jpeg;
}

struct JpegCase {
  const char* label;
  std::function<std::vector<uchar>()> make;
  std::string damage;     // empty: the file is sound and reads
  bool same_as_textured;  // reads to the same pixels as textured_jpeg()
};
void PrintTo(const JpegCase& c, std::ostream* os) { *os << c.label; }

class JpegDamageVerdict : public PrepareCaptureImage, public ::testing::WithParamInterface<JpegCase> {};

TEST_P(JpegDamageVerdict, OnlyCorruptDataIsRefused) {
  const JpegCase& c = GetParam();
  const std::vector<uchar> jpeg = c.make();
  write_bytes(folder_ / "case.jpg", jpeg, jpeg.size());
  ImageFault fault;
  ::testing::internal::CaptureStderr();
  const cv::Mat image = prepare_capture_image(data_path(), capture("case.jpg"), fault);
  // Nothing from the decoders reaches the process's standard error.
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  if (!c.damage.empty()) {
    EXPECT_TRUE(image.empty());
    EXPECT_EQ(fault.kind, ImageFault::Kind::damaged);
    EXPECT_THAT(fault.detail, StartsWith("Corrupt JPEG data: "));
    EXPECT_THAT(fault.detail, HasSubstr(c.damage));
    return;
  }
  EXPECT_FALSE(fault);
  ASSERT_FALSE(image.empty());
  if (!c.same_as_textured) return;
  const std::vector<uchar> reference = textured_jpeg();
  write_bytes(folder_ / "reference.jpg", reference, reference.size());
  const cv::Mat expected = prepare_capture_image(data_path(), capture("reference.jpg"), fault);
  ASSERT_EQ(image.size(), expected.size());
  EXPECT_EQ(cv::norm(image, expected, cv::NORM_INF), 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, JpegDamageVerdict,
    ::testing::Values(
        JpegCase{"AdobeCmyk", [] { return four_component_jpeg(JCS_CMYK); }, "", false},
        JpegCase{"AdobeYcck", [] { return four_component_jpeg(JCS_YCCK); }, "", false},
        JpegCase{"ZeroScanParameters", zero_scan_parameters_jpeg, "", true},
        JpegCase{"BytesBeforeEndMarker", bytes_before_end_jpeg, "extraneous bytes before marker 0xd9", false}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace

}  // namespace lf
