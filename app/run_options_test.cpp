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
  EXPECT_EQ(options.given, GetParam().count != 1 || GetParam().skip_done);
}

const std::string expects = "--shard expects K/N with 0 <= K < N, got ";

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
                      OptionCase{{"--skip-done", "--shards", "1/2"}, false, "unknown option --shards", 0, 0, false}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

// Published values, so that other tools can compute the same shards.
TEST(UuidHash, IsFnv1a64OfTheBytes) {
  EXPECT_EQ(lf::uuid_hash(""), 14695981039346656037ull);
  EXPECT_EQ(lf::uuid_hash("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(lf::uuid_hash("foobar"), 0x85944171f73967e8ull);
}

}  // namespace
