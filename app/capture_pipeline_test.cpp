// The per-capture pipeline with a fake network whose row b is the first 128
// values of patch b, so that every row in a descriptor file shows which patch
// it was computed from.

#include "app/capture_pipeline.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "inference/fake_network.h"
#include "app/test_images.h"
#include "platform/test_support.h"

namespace lf {
namespace {

// Images by capture name: "large" needs two batches and leaves a tail, the
// small ones fit together into one; "flat" has no keypoints; "missing" has
// no image at all.
class Captures : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TemporaryFolder("lf_pipeline_");
    std::filesystem::create_directories(folder_->path() + "/raw");
    const std::map<std::string, cv::Mat> images{{"large", textured_image(2048, 1024, 5)},
                                                {"small", textured_image(512, 256, 1)},
                                                {"other", textured_image(640, 320, 2)},
                                                {"tiny", textured_image(256, 128, 3)},
                                                {"flat", cv::Mat(300, 600, CV_8UC1, cv::Scalar(90))}};
    for (const auto& [name, image] : images) ASSERT_TRUE(cv::imwrite(folder_->path() + "/raw/" + name + ".png", image));
  }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }

  struct Run {
    bool finished = false;
    RecordCounts counts;
    std::string console;  // standard output and error, as one stream sees them
    int network_runs = 0;
    std::map<std::string, std::string> files;
  };

  // One run over the named captures, into a matches folder of its own.
  static Run run(const std::vector<std::string>& names, std::size_t workers = 1, int fail_run = -1,
                 const std::vector<int>& non_finite_slots = {}, std::string matches = "") {
    static int count = 0;
    if (matches.empty()) {
      matches = folder_->path() + "/matches" + std::to_string(count++) + "/";
      std::filesystem::create_directories(matches);
    }
    Workspace workspace;
    workspace.data_path = folder_->path();
    workspace.matches_folder = matches;
    std::vector<CaptureRecord> records;
    for (const std::string& name : names) {
      CaptureRecord record;
      record.raw1_image = "raw/" + name + ".png";
      record.uuid = name;
      records.push_back(record);
    }
    FakeNetwork network;
    network.fail_run = fail_run;
    network.non_finite_slots = non_finite_slots;
    std::ostringstream console;
    Reporter reporter(console, console);
    Run result;
    PipelineSettings settings;
    settings.workers = workers;
    result.finished = run_captures(records, RunOptions{}, workspace, network, reporter, result.counts, settings);
    result.console = console.str();
    result.network_runs = network.runs;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(matches, error)) {
      const std::string name = entry.path().filename();
      if (name[0] != '.') result.files[name] = read_bytes(entry.path());
    }
    return result;
  }

  // A run of the one capture, kept for the whole suite.
  static const Run& run_alone(const std::string& name) {
    static std::map<std::string, Run> runs;
    if (runs.count(name) == 0) runs[name] = run({name});
    return runs.at(name);
  }

  static TemporaryFolder* folder_;
};

TemporaryFolder* Captures::folder_ = nullptr;

class SharedBatches : public Captures, public ::testing::WithParamInterface<std::vector<std::string>> {};

