#include "inference/tensorflow_network.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace lf {

namespace {

std::string model_path(const std::string& name) { return std::string(LF_FIXTURE_DIR) + "/models/" + name; }

// One aligned batch; patch k holds values that tell it apart from every other
// patch and position.
struct Batch {
  struct Free {
    void operator()(float* data) const noexcept { std::free(data); }
  };
  explicit Batch(float offset = 0.0f)
      : data(static_cast<float*>(std::aligned_alloc(network_input_alignment, 1024 * patch_floats * sizeof(float)))) {
    for (std::size_t k = 0; k < 1024; ++k)
      for (std::size_t i = 0; i < patch_floats; ++i)
        data.get()[k * patch_floats + i] = offset + static_cast<float>(k) + static_cast<float>(i) * 1e-3f;
  }
  std::unique_ptr<float[], Free> data;
};

struct LoadFailure {
  std::string model;
  std::string reason;
};

// Short test names in CTest.
void PrintTo(const LoadFailure& failure, std::ostream* os) { *os << failure.model; }

class ModelLoadFailures : public ::testing::TestWithParam<LoadFailure> {};

TEST_P(ModelLoadFailures, GiveOneLineOfReason) {
  const TensorFlowLoad load = load_tensorflow_network(model_path(GetParam().model));
  EXPECT_EQ(load.network, nullptr);
  EXPECT_THAT(load.reason, ::testing::HasSubstr(GetParam().reason));
  EXPECT_EQ(load.reason.find('\n'), std::string::npos) << load.reason;
}

INSTANTIATE_TEST_SUITE_P(
    Models, ModelLoadFailures,
    ::testing::Values(
        LoadFailure{"not_a_model", "Could not find SavedModel"},
        LoadFailure{"does_not_exist", "Could not find SavedModel"},
        LoadFailure{"wrong_tag", "serve"},
        LoadFailure{"missing_output", "the saved model has no operation \"StatefulPartitionedCall_1\""},
        LoadFailure{"missing_input", "the saved model has no operation \"local_model_inputs\""},
        LoadFailure{"wrong_shape",
                    "the model's output \"StatefulPartitionedCall_1\" is float [1024, 64], expected float [1024, 128]"},
        LoadFailure{"wrong_type",
                    "the model's output \"StatefulPartitionedCall_1\" is double [1024, 128], expected float [1024, 128]"},
        LoadFailure{"failing_run", "the model cannot run: You must feed a value for placeholder tensor 'unfed_input'"},
        LoadFailure{"no_variables", "the model cannot run: Could not find variable scale"},
        LoadFailure{"output_without_input", "TensorFlow failed inside its load call"}));

TEST(TensorFlowNetwork, TrailingSeparatorIsPassedThrough) {
  const TensorFlowLoad load = load_tensorflow_network(model_path("valid/"));
  EXPECT_NE(load.network, nullptr) << load.reason;
  EXPECT_EQ(load.device, "");
}

// The "valid" model returns the first 128 values of each patch.
TEST(TensorFlowNetwork, RowBDescribesPatchB) {
  const TensorFlowLoad load = load_tensorflow_network(model_path("valid"));
  ASSERT_NE(load.network, nullptr) << load.reason;
  EXPECT_EQ(load.network->batch_size(), 1024);
  EXPECT_EQ(load.network->descriptor_length(), 128);
  const Batch batch;
  std::vector<float> rows(1024 * 128);
  NetworkFailure failure;
  ASSERT_TRUE(load.network->run(batch.data.get(), rows.data(), failure)) << failure.reason;
  for (std::size_t k = 0; k < 1024; ++k) {
    const float* patch = batch.data.get() + k * patch_floats;
    ASSERT_TRUE(std::equal(patch, patch + 128, rows.data() + k * 128)) << "row " << k;
  }
}

TEST(TensorFlowNetwork, FailedRunGivesTheStatusCodeAndOneLineOfReason) {
  const TensorFlowLoad load = load_tensorflow_network(model_path("fails_on_large_input"));
  ASSERT_NE(load.network, nullptr) << load.reason;
  const Batch batch(100.0f);
  std::vector<float> rows(1024 * 128);
  NetworkFailure failure;
  EXPECT_FALSE(load.network->run(batch.data.get(), rows.data(), failure));
  EXPECT_EQ(failure.code, 3);
  EXPECT_THAT(failure.reason, ::testing::MatchesRegex("[^\n]*values_below_8[^\n]*"));
}

TEST(TensorFlowNetwork, SessionConfigAllowsGrowth) {
  EXPECT_THAT(tensorflow_session_config, ::testing::ElementsAre(0x32, 0x02, 0x20, 0x01));
}

}  // namespace

}  // namespace lf
