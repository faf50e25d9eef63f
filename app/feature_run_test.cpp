// The driver called in process, as the program calls it.

#include "app/feature_run.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "platform/test_support.h"

namespace lf {
namespace {

// Swaps a process stream's buffer for a string while it lives.
class CapturedStream {
 public:
  explicit CapturedStream(std::ostream& stream) : stream_(stream), previous_(stream.rdbuf(text_.rdbuf())) {}
  ~CapturedStream() { stream_.rdbuf(previous_); }
  std::string text() const { return text_.str(); }

 private:
  std::ostream& stream_;
  std::ostringstream text_;
  std::streambuf* previous_;
};

// Every report of a run, per capture ones included, reaches the streams the
// driver was given and nothing reaches the process's own.
TEST(FeatureRun, WritesOnlyToTheStreamsItIsGiven) {
  const TemporaryFolder folder;
  const std::string ws = folder.path() + "/ws";
  std::filesystem::create_directories(ws + "/caches/images");
  std::filesystem::create_directories(ws + "/raw");
  ASSERT_TRUE(cv::imwrite(ws + "/raw/flat.png", cv::Mat(64, 64, CV_8UC1, cv::Scalar(90))));
  std::ofstream(ws + "/caches/images.json") << R"({"images": [
    {"raw1_image": "raw/flat.png", "raw2_image": "", "uuid": "flat"},
    {"raw1_image": "raw/missing.png", "raw2_image": "", "uuid": "missing"}]})";
  const std::string model = std::string(LF_FIXTURE_DIR) + "/models/valid";
  const char* argv[] = {"compute_features", model.c_str(), ws.c_str()};

  std::ostringstream out, err;
  int code = 0;
  std::string process_out, process_err, process_log;
  {
    const CapturedStream cout_capture(std::cout), cerr_capture(std::cerr), clog_capture(std::clog);
    code = run_features(3, argv, out, err);
    process_out = cout_capture.text();
    process_err = cerr_capture.text();
    process_log = clog_capture.text();
  }
  EXPECT_EQ(code, 1);
  EXPECT_EQ(process_out + process_err + process_log, "");
  EXPECT_THAT(out.str(), ::testing::StartsWith("Error : No keypoints detected.\nError : No keypoints imported.\nuuid : flat\n"));
  EXPECT_THAT(err.str(), ::testing::HasSubstr("Error: cannot read image"));
  EXPECT_THAT(err.str(), ::testing::HasSubstr("Error: 1 of 2 captures failed\n"));
}

}  // namespace
}  // namespace lf