// Each capture's files equal those of a run of that capture alone, which pads
// its last batch; together only the run's last batch is padded, however many
// workers prepare them.
TEST_P(SharedBatches, GiveTheRowsOfSeparateBatches) {
  const std::vector<std::string>& names = GetParam();
  for (const std::size_t workers : {1, 3}) {
  const Run together = run(names, workers);
  ASSERT_TRUE(together.finished);
  std::size_t rows = 0;
  for (const std::string& name : names) {
    const Run& alone = run_alone(name);
    if (alone.files.count(name + ".desc") == 1) rows += (alone.files.at(name + ".desc").size() - 8) / 512;
    for (const auto& [file, bytes] : alone.files) {
      ASSERT_EQ(together.files.count(file), 1u) << file;
      EXPECT_TRUE(together.files.at(file) == bytes) << file << " differs from a run of " << name << " alone";
    }
  }
  EXPECT_EQ(together.network_runs, static_cast<int>((rows + 1023) / 1024));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Orders, SharedBatches,
    ::testing::Values(std::vector<std::string>{"small", "other", "tiny"},
                      std::vector<std::string>{"large", "small", "large", "tiny"},
                      std::vector<std::string>{"small", "flat", "missing", "tiny", "other", "large"},
                      std::vector<std::string>{"tiny", "large", "other", "flat"}),
    [](const auto& info) { return "Order" + std::to_string(info.index); });

// A capture that fails between two good ones: the same lines in the same
// order and the same files whether captures are prepared at their turn or
// ahead by one worker or several. Each good capture also warns once its pair is in place (a NaN in
// batch slot 1), after the last batch that the next captures' patches share,
// so a message of theirs shown early would come before that warning.
TEST_F(Captures, PreparingAheadKeepsTheOrderOfLinesAndFiles) {
  const std::vector<std::string> names{"small", "missing", "large", "flat", "other"};
  const Run ahead = run(names, 1, -1, {1});
  for (const std::size_t workers : {0, 2, 3, 8}) {
    const Run other = run(names, workers, -1, {1});
    EXPECT_EQ(other.console, ahead.console) << workers << " workers";
    EXPECT_EQ(other.files, ahead.files) << workers << " workers";
  }
  EXPECT_EQ(ahead.counts.processed, 4u);
  EXPECT_EQ(ahead.counts.failed, 1u);

  std::istringstream lines(ahead.console);
  std::vector<std::string> console;
  for (std::string line; std::getline(lines, line);) console.push_back(line);
  const std::vector<std::string> starts{"uuid : small", "keypoints: ", "Warning: capture small: ",
                                        "Error: cannot read image ", "uuid : large", "keypoints: ",
                                        "Warning: capture large: ", "Error : No keypoints detected.",
                                        "Error : No keypoints imported.", "uuid : flat", "keypoints: 0",
                                        "uuid : other", "keypoints: ", "Warning: capture other: "};
  ASSERT_EQ(console.size(), starts.size()) << ahead.console;
  for (std::size_t i = 0; i < starts.size(); ++i) EXPECT_THAT(console[i], ::testing::StartsWith(starts[i])) << i;
  EXPECT_THAT(console[3], ::testing::EndsWith("missing.png of capture missing"));
}

// A failed network run stops the run at the capture whose turn it is: nothing
// of the captures prepared after it shows, and none of its files stay.
TEST_F(Captures, FailedNetworkRunShowsNothingOfLaterCaptures) {
  for (const std::size_t workers : {0, 1, 3}) {
  SCOPED_TRACE(std::to_string(workers) + " workers");
  const Run failed = run({"small", "large", "missing", "flat"}, workers, 1);
  EXPECT_FALSE(failed.finished);
  std::istringstream lines(failed.console);
  std::vector<std::string> console;
  for (std::string line; std::getline(lines, line);) console.push_back(line);
  ASSERT_EQ(console.size(), 6u) << failed.console;
  EXPECT_EQ(console[2], "uuid : large");
  EXPECT_EQ(console[4], "TF_Error:3");
  EXPECT_EQ(console[5], "Error: the fake network was told to fail run 1");
  EXPECT_EQ(failed.files.count("large.feat"), 0u);
  EXPECT_EQ(failed.files.size(), 2u);  // small's pair
  }
}

// A pair that cannot be staged fails its capture with the path, and the run
// goes on with the next capture (a folder path that is a file fails for root too).
TEST_F(Captures, UnwritableMatchesFolderFailsEachCaptureWithThePath) {
  const std::string blocker = folder_->path() + "/blocker";
  std::ofstream(blocker) << "x";
  const Run blocked = run({"small", "tiny"}, 1, -1, {}, blocker + "/");
  EXPECT_TRUE(blocked.finished);
  EXPECT_EQ(blocked.counts.failed, 2u);
  EXPECT_THAT(blocked.console, ::testing::HasSubstr("uuid : small\n"));
  EXPECT_THAT(blocked.console, ::testing::HasSubstr("Error: cannot write result file " + blocker + "/small.feat: "));
  EXPECT_THAT(blocked.console, ::testing::HasSubstr("Error: cannot write result file " + blocker + "/tiny.feat: "));
}

// Rows are written as the model gives them; those holding NaN count in one
// warning after the pair is in place, spare slots of the last batch not.
TEST_F(Captures, NonFiniteRowsAreWrittenAndCountedInOneWarning) {
  const Run run_with_nan = run({"large"}, 1, -1, {1, 3, 900});
  ASSERT_TRUE(run_with_nan.finished);
  const std::size_t rows = (run_with_nan.files.at("large.desc").size() - 8) / 512;
  ASSERT_GT(rows % 1024, 3u);
  ASSERT_LT(rows % 1024, 900u) << "slot 900 of the last batch must be spare";
  const std::size_t expected = rows / 1024 * 3 + 2;
  EXPECT_THAT(run_with_nan.console, ::testing::EndsWith("Warning: capture large: " + std::to_string(expected) +
                                                        " descriptors hold NaN or infinity\n"));
  float value = 0;
  std::memcpy(&value, run_with_nan.files.at("large.desc").data() + 8 + 512 + 5 * 4, 4);
  EXPECT_TRUE(std::isnan(value));
  EXPECT_EQ(run_alone("large").console.find("Warning"), std::string::npos);
}

}  // namespace
}  // namespace lf
