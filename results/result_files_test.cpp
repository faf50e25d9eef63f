#include "results/result_files.h"
#include "results/staged_result_pair.h"

#include <sys/wait.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <cereal/archives/json.hpp>
#include <gtest/gtest.h>
#include <rapidjson/istreamwrapper.h>

#include "results/model_records.h"
#include "results/temporary_files.h"
#include "platform/test_support.h"

namespace lf {

namespace {


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
void stage(StagedResultPair& pair, int rows, float value) {
  KeypointList keypoints(rows, cv::KeyPoint(1.f, 2.f, 3.f, value));
  ASSERT_TRUE(pair.write_keypoints(keypoints));
  ASSERT_TRUE(pair.open_descriptors(rows));
  const std::vector<float> values(128 * rows, value);
  pair.append_rows(values.data(), rows);
}

// Two runs staging one uuid at once (repeated runs, shards) must not share
// temporary files: each commit puts its own complete pair in place.
TEST_F(TempFolder, PairsOfOneUuidStagedTogetherCommitInTurn) {
  {
    StagedResultPair first(folder_ + "/", "u");
    StagedResultPair second(folder_ + "/", "u");
    stage(first, 3, 7.f);
    stage(second, 2, 9.f);
    ASSERT_TRUE(first.commit()) << std::strerror(first.fault().error);
    EXPECT_EQ(read_bytes(folder_ + "/u.feat"), "1 2 3 7\r\n1 2 3 7\r\n1 2 3 7\r\n");
    ASSERT_TRUE(second.commit()) << std::strerror(second.fault().error);
  }
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
  const std::string uuid(250, 'u');
  StagedResultPair pair(folder_ + "/", uuid);
  stage(pair, 1, 1.f);
  EXPECT_TRUE(pair.commit()) << std::strerror(pair.fault().error);
  EXPECT_EQ(read_bytes(folder_ + "/" + uuid + ".feat"), "1 2 3 1\r\n");
}

TEST_F(TempFolder, PairNotCommittedLeavesTheEarlierPairAndNoTemporaryFile) {
  {
    StagedResultPair earlier(folder_ + "/", "u");
    stage(earlier, 1, 1.f);
    ASSERT_TRUE(earlier.commit());
  }
  const std::string feat = read_bytes(folder_ + "/u.feat"), desc = read_bytes(folder_ + "/u.desc");
  {
    StagedResultPair abandoned(folder_ + "/", "u");
    stage(abandoned, 4, 2.f);
  }
  EXPECT_EQ(read_bytes(folder_ + "/u.feat"), feat);
  EXPECT_EQ(read_bytes(folder_ + "/u.desc"), desc);
  EXPECT_EQ(names_in(folder_), (std::vector<std::string>{".publish.lock", "u.desc", "u.feat"}));
}

TEST_F(TempFolder, ConsistentPairsAreTheCompleteOnes) {
  for (const char* uuid : {"good", "lone_feat", "lone_desc", "short_desc", "extra_line"}) {
    StagedResultPair pair(folder_ + "/", uuid);
    stage(pair, 2, 1.f);
    ASSERT_TRUE(pair.commit());
  }
  std::remove((folder_ + "/lone_feat.desc").c_str());
  std::remove((folder_ + "/lone_desc.feat").c_str());
  ASSERT_EQ(truncate((folder_ + "/short_desc.desc").c_str(), 8 + 512), 0);
  std::ofstream(folder_ + "/extra_line.feat", std::ios::app) << "1 2 3 4\r\n";
  EXPECT_TRUE(result_pair_is_consistent(folder_ + "/", "good"));
  for (const char* uuid : {"lone_feat", "lone_desc", "short_desc", "extra_line", "missing"})
    EXPECT_FALSE(result_pair_is_consistent(folder_ + "/", uuid)) << uuid;
}

// The bytes a case of the shared table gives for a descriptor file.
std::string descriptor_bytes(const rapidjson::Value& desc) {
  std::string bytes;
  if (desc.HasMember("raw_hex")) {
    const std::string hex = desc["raw_hex"].GetString();
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
  }
  const std::uint64_t count = desc["count"].GetUint64();
  for (int i = 0; i < 8; ++i) bytes += static_cast<char>(count >> (8 * i));
  bytes.append(512 * desc["rows"].GetUint64() + desc["extra_bytes"].GetUint64(), '\x01');
  return bytes;
}

// One table of edge files decides for the program and the Python checkers alike.
TEST_F(TempFolder, PairConsistencyFollowsTheSharedTable) {
  std::ifstream file(LF_PAIR_CASES, std::ios::binary);
  ASSERT_TRUE(file) << LF_PAIR_CASES;
  rapidjson::IStreamWrapper stream(file);
  rapidjson::Document table;
  table.ParseStream(stream);
  ASSERT_FALSE(table.HasParseError());
  ASSERT_GT(table["cases"].Size(), 0u);
  for (const rapidjson::Value& c : table["cases"].GetArray()) {
    const std::string uuid = c["name"].GetString();
    if (!c["feat"].IsNull())
      std::ofstream(folder_ + "/" + uuid + ".feat", std::ios::binary)
          << std::string(c["feat"].GetString(), c["feat"].GetStringLength());
    if (!c["desc"].IsNull())
      std::ofstream(folder_ + "/" + uuid + ".desc", std::ios::binary) << descriptor_bytes(c["desc"]);
    EXPECT_EQ(result_pair_is_consistent(folder_ + "/", uuid), c["consistent"].GetBool()) << uuid;
  }
}

// Temporary files in a folder, oldest first (by sequence number within this process).
std::vector<std::string> temporary_names(const std::string& folder) {
  std::vector<std::string> names;
  for (const std::string& name : names_in(folder)) {
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const auto sequence = [](const std::string& name) { return std::stoull(name.substr(name.rfind('-') + 1)); };
    return sequence(a) < sequence(b);
  });
  return names;
}

struct LostTemporaryCase {
  const char* label;
  bool keypoint_file;    // taken away
  bool descriptor_file;  // taken away
};
void PrintTo(const LostTemporaryCase& c, std::ostream* os) { *os << c.label; }

class LostTemporary : public TempFolder, public ::testing::WithParamInterface<LostTemporaryCase> {};

// Another process (an earlier version's cleaner in another process-id
// namespace, a user) removes a run's live temporary files: the commit fails
// and the older complete pair stays as it was.
TEST_P(LostTemporary, CommitFailsAndKeepsTheOlderPair) {
  {
    StagedResultPair older(folder_ + "/", "u");
    stage(older, 2, 1.f);
    ASSERT_TRUE(older.commit());
  }
  const std::string feat = read_bytes(folder_ + "/u.feat"), desc = read_bytes(folder_ + "/u.desc");
  {
    StagedResultPair newer(folder_ + "/", "u");
    stage(newer, 3, 2.f);
    const std::vector<std::string> parts = temporary_names(folder_);
    ASSERT_EQ(parts.size(), 2u);
    if (GetParam().keypoint_file) std::remove((folder_ + "/" + parts[0]).c_str());
    if (GetParam().descriptor_file) std::remove((folder_ + "/" + parts[1]).c_str());
    EXPECT_FALSE(newer.commit());
    EXPECT_EQ(newer.fault().kind, WriteFault::Kind::result_file);
    EXPECT_EQ(newer.fault().error, ENOENT);
  }
  EXPECT_EQ(read_bytes(folder_ + "/u.feat"), feat);
  EXPECT_EQ(read_bytes(folder_ + "/u.desc"), desc);
  EXPECT_EQ(names_in(folder_), (std::vector<std::string>{".publish.lock", "u.desc", "u.feat"}));
}

INSTANTIATE_TEST_SUITE_P(Cases, LostTemporary,
                         ::testing::Values(LostTemporaryCase{"KeypointFile", true, false},
                                           LostTemporaryCase{"DescriptorFile", false, true},
                                           LostTemporaryCase{"Both", true, true}),
                         [](const auto& info) { return std::string(info.param.label); });

// A temporary file is stale when no process holds its lock, whatever its
// name says about its host and process: a live run in another process-id
// namespace may carry the id of a process that is gone here.
TEST_F(TempFolder, StaleTemporaryFilesAreThoseWhoseLockIsFree) {
  const std::string own = make_temporary_path(folder_ + "/");
  const std::string name = own.substr(own.rfind('/') + 1);
  const std::string tag = name.substr(1, 8);
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  const std::string dead_but_locked = "." + tag + "-" + std::to_string(child) + "-3.part";
  const std::string alive_but_unlocked = "." + tag + "-" + std::to_string(getppid()) + "-3.part";
  const std::string other_host_unlocked = ".0000000a-" + std::to_string(child) + "-3.part";
  const std::string other_host_locked = ".0000000b-" + std::to_string(child) + "-3.part";
  for (const std::string& file : {dead_but_locked, alive_but_unlocked, other_host_unlocked, other_host_locked,
                                  std::string("x.feat"), std::string(".x-1-1.part")})
    std::ofstream(folder_ + "/" + file) << "x";
  std::vector<FilePtr> holders;
  for (const std::string& file : {dead_but_locked, other_host_locked}) {
    holders.push_back(open_lock_handle(folder_ + "/" + file));
    ASSERT_TRUE(holders.back());
    ASSERT_EQ(try_lock_exclusive(holders.back().get()), FileLock::taken);
  }
  std::vector<std::string> left = names_in(folder_);
  StagedResultPair live(folder_ + "/", "u");
  stage(live, 1, 1.f);
  for (const std::string& file : names_in(folder_)) {
    if (std::find(left.begin(), left.end(), file) == left.end()) left.push_back(file);
  }
  ASSERT_EQ(left.size(), 8u);

  EXPECT_EQ(remove_stale_temporary_files(folder_ + "/"), 2);
  left.erase(std::remove_if(left.begin(), left.end(),
                            [&](const std::string& file) { return file == alive_but_unlocked || file == other_host_unlocked; }),
             left.end());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(names_in(folder_), left);
}

struct RecordFolderCase {
  const char* label;
  std::function<void(const std::string&)> arrange;  // given the matches folder, after the older pair
  bool committed;
  int error;  // of the fault (not committed) or of the unkept new record
};
void PrintTo(const RecordFolderCase& c, std::ostream* os) { *os << c.label; }

class RecordFolder : public TempFolder, public ::testing::WithParamInterface<RecordFolderCase> {};

// An old record that cannot be removed would vouch for the new pair as the
// old model's: the pair is not put in place. A new record that cannot be
// written leaves the complete pair, and says so.
TEST_P(RecordFolder, OldRecordMustGoNewRecordMayFail) {
  {
    StagedResultPair older(folder_ + "/", "u");
    stage(older, 2, 1.f);
    ASSERT_TRUE(older.commit());
  }
  const std::string feat = read_bytes(folder_ + "/u.feat"), desc = read_bytes(folder_ + "/u.desc");
  GetParam().arrange(folder_);
  StagedResultPair newer(folder_ + "/", "u", "00112233aabbccdd");
  stage(newer, 3, 2.f);
  ASSERT_EQ(newer.commit(), GetParam().committed);
  if (GetParam().committed) {
    EXPECT_EQ(newer.unkept_record().error, GetParam().error);
    if (GetParam().error != 0) {
      EXPECT_EQ(newer.unkept_record().path, folder_ + "/.model_records\\u");
    }
    EXPECT_NE(read_bytes(folder_ + "/u.feat"), feat);
  } else {
    EXPECT_EQ(newer.fault().kind, WriteFault::Kind::model_record);
    EXPECT_EQ(newer.fault().error, GetParam().error);
    EXPECT_EQ(newer.fault().path, folder_ + "/.model_records\\u");
    EXPECT_EQ(read_bytes(folder_ + "/u.feat"), feat);
    EXPECT_EQ(read_bytes(folder_ + "/u.desc"), desc);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordFolder,
    ::testing::Values(
        RecordFolderCase{"Writable", [](const std::string&) {}, true, 0},
        // What cannot be removed, whoever owns it: a folder with something in it.
        RecordFolderCase{"OldRecordStays",
                         [](const std::string& folder) {
                           std::filesystem::create_directories(folder + "/.model_records/u/held");
                         },
                         false, ENOTEMPTY},
        RecordFolderCase{"RecordsFolderIsAFile",
                         [](const std::string& folder) { std::ofstream(folder + "/.model_records") << "x"; }, true,
                         ENOTDIR},
        RecordFolderCase{"RecordsFolderIsADanglingLink",
                         [](const std::string& folder) {
                           std::filesystem::create_symlink(folder + "/gone", folder + "/.model_records");
                         },
                         true, ENOENT}),
    [](const auto& info) { return std::string(info.param.label); });

struct FingerprintCase {
  const char* label;
  std::function<void(const std::string&)> change;  // applied to the second copy
  bool same;
};
void PrintTo(const FingerprintCase& c, std::ostream* os) { *os << c.label; }

class ModelFingerprint : public TempFolder, public ::testing::WithParamInterface<FingerprintCase> {
 protected:
  void make_model(const std::string& folder) {
    std::filesystem::create_directories(folder + "/variables");
    std::ofstream(folder + "/saved_model.pb", std::ios::binary) << "graph";
    std::ofstream(folder + "/variables/variables.index", std::ios::binary) << "index";
    std::ofstream(folder + "/variables/variables.data-00000-of-00001", std::ios::binary) << "weights";
    std::ofstream(folder + "/keras_metadata.pb", std::ios::binary) << "not part of the fingerprint";
  }
};

// The fingerprint follows saved_model.pb and variables/, names and contents,
// wherever the model lies.
TEST_P(ModelFingerprint, ChangesWithTheGraphAndTheVariablesOnly) {
  make_model(folder_ + "/one");
  make_model(folder_ + "/two");
  GetParam().change(folder_ + "/two");
  const std::string one = model_fingerprint(folder_ + "/one"), two = model_fingerprint(folder_ + "/two");
  ASSERT_EQ(one.size(), 16u);
  EXPECT_EQ(one == two, GetParam().same) << one << " " << two;
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ModelFingerprint,
    ::testing::Values(
        FingerprintCase{"None", [](const std::string&) {}, true},
        FingerprintCase{"OtherFile", [](const std::string& m) { std::ofstream(m + "/keras_metadata.pb") << "x"; }, true},
        FingerprintCase{"Graph", [](const std::string& m) { std::ofstream(m + "/saved_model.pb") << "graph2"; }, false},
        FingerprintCase{"Weights",
                        [](const std::string& m) { std::ofstream(m + "/variables/variables.data-00000-of-00001") << "weightz"; },
                        false},
        FingerprintCase{"VariableRenamed",
                        [](const std::string& m) {
                          std::filesystem::rename(m + "/variables/variables.index", m + "/variables/variables.indey");
                        },
                        false},
        FingerprintCase{"VariableAdded", [](const std::string& m) { std::ofstream(m + "/variables/more") << ""; }, false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(TempFolder, ModelWithoutItsGraphHasNoFingerprint) {
  EXPECT_EQ(model_fingerprint(folder_), "");
}

}  // namespace

}  // namespace lf
