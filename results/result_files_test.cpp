#include "results/result_files.h"

#include <sys/wait.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "results/temporary_files.h"
#include "workspace/test_support.h"

namespace lf {

namespace {

std::string read_bytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}


// Sorted names in a folder, "." and ".." left out.
std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class TempFolder : public ::testing::Test {
 protected:
  const TemporaryFolder temporary_{"lf_results_"};
  const std::string folder_ = temporary_.path();
};

struct LineCase {
  cv::KeyPoint keypoint;
  std::string line;
};

// Short test names in CTest: the expected line without its CR LF.
void PrintTo(const LineCase& c, std::ostream* os) { *os << c.line.substr(0, c.line.size() - 2); }

class KeypointLines : public TempFolder, public ::testing::WithParamInterface<LineCase> {};

TEST_P(KeypointLines, UseGeneralFormatAndCrLf) {
  const std::string path = folder_ + "/k.feat";
  ASSERT_TRUE(write_keypoint_file(path, {GetParam().keypoint}));
  EXPECT_EQ(read_bytes(path), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, KeypointLines,
    ::testing::Values(LineCase{cv::KeyPoint(1024.f, 512.f, 2.f, 90.f), "1024 512 2 90\r\n"},
                      LineCase{cv::KeyPoint(1234.5678f, 0.5f, 31.9467f, 287.163f), "1234.57 0.5 31.9467 287.163\r\n"},
                      LineCase{cv::KeyPoint(0.00001f, 1e6f, 123456.7f, -0.f), "1e-05 1e+06 123457 -0\r\n"}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return "Line" + std::to_string(info.index); });

TEST_F(TempFolder, KeypointFileOfNoKeypointsIsEmptyAndReplacesLongerContent) {
  const std::string path = folder_ + "/k.feat";
  std::ofstream(path) << std::string(5000, 'x');
  ASSERT_TRUE(write_keypoint_file(path, {}));
  EXPECT_EQ(read_bytes(path), "");
}

TEST_F(TempFolder, DescriptorFileHoldsLittleEndianCountAndRawRows) {
  const std::string path = folder_ + "/d.desc";
  std::vector<float> rows(3 * 128);
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<float>(i) * 0.5f - 3.f;
  DescriptorFile file;
  ASSERT_TRUE(file.open(path, 0x0102030405060708ull));
  file.append_rows(rows.data(), 1);
  file.append_rows(rows.data() + 128, 2);
  ASSERT_TRUE(file.close());
  const std::string bytes = read_bytes(path);
  ASSERT_EQ(bytes.size(), 8u + 3 * 512);
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8));
  EXPECT_EQ(std::memcmp(bytes.data() + 8, rows.data(), 3 * 512), 0);
}

TEST_F(TempFolder, DescriptorFileThatCannotBeCreatedFails) {
  DescriptorFile file;
  EXPECT_FALSE(file.open(folder_ + "/missing/d.desc", 1));
  file.append_rows(nullptr, 0);
  EXPECT_FALSE(file.close());
}

TEST(ResultStem, MessagesShowControlCharactersEscaped) {
  EXPECT_EQ(printable_uuid("a\x1b[2Jb\x7f\n\xc3\xa9"), "a\\x1B[2Jb\\x7F\\x0A\xc3\xa9");
}

TEST(ResultStem, RefusesNamesOutsideTheFolder) {
  for (const std::string& uuid : std::vector<std::string>{"", ".", "..", "a/b", "a\\b", "c:x", "../up", "a\x1b[31mb", "tab\t",
                                 "new\nline", "del\x7f", std::string("nul\0x", 5)}) {
    EXPECT_FALSE(is_valid_result_stem(uuid)) << printable_uuid(uuid);
  }
  for (const std::string uuid : {"3f2a", "a.b", "...", "demo-0001", "x y"}) {
    EXPECT_TRUE(is_valid_result_stem(uuid)) << uuid;
  }
}

// A pair staged by hand: keypoints k, and `rows` descriptor rows of value k.
void stage(StagedResultPair& pair, int rows, float value, std::ostream& err) {
  KeypointList keypoints(rows, cv::KeyPoint(1.f, 2.f, 3.f, value));
  ASSERT_TRUE(pair.write_keypoints(keypoints, err));
  ASSERT_TRUE(pair.open_descriptors(rows, err));
  const std::vector<float> values(128 * rows, value);
  pair.append_rows(values.data(), rows);
}

