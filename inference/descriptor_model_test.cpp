#include "inference/descriptor_model.h"

#include <cstdint>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace lf {

namespace {

std::string model_path(const std::string& name) { return std::string(LF_FIXTURE_DIR) + "/models/" + name; }

// Patch k holds values that tell it apart from every other patch and position.
PatchList numbered_patches(int count, float offset = 0.0f) {
  PatchList patches;
  for (int k = 0; k < count; ++k) {
    cv::Mat patch(32, 32, CV_32FC1);
    for (int i = 0; i < 1024; ++i) patch.at<float>(i) = offset + static_cast<float>(k) + i * 1e-3f;
    patches.push_back(patch);
  }
  return patches;
}

struct Collected {
  std::vector<std::vector<float>> rows;
  std::vector<std::size_t> block_sizes;
  DescriptorSink sink() {
    return [this](const float* data, std::size_t count) {
      block_sizes.push_back(count);
      for (std::size_t r = 0; r < count; ++r) rows.emplace_back(data + r * 128, data + (r + 1) * 128);
    };
  }
};

class LoadedModel : public ::testing::Test {
 protected:
  void load(const std::string& name) {
    std::ostringstream err;
    ASSERT_TRUE(model_.load(model_path(name), err)) << err.str();
    ASSERT_EQ(err.str(), "");
  }
  bool run(const PatchList& patches, Collected& collected) {
    return compute_descriptors(model_, patches, collected.sink(), out_, err_);
  }
  DescriptorModel model_;
  std::ostringstream out_;
  std::ostringstream err_;
};

struct LoadFailure {
  std::string model;
  std::string reason;  // the second line holds it
};

// Short test names in CTest.
void PrintTo(const LoadFailure& failure, std::ostream* os) { *os << failure.model; }

class ModelLoadFailures : public ::testing::TestWithParam<LoadFailure> {};

TEST_P(ModelLoadFailures, ReportTheLoadMessageAndOneLineOfReason) {
  DescriptorModel model;
  std::ostringstream err;
  EXPECT_FALSE(model.load(model_path(GetParam().model), err));
  const std::string first_line = "Error: loading saved_model failed.\n";
  ASSERT_EQ(err.str().rfind(first_line + "Error: ", 0), 0u) << err.str();
  const std::string second_line = err.str().substr(first_line.size());
  EXPECT_THAT(second_line, ::testing::HasSubstr(GetParam().reason));
  EXPECT_EQ(std::count(second_line.begin(), second_line.end(), '\n'), 1) << second_line;
  EXPECT_EQ(second_line.back(), '\n');
}

INSTANTIATE_TEST_SUITE_P(
    Models, ModelLoadFailures,
    ::testing::Values(
        LoadFailure{"not_a_model", "Could not find SavedModel"},
        LoadFailure{"does_not_exist", "Could not find SavedModel"},
        LoadFailure{"wrong_tag", "serve"},
        LoadFailure{"missing_output", "Error: the saved model has no operation \"StatefulPartitionedCall_1\"\n"},
        LoadFailure{"missing_input", "Error: the saved model has no operation \"local_model_inputs\"\n"},
        LoadFailure{"wrong_shape",
                    "Error: the model's output \"StatefulPartitionedCall_1\" is float [1024, 64], expected float [1024, 128]\n"},
        LoadFailure{"wrong_type",
                    "Error: the model's output \"StatefulPartitionedCall_1\" is double [1024, 128], expected float [1024, 128]\n"},
        LoadFailure{"failing_run", "Error: the model cannot run: You must feed a value for placeholder tensor 'unfed_input'"},
        LoadFailure{"no_variables", "Error: the model cannot run: Could not find variable scale"},
        LoadFailure{"output_without_input", "Error: TensorFlow failed inside its load call"}));

TEST_F(LoadedModel, ReadiesEndpointsAndAnAlignedBufferOfHalves) {
  load("valid");
  EXPECT_NE(model_.input.oper, nullptr);
  EXPECT_NE(model_.output.oper, nullptr);
  EXPECT_EQ(model_.input_dims, (std::array<std::int64_t, 4>{1024, 32, 32, 1}));
  const float* buffer = model_.input_buffer.get();
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer) % 64, 0u);
  EXPECT_EQ(std::count(buffer, buffer + 1024 * 1024, 0.5f), 1024 * 1024);
  EXPECT_THAT(DescriptorModel::session_config, ::testing::ElementsAre(0x32, 0x02, 0x20, 0x01));
}

TEST_F(LoadedModel, TrailingSeparatorIsPassedThrough) { load("valid/"); }

// The "valid" model returns the first 128 values of each patch, so every row
// shows which patch it came from.
class BatchedRows : public LoadedModel, public ::testing::WithParamInterface<int> {};

