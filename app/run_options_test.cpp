#include "app/run_options.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct OptionCase {
  std::vector<const char*> extra;  // after "prog model data"
  bool accepted;
  std::string error;
  std::uint64_t index, count;
  bool skip_done;
  std::size_t workers = 0;
};

void PrintTo(const OptionCase& c, std::ostream* os) {
  for (const char* argument : c.extra) *os << argument << " ";
}

class Options : public ::testing::TestWithParam<OptionCase> {};

TEST_P(Options, AreParsedOrRefusedByName) {
  std::vector<const char*> argv{"prog", "model", "data"};
  argv.insert(argv.end(), GetParam().extra.begin(), GetParam().extra.end());
  lf::RunOptions options;
  std::string error;
  EXPECT_EQ(lf::parse_run_options(static_cast<int>(argv.size()), argv.data(), options, error), GetParam().accepted);
  EXPECT_EQ(error, GetParam().error);
  if (!GetParam().accepted) return;
  EXPECT_EQ(options.shard_index, GetParam().index);
  EXPECT_EQ(options.shard_count, GetParam().count);
  EXPECT_EQ(options.skip_done, GetParam().skip_done);
  EXPECT_EQ(options.workers, GetParam().workers);
  EXPECT_EQ(options.given, GetParam().count != 1 || GetParam().skip_done);
}

const std::string expects = "--shard expects K/N with 0 <= K < N, got ";
const std::string workers = "--workers expects a whole number from 1 to 64";

INSTANTIATE_TEST_SUITE_P(
    Table, Options,
    ::testing::Values(OptionCase{{}, true, "", 0, 1, false},
                      OptionCase{{"extra", "-x"}, true, "", 0, 1, false},
                      OptionCase{{"--shard", "2/5", "--skip-done"}, true, "", 2, 5, true},
                      OptionCase{{"--skip-done", "--shard=0/3"}, true, "", 0, 3, true},
                      OptionCase{{"--shard", "3/2"}, false, expects + "\"3/2\"", 0, 0, false},
                      OptionCase{{"--shard", "2/2"}, false, expects + "\"2/2\"", 0, 0, false},
                      OptionCase{{"--shard", "x"}, false, expects + "\"x\"", 0, 0, false},
                      OptionCase{{"--shard", "-1/2"}, false, expects + "\"-1/2\"", 0, 0, false},
                      OptionCase{{"--shard", "1/ 2"}, false, expects + "\"1/ 2\"", 0, 0, false},
                      OptionCase{{"--shard"}, false, "--shard expects K/N", 0, 0, false},
                      OptionCase{{"--skip-done", "--shards", "1/2"}, false, "unknown option --shards", 0, 0, false},
                      // --workers changes no output, so it alone gives no records line.
                      OptionCase{{"--workers", "2"}, true, "", 0, 1, false, 2},
                      OptionCase{{"--workers=64", "--skip-done"}, true, "", 0, 1, true, 64},
                      OptionCase{{"--workers", "0"}, false, workers + ", got \"0\"", 0, 0, false},
                      OptionCase{{"--workers", "65"}, false, workers + ", got \"65\"", 0, 0, false},
                      OptionCase{{"--workers=-1"}, false, workers + ", got \"-1\"", 0, 0, false},
                      OptionCase{{"--workers", "2x"}, false, workers + ", got \"2x\"", 0, 0, false},
                      OptionCase{{"--workers"}, false, workers, 0, 0, false}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

struct WorkersCase {
  unsigned cores;
  std::uint64_t memory_mib;
  std::size_t workers;
};

class DefaultWorkers : public ::testing::TestWithParam<WorkersCase> {};

// One per core, as many as half the available memory holds at 640 MiB each.
TEST_P(DefaultWorkers, FollowCoresAndMemory) {
  EXPECT_EQ(lf::default_workers(GetParam().cores, GetParam().memory_mib << 20), GetParam().workers);
}

INSTANTIATE_TEST_SUITE_P(Table, DefaultWorkers,
                         ::testing::Values(WorkersCase{2, 24 * 1024, 2}, WorkersCase{16, 128 * 1024, 16},
                                           WorkersCase{16, 4 * 1024, 3}, WorkersCase{16, 1000, 1},
                                           WorkersCase{0, 24 * 1024, 1}, WorkersCase{4, 0, 4},
                                           WorkersCase{256, 1024 * 1024, 64}),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

// Published values, so that other tools can compute the same shards.
TEST(UuidHash, IsFnv1a64OfTheBytes) {
  EXPECT_EQ(lf::uuid_hash(""), 14695981039346656037ull);
  EXPECT_EQ(lf::uuid_hash("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(lf::uuid_hash("foobar"), 0x85944171f73967e8ull);
}

}  // namespace