// Two runs staging one uuid at once (repeated runs, shards) must not share
// temporary files: each commit puts its own complete pair in place.
TEST_F(TempFolder, PairsOfOneUuidStagedTogetherCommitInTurn) {
  std::ostringstream err;
  {
    StagedResultPair first(folder_ + "/", "u");
    StagedResultPair second(folder_ + "/", "u");
    stage(first, 3, 7.f, err);
    stage(second, 2, 9.f, err);
    ASSERT_TRUE(first.commit(err)) << err.str();
    EXPECT_EQ(read_bytes(folder_ + "/u.feat"), "1 2 3 7\r\n1 2 3 7\r\n1 2 3 7\r\n");
    ASSERT_TRUE(second.commit(err)) << err.str();
  }
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(read_bytes(folder_ + "/u.feat"), "1 2 3 9\r\n1 2 3 9\r\n");
  const std::string descriptors = read_bytes(folder_ + "/u.desc");
  ASSERT_EQ(descriptors.size(), 8u + 2 * 512);
  float value = 0;
  std::memcpy(&value, descriptors.data() + 8 + 512 + 508, 4);
  EXPECT_EQ(value, 9.f);
  EXPECT_EQ(names_in(folder_), (std::vector<std::string>{".publish.lock", "u.desc", "u.feat"}));
}

// Temporary names are short whatever the uuid: a uuid whose result names just
// fit the system's 255-byte limit can be written.
TEST_F(TempFolder, LongestUuidThatNamesAResultCanBeWritten) {
  std::ostringstream err;
  const std::string uuid(250, 'u');
  StagedResultPair pair(folder_ + "/", uuid);
  stage(pair, 1, 1.f, err);
  EXPECT_TRUE(pair.commit(err)) << err.str();
  EXPECT_EQ(read_bytes(folder_ + "/" + uuid + ".feat"), "1 2 3 1\r\n");
}

TEST_F(TempFolder, PairNotCommittedLeavesTheEarlierPairAndNoTemporaryFile) {
  std::ostringstream err;
  {
    StagedResultPair earlier(folder_ + "/", "u");
    stage(earlier, 1, 1.f, err);
    ASSERT_TRUE(earlier.commit(err));
  }
  const std::string feat = read_bytes(folder_ + "/u.feat"), desc = read_bytes(folder_ + "/u.desc");
  {
    StagedResultPair abandoned(folder_ + "/", "u");
    stage(abandoned, 4, 2.f, err);
  }
  EXPECT_EQ(read_bytes(folder_ + "/u.feat"), feat);
  EXPECT_EQ(read_bytes(folder_ + "/u.desc"), desc);
  EXPECT_EQ(names_in(folder_), (std::vector<std::string>{".publish.lock", "u.desc", "u.feat"}));
}

TEST_F(TempFolder, ConsistentPairsAreTheCompleteOnes) {
  std::ostringstream err;
  for (const char* uuid : {"good", "lone_feat", "lone_desc", "short_desc", "extra_line"}) {
    StagedResultPair pair(folder_ + "/", uuid);
    stage(pair, 2, 1.f, err);
    ASSERT_TRUE(pair.commit(err));
  }
  std::remove((folder_ + "/lone_feat.desc").c_str());
  std::remove((folder_ + "/lone_desc.feat").c_str());
  ASSERT_EQ(truncate((folder_ + "/short_desc.desc").c_str(), 8 + 512), 0);
  std::ofstream(folder_ + "/extra_line.feat", std::ios::app) << "1 2 3 4\r\n";
  EXPECT_TRUE(result_pair_is_consistent(folder_ + "/", "good"));
  for (const char* uuid : {"lone_feat", "lone_desc", "short_desc", "extra_line", "missing"})
    EXPECT_FALSE(result_pair_is_consistent(folder_ + "/", uuid)) << uuid;
}

// Temporary names carry the host tag and the owner's process id.
TEST_F(TempFolder, StaleTemporaryFilesAreThoseOfDeadProcessesOfThisHost) {
  const std::string own = make_temporary_path(folder_ + "/");
  const std::string name = own.substr(own.rfind('/') + 1);
  const std::string tag = name.substr(1, 8);
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  const std::string dead = "." + tag + "-" + std::to_string(child) + "-3.part";
  const std::string alive = "." + tag + "-" + std::to_string(getppid()) + "-3.part";
  const std::string other_host = ".0000000z-" + std::to_string(child) + "-3.part";
  for (const std::string& file : {dead, alive, other_host, std::string("x.feat")})
    std::ofstream(folder_ + "/" + file) << "x";
  EXPECT_EQ(remove_stale_temporary_files(folder_ + "/"), 1);
  std::vector<std::string> left{alive, other_host, "x.feat"};
  std::sort(left.begin(), left.end());
  EXPECT_EQ(names_in(folder_), left);
}

}  // namespace

}  // namespace lf