TEST_P(BatchedRows, ArriveInPatchOrderOneBlockPerBatch) {
  load("valid");
  const int n = GetParam();
  const PatchList patches = numbered_patches(n);
  Collected collected;
  ASSERT_TRUE(run(patches, collected));
  ASSERT_EQ(collected.rows.size(), static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) {
    const float* patch = patches[k].ptr<float>();
    ASSERT_EQ(collected.rows[k], std::vector<float>(patch, patch + 128)) << "row " << k;
  }
  std::vector<std::size_t> expected_blocks;
  for (int left = n; left > 0; left -= 1024) expected_blocks.push_back(std::min(left, 1024));
  EXPECT_EQ(collected.block_sizes, expected_blocks);
  EXPECT_EQ(out_.str(), "");
}

INSTANTIATE_TEST_SUITE_P(Counts, BatchedRows, ::testing::Values(0, 1, 1023, 1024, 1025, 2048, 2049));

TEST(BatchCount, RoundsUpToWholeBatches) {
  const std::vector<std::pair<std::size_t, int>> cases{{0, 0}, {1, 1}, {1024, 1}, {1025, 2}, {2048, 2}, {2049, 3}};
  for (const auto& [patches, batches] : cases) EXPECT_EQ(batch_count(patches), batches) << patches;
}

// Column 127 of the "batch_mean" model is the mean over all 1024 slots, which
// shows what the spare slots of a partial batch hold.
float mean_of_slots(const std::vector<float>& slot_values) {
  double sum = 0;
  for (float v : slot_values) sum += v;
  return static_cast<float>(sum / (1024.0 * 1024.0));
}

TEST_F(LoadedModel, SpareSlotsKeepHalvesThenEarlierPatches) {
  load("batch_mean");
  Collected first_image;
  ASSERT_TRUE(run(numbered_patches(1), first_image));
  std::vector<float> slots(1024 * 1024, 0.5f);
  const PatchList one = numbered_patches(1);
  std::copy(one[0].ptr<float>(), one[0].ptr<float>() + 1024, slots.begin());
  EXPECT_NEAR(first_image.rows.at(0)[127], mean_of_slots(slots), 1e-3);

  const PatchList full = numbered_patches(1024, 0.25f);
  Collected second_image;
  ASSERT_TRUE(run(full, second_image));
  const PatchList few = numbered_patches(3, -7.0f);
  Collected third_image;
  ASSERT_TRUE(run(few, third_image));
  ASSERT_EQ(third_image.rows.size(), 3u);
  for (int k = 0; k < 1024; ++k) {
    const float* source = (k < 3 ? few[k] : full[k]).ptr<float>();
    std::copy(source, source + 1024, slots.begin() + k * 1024);
  }
  EXPECT_NEAR(third_image.rows[0][127], mean_of_slots(slots), 1e-3);
  EXPECT_EQ(third_image.rows[2][0], few[2].at<float>(0));
}

TEST_F(LoadedModel, FailedRunReportsTheStatusCodeAndTheReasonAndStops) {
  load("fails_on_large_input");
  Collected collected;
  EXPECT_FALSE(run(numbered_patches(1500, 100.0f), collected));
  EXPECT_EQ(out_.str(), "TF_Error:3\n");
  EXPECT_THAT(err_.str(), ::testing::MatchesRegex("Error: [^\n]*values_below_8[^\n]*\n"));
  EXPECT_TRUE(collected.rows.empty());
}

TEST_F(LoadedModel, PatchesOfAnotherSideOrTypeAreRefusedBeforeAnyRun) {
  load("valid");
  for (const cv::Mat& odd : {cv::Mat(16, 16, CV_32FC1, cv::Scalar(1)), cv::Mat(32, 32, CV_8UC1, cv::Scalar(1)),
                             cv::Mat(32, 64, CV_32FC1, cv::Scalar(1)).colRange(0, 32)}) {
    PatchList patches = numbered_patches(3);
    patches[1] = odd;
    Collected collected;
    err_.str("");
    EXPECT_FALSE(run(patches, collected));
    EXPECT_TRUE(collected.rows.empty());
    EXPECT_THAT(err_.str(), ::testing::StartsWith("Error: patch 1 is "));
  }
}

TEST_F(LoadedModel, InputTensorWrapsTheBufferWithoutCopying) {
  load("valid");
  TFTensorPtr tensor(TF_NewTensor(TF_FLOAT, model_.input_dims.data(), 4, model_.input_buffer.get(),
                                  DescriptorModel::input_byte_length,
                                  [](void*, std::size_t, void*) {}, nullptr));
  EXPECT_EQ(TF_TensorData(tensor.get()), model_.input_buffer.get());
}

}  // namespace

}  // namespace lf
