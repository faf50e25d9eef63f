// End-to-end runs of the program, as a user would start it.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/test_images.h"
#include "platform/test_support.h"

namespace lf {

namespace {

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string shell_quoted(const std::string& text) {
  std::string result = "'";
  for (char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return result + "'";
}

std::string model(const std::string& name) { return std::string(LF_FIXTURE_DIR) + "/models/" + name; }

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// Bright squares on black: their normalised patches reach values above 8.
cv::Mat bright_squares_image() {
  cv::Mat image(512, 1024, CV_8UC1, cv::Scalar(0));
  cv::RNG rng(1);
  for (int i = 0; i < 40; ++i) {
    const int x = rng.uniform(20, 1000), y = rng.uniform(20, 490);
    image(cv::Rect(x, y, 5, 5)).setTo(255);
  }
  return image;
}

class ProgramRun : public ::testing::Test {
 protected:
  void make_workspace(const std::string& list) {
    std::filesystem::create_directories(ws_ + "/caches/images");
    std::filesystem::create_directories(ws_ + "/raw");
    std::ofstream(ws_ + "/caches/images.json", std::ios::binary) << list;
  }
  void write_image(const std::string& name, const cv::Mat& image) {
    ASSERT_TRUE(cv::imwrite(ws_ + "/" + name, image));
  }

  RunResult run(const std::vector<std::string>& args, const std::string& directory = "",
                const std::string& runner = "") {
    // A hung run fails the test instead of stalling the suite.
    std::string command = "cd " + shell_quoted(directory.empty() ? root_ : directory) +
                          " && timeout -s KILL 600 " + runner + shell_quoted(LF_PROGRAM);
    for (const std::string& arg : args) command += " " + shell_quoted(arg);
    command += " >" + shell_quoted(root_ + "/out.txt") + " 2>" + shell_quoted(root_ + "/err.txt");
    RunResult result;
    const int status = std::system(command.c_str());
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = read_bytes(root_ + "/out.txt");
    result.err = read_bytes(root_ + "/err.txt");
    return result;
  }
  std::string matches(const std::string& file) { return ws_ + "/caches/matches/" + file; }

  const TemporaryFolder folder_{"lf_app_"};
  const std::string root_ = folder_.path();
  const std::string ws_ = root_ + "/ws";
};

struct ArgumentCase {
  std::vector<std::string> args;
  std::string err;
};

// Short test names in CTest.
void PrintTo(const ArgumentCase& c, std::ostream* os) { *os << c.args.size() << " arguments"; }

class Arguments : public ProgramRun, public ::testing::WithParamInterface<ArgumentCase> {};

TEST_P(Arguments, AreCheckedInOrder) {
  const RunResult result = run(GetParam().args);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, GetParam().err);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Arguments,
    ::testing::Values(ArgumentCase{{}, "Error: no enough params specified\n"},
                      ArgumentCase{{"model"}, "Error: no enough params specified\n"},
                      ArgumentCase{{"", "data"}, "Error: no model path specified\n"},
                      ArgumentCase{{"", ""}, "Error: no model path specified\n"},
                      ArgumentCase{{"model", ""}, "Error: no data path specified\n"},
                      ArgumentCase{{"model", "no/such/folder", "extra"}, "Error: folder no/such/folder doesn't exist\n"},
                      ArgumentCase{{"model", "data", "x", "--shard", "3/2"},
                                   "Error: --shard expects K/N with 0 <= K < N, got \"3/2\"\n"},
                      ArgumentCase{{"model", "data", "--skip-done", "--resume"}, "Error: unknown option --resume\n"},
                      ArgumentCase{{"--skip-done", "model", "data"},
                                   "Error: options follow the model and workspace arguments\n"},
                      ArgumentCase{{"--shard", "0/2", "model", "data"},
                                   "Error: options follow the model and workspace arguments\n"},
                      ArgumentCase{{"model", "--shard=0/2", "data"},
                                   "Error: options follow the model and workspace arguments\n"}),
    [](const ::testing::TestParamInfo<ArgumentCase>& info) { return "Case" + std::to_string(info.index); });

TEST_F(ProgramRun, WorkspaceFaultsNameTheRenderedPaths) {
  std::filesystem::create_directories(ws_);
  std::string rendered = ws_;
  std::replace(rendered.begin(), rendered.end(), '/', '\\');
  RunResult result = run({model("valid"), ws_});
  EXPECT_EQ(result.err, "Error: folder " + rendered + "\\caches\\images\\ doesn't exist\n");

  std::filesystem::create_directories(ws_ + "/caches/images");
  std::ofstream(ws_ + "/caches/matches") << "a file";
  result = run({model("valid"), ws_});
  EXPECT_EQ(result.err, "Error: folder " + rendered + "\\caches\\matches\\ doesn't exist and can not be created\n");

  std::remove((ws_ + "/caches/matches").c_str());
  result = run({model("valid"), ws_ + "/"});
  EXPECT_EQ(result.err, "Error: file " + rendered + "\\caches\\images.json doesn't exist\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_TRUE(exists(ws_ + "/caches/matches"));
}

TEST_F(ProgramRun, RelativeAndDottedDataPaths) {
  make_workspace(R"({"images": []})");
  const std::string parent_relative = "../" + root_.substr(root_.rfind('/') + 1) + "/ws";
  for (const std::string& data : std::vector<std::string>{"ws", "./ws/", "ws/../ws", parent_relative}) {
    std::filesystem::remove_all(ws_ + "/caches/matches");
    const RunResult result = run({model("valid"), data});
    EXPECT_EQ(result.exit_code, 0) << data << ": " << result.err;
    EXPECT_EQ(result.out, "------------Feature Predicion Success------------\n");
    EXPECT_TRUE(exists(ws_ + "/caches/matches")) << data;
  }
}

TEST_F(ProgramRun, BadModelsAreReportedBeforeTheCaptureListIsRead) {
  make_workspace("not json at all");
  for (const std::string name : {"not_a_model", "wrong_tag", "missing_output", "does_not_exist",
                                 "output_without_input", "no_variables", "wrong_shape"}) {
    const RunResult result = run({model(name), ws_});
    EXPECT_EQ(result.exit_code, 1) << name;
    EXPECT_EQ(result.err.rfind("Error: loading saved_model failed.\nError: ", 0), 0u) << name << ": " << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 2) << name << ": " << result.err;
    EXPECT_EQ(result.out, "");
  }
}

struct ListCase {
  std::string list;
  std::string err;
};

void PrintTo(const ListCase& c, std::ostream* os) { *os << c.err.substr(0, c.err.size() - 1); }

class CaptureListFaults : public ProgramRun, public ::testing::WithParamInterface<ListCase> {};

TEST_P(CaptureListFaults, EndTheRunBeforeAnyRecord) {
  make_workspace(GetParam().list);
  write_image("raw/a.png", textured_image(512, 256, 1));
  const RunResult result = run({model("valid"), ws_});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, GetParam().err);
  EXPECT_FALSE(exists(matches("u.feat")));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CaptureListFaults,
    ::testing::Values(
        ListCase{R"({"images": [{"raw1_image": "raw/a.png", "uuid": "u"}]})",
                 "Error: JSON Parsing failed - provided NVP (raw2_image) not found\n"},
        ListCase{"", "Error: rapidjson internal assertion failure: IsObject()\n"},
        ListCase{R"({"images": {}})", "Error: rapidjson internal assertion failure: IsArray()\n"},
        ListCase{R"({"images": [{"raw1_image": "raw/a.png", "raw2_image": null, "uuid": "u"}]})",
                 "Error: rapidjson internal assertion failure: IsString()\n"}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return "Case" + std::to_string(info.index); });

TEST_F(ProgramRun, UnreadableCaptureListNamesItsPathAndTheReason) {
  make_workspace(R"({"images": []})");
  std::string runner;
  if (geteuid() == 0) {
    // Permissions do not stop root: run as nobody, who may enter the folders.
    if (std::system("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "running as root without setpriv";
    runner = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    for (const std::string& folder : {root_, ws_, ws_ + "/caches", ws_ + "/caches/images"})
      ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
  }
  ASSERT_EQ(chmod((ws_ + "/caches/images.json").c_str(), 0), 0);
  std::string rendered = ws_ + "\\caches\\images.json";
  std::replace(rendered.begin(), rendered.end(), '/', '\\');
  const RunResult result = run({model("valid"), ws_}, "", runner);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Error: rapidjson internal assertion failure: IsObject()\n"
                        "Error: cannot open the capture list " + rendered + ": Permission denied\n");
}

TEST_F(ProgramRun, EmptyListWritesOnlyTheSuccessLine) {
  make_workspace(R"({"images": []})");
  const RunResult result = run({model("valid"), ws_});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "------------Feature Predicion Success------------\n");
  EXPECT_EQ(result.err, "");
}

TEST_F(ProgramRun, ProcessesEveryRecordInOrder) {
  make_workspace(R"({"images": [
    {"raw1_image": "raw/flat.png", "raw2_image": "", "uuid": "flat"},
    {"raw1_image": "raw\\a.png", "raw2_image": "raw/b.png", "uuid": "pair"},
    {"raw1_image": "raw/a.png", "raw2_image": "", "uuid": "dup"},
    {"raw1_image": "raw/b.png", "raw2_image": "", "uuid": "dup"}]})");
  write_image("raw/flat.png", cv::Mat(300, 600, CV_8UC1, cv::Scalar(90)));
  write_image("raw/a.png", textured_image(1024, 512, 1));
  write_image("raw/b.png", textured_image(1024, 512, 2));
  const RunResult result = run({model("valid"), ws_});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");

  std::istringstream lines(result.out);
  std::vector<std::string> out;
  for (std::string line; std::getline(lines, line);) out.push_back(line);
  ASSERT_EQ(out.size(), 11u) << result.out;
  EXPECT_EQ(out[0], "Error : No keypoints detected.");
  EXPECT_EQ(out[1], "Error : No keypoints imported.");
  EXPECT_EQ(out[2], "uuid : flat");
  EXPECT_EQ(out[3], "keypoints: 0");
  EXPECT_EQ(out[4], "uuid : pair");
  EXPECT_EQ(out[6], "uuid : dup");
  EXPECT_EQ(out[8], "uuid : dup");
  EXPECT_EQ(out[10], "------------Feature Predicion Success------------");

  EXPECT_EQ(read_bytes(matches("flat.feat")), "");
  EXPECT_EQ(read_bytes(matches("flat.desc")), std::string(8, '\0'));
  for (const std::string uuid : {"pair", "dup"}) {
    const std::string feat = read_bytes(matches(uuid + ".feat"));
    const std::size_t lines_in_feat = std::count(feat.begin(), feat.end(), '\n');
    EXPECT_GT(lines_in_feat, 0u);
    EXPECT_EQ(read_bytes(matches(uuid + ".desc")).size(), 8 + 512 * lines_in_feat);
  }
  // The later "dup" record (image b) is the one left.
  const std::string dup_feat = read_bytes(matches("dup.feat"));
  EXPECT_EQ(out[9], "keypoints: " + std::to_string(std::count(dup_feat.begin(), dup_feat.end(), '\n')));
  EXPECT_NE(out[7], out[9]);
}

TEST_F(ProgramRun, BadRecordsAreReportedAndTheRestGoOn) {
  make_workspace(R"({"images": [
    {"raw1_image": "raw/missing.png", "raw2_image": "", "uuid": "missing"},
    {"raw1_image": "raw/corrupt.png", "raw2_image": "", "uuid": "corrupt"},
    {"raw1_image": "raw/a.png", "raw2_image": "", "uuid": ".."},
    {"raw1_image": "raw/a.png", "raw2_image": "", "uuid": "good"}]})");
  write_image("raw/a.png", textured_image(512, 256, 3));
  std::ofstream(ws_ + "/raw/corrupt.png") << "not an image";
  const RunResult result = run({model("valid"), ws_});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out.find("Feature Predicion Success"), std::string::npos);
  EXPECT_NE(result.out.find("uuid : good\n"), std::string::npos);
  EXPECT_NE(result.err.find("missing.png"), std::string::npos);
  EXPECT_NE(result.err.find("corrupt.png"), std::string::npos);
  EXPECT_NE(result.err.find("Error: 3 of 4 captures failed\n"), std::string::npos) << result.err;
  EXPECT_TRUE(exists(matches("good.feat")));
  EXPECT_FALSE(exists(matches("missing.feat")));
  EXPECT_FALSE(exists(matches("corrupt.desc")));
}

TEST_F(ProgramRun, FailedNetworkRunStopsTheWholeRun) {
  make_workspace(R"({"images": [
    {"raw1_image": "raw/a.png", "raw2_image": "", "uuid": "first"},
    {"raw1_image": "raw/a.png", "raw2_image": "", "uuid": "second"}]})");
  write_image("raw/a.png", bright_squares_image());
  const RunResult result = run({model("fails_on_large_input"), ws_});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.out.find("uuid : first\n"), std::string::npos);
  EXPECT_NE(result.out.find("TF_Error:3\n"), std::string::npos);
  EXPECT_THAT(result.err, ::testing::MatchesRegex("Error: [^\n]*values_below_8[^\n]*\n"));
  EXPECT_EQ(result.out.find("second"), std::string::npos);
  EXPECT_FALSE(exists(matches("first.feat")));
  EXPECT_FALSE(exists(matches("first.desc")));
}

class Options : public ProgramRun {
 protected:
  // Five captures of one image; returns the files a plain run writes.
  std::map<std::string, std::string> plain_run_files() {
    make_workspace(R"({"images": [)" + records_ + "]}");
    write_image("raw/a.png", textured_image(512, 256, 11));
    write_image("raw/b.png", textured_image(512, 256, 12));
    EXPECT_EQ(run({model("valid"), ws_}).exit_code, 0);
    return result_files();
  }
  std::map<std::string, std::string> result_files() {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(ws_ + "/caches/matches")) {
      const std::string name = entry.path().filename();
      if (name[0] != '.') files[name] = read_bytes(entry.path());
    }
    return files;
  }
  const std::vector<std::string> uuids_{"alpha", "beta", "gamma", "delta", "epsilon"};
  const std::string records_ = R"({"raw1_image": "raw/a.png", "raw2_image": "", "uuid": "alpha"},
    {"raw1_image": "raw/b.png", "raw2_image": "", "uuid": "beta"},
    {"raw1_image": "raw/a.png", "raw2_image": "raw/b.png", "uuid": "gamma"},
    {"raw1_image": "raw/b.png", "raw2_image": "", "uuid": "delta"},
    {"raw1_image": "raw/a.png", "raw2_image": "", "uuid": "epsilon"})";
};

TEST_F(Options, ShardsTogetherWriteThePlainRunsFilesEachOnce) {
  const auto plain = plain_run_files();
  ASSERT_EQ(plain.size(), 10u);
  std::filesystem::remove_all(ws_ + "/caches/matches");
  std::map<std::string, int> written;
  for (int shard = 0; shard < 3; ++shard) {
    const RunResult result = run({model("valid"), ws_, "--shard", std::to_string(shard) + "/3"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    int processed = 0;
    for (const std::string& uuid : uuids_) {
      if (result.out.find("uuid : " + uuid + "\n") != std::string::npos) ++written[uuid], ++processed;
    }
    EXPECT_NE(result.out.find("records: " + std::to_string(processed) + " processed, 0 skipped, 0 failed\n"
                              "------------Feature Predicion Success------------\n"),
              std::string::npos)
        << result.out;
  }
  for (const std::string& uuid : uuids_) EXPECT_EQ(written[uuid], 1) << uuid;
  EXPECT_EQ(result_files(), plain);
}

TEST_F(Options, SkipDoneRecomputesOnlyIncompletePairs) {
  const auto plain = plain_run_files();
  ASSERT_EQ(run({model("valid"), ws_, "--shard", "0/1"}).exit_code, 0);
  std::filesystem::remove(matches("beta.desc"));
  std::filesystem::resize_file(matches("delta.desc"), 8 + 512);
  const RunResult result = run({model("valid"), ws_, "--skip-done"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  for (const std::string uuid : {"alpha", "gamma", "epsilon"})
    EXPECT_NE(result.out.find("uuid : " + uuid + "\nskipped: results exist\n"), std::string::npos) << uuid;
  for (const std::string uuid : {"beta", "delta"})
    EXPECT_NE(result.out.find("uuid : " + uuid + "\nkeypoints: "), std::string::npos) << uuid;
  EXPECT_NE(result.out.find("records: 2 processed, 3 skipped, 0 failed\n"), std::string::npos) << result.out;
  EXPECT_EQ(result_files(), plain);
}

// Workers change how fast a run goes, never what it prints or writes: not in
// a plain run (no records line either), nor with captures to skip, to
// recompute and to fail.
TEST_F(Options, WorkersChangeNothingButSpeed) {
  const auto plain = plain_run_files();
  const RunResult plain_run = run({model("valid"), ws_});
  for (const char* workers : {"1", "2", "5"}) {
    const RunResult result = run({model("valid"), ws_, "--workers", workers});
    EXPECT_EQ(result.out, plain_run.out) << workers;
    EXPECT_EQ(result.err, plain_run.err) << workers;
    EXPECT_EQ(result_files(), plain) << workers;
  }
  std::ofstream(ws_ + "/raw/b.png") << "no longer an image";
  std::vector<RunResult> results;
  std::vector<std::map<std::string, std::string>> files;
  for (const char* workers : {"1", "3"}) {
    ASSERT_EQ(run({model("valid"), ws_, "--shard", "0/1"}).exit_code, 1);
    std::filesystem::remove(matches("gamma.desc"));
    results.push_back(run({model("valid"), ws_, "--skip-done", "--workers", workers}));
    files.push_back(result_files());
  }
  EXPECT_EQ(results[0].exit_code, 1);
  EXPECT_NE(results[0].out.find("skipped: results exist"), std::string::npos) << results[0].out;
  EXPECT_EQ(results[1].exit_code, results[0].exit_code);
  EXPECT_EQ(results[1].out, results[0].out);
  EXPECT_EQ(results[1].err, results[0].err);
  EXPECT_EQ(files[1], files[0]);
}

// Records that cannot be kept leave complete results (exit 0), but every
// --skip-done run would recompute them: one warning per run says so.
TEST_F(Options, RecordsThatCannotBeKeptAreSaidOncePerRun) {
  const auto plain = plain_run_files();
  std::ofstream(matches(".model_records")) << "a file where the folder goes";
  std::string rendered = ws_;
  std::replace(rendered.begin(), rendered.end(), '/', '\\');
  for (int round = 0; round < 2; ++round) {
    const RunResult result = run({model("valid"), ws_, "--skip-done"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "Warning: cannot write model record " + rendered + "\\caches\\matches\\.model_records\\alpha: " +
                              std::strerror(ENOTDIR) + "; --skip-done recomputes the pairs that have no record\n");
    EXPECT_NE(result.out.find("records: 5 processed, 0 skipped, 0 failed\n"), std::string::npos) << result.out;
    EXPECT_EQ(result_files(), plain);
  }
}

// --skip-done skips a pair only when the model that runs wrote it; a plain
// run records nothing, so its pairs are recomputed once.
TEST_F(Options, SkipDoneSkipsOnlyPairsOfTheSameModel) {
  const auto plain = plain_run_files();
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(ws_ + "/caches/matches"))
    names.push_back(entry.path().filename());
  EXPECT_EQ(names.size(), 11u) << "a plain run writes the pairs and the publish lock only";
  struct Step {
    const char* model;
    const char* counts;
    bool plain_files;
  };
  for (const Step& step : {Step{"valid", "5 processed, 0 skipped", true}, Step{"valid", "0 processed, 5 skipped", true},
                           Step{"batch_mean", "5 processed, 0 skipped", false},
                           Step{"batch_mean", "0 processed, 5 skipped", false},
                           Step{"valid", "5 processed, 0 skipped", true}}) {
    const RunResult result = run({model(step.model), ws_, "--skip-done"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find(std::string("records: ") + step.counts + ", 0 failed\n"), std::string::npos)
        << step.model << "\n" << result.out;
    EXPECT_EQ(result_files() == plain, step.plain_files) << step.model;
  }
}

// A uuid's pair as the header promises it: present, and counts that agree.
::testing::AssertionResult complete_pair(const std::string& feat, const std::string& desc) {
  if (desc.size() < 8) return ::testing::AssertionFailure() << "descriptor file of " << desc.size() << " bytes";
  std::uint64_t count = 0;
  for (int i = 7; i >= 0; --i) count = (count << 8) | static_cast<unsigned char>(desc[i]);
  const auto lines = static_cast<std::uint64_t>(std::count(feat.begin(), feat.end(), '\n'));
  if (desc.size() != 8 + 512 * count || lines != count)
    return ::testing::AssertionFailure() << desc.size() << " descriptor bytes, count " << count << ", " << lines << " lines";
  return ::testing::AssertionSuccess();
}

std::vector<std::string> temporary_files_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename();
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0) names.push_back(name);
  }
  return names;
}

// A run started in the background; with a stop step it stops itself there.
class BackgroundRun {
 public:
  // `ignored` is a signal ignored when the program starts, as nohup does.
  BackgroundRun(const std::vector<std::string>& args, const std::string& log, const std::string& stop_step = "",
                const std::string& program = LF_PROGRAM, int ignored = 0) {
    pid_ = fork();
    if (pid_ != 0) return;
    if (!stop_step.empty()) setenv("LF_TEST_STOP_AT", stop_step.c_str(), 1);
    if (ignored != 0) std::signal(ignored, SIG_IGN);
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  // True once the process has stopped itself; false if it ended instead.
  bool wait_until_stopped() {
    int status = 0;
    return waitpid(pid_, &status, WUNTRACED) == pid_ && WIFSTOPPED(status);
  }
  void signal(int signal_number) { kill(pid_, signal_number); }
  // Continues the process each time it stops itself, until it ends.
  int continue_to_end() {
    int status = 0;
    do {
      kill(pid_, SIGCONT);
    } while (waitpid(pid_, &status, WUNTRACED) == pid_ && WIFSTOPPED(status));
    return status;
  }
  int wait_for_end() {
    int status = 0;
    while (waitpid(pid_, &status, 0) == pid_ && WIFSTOPPED(status)) {
    }
    return status;
  }

 private:
  pid_t pid_ = -1;
};

struct StopCase {
  std::string step;
  int signal_number;
  bool new_keypoints_alone;  // what the pair shows at the stop
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.step << "_" << c.signal_number; }

class StoppedRun : public ProgramRun, public ::testing::WithParamInterface<StopCase> {};

// Stopped at each step of writing a capture, the capture has its earlier
// complete pair, or its new keypoint file alone; never a new keypoint file
// beside older descriptors. SIGINT, SIGTERM and SIGHUP then remove the run's temporary
// files and end it by the signal; after SIGKILL the next run removes them.
TEST_P(StoppedRun, LeavesWhatTheHeaderPromises) {
  const StopCase& c = GetParam();
  make_workspace(R"({"images": [{"raw1_image": "raw/a.png", "raw2_image": "", "uuid": "u"}]})");
  write_image("raw/a.png", textured_image(2048, 1024, 5));
  ASSERT_EQ(run({model("valid"), ws_}).exit_code, 0);
  const std::string old_feat = read_bytes(matches("u.feat")), old_desc = read_bytes(matches("u.desc"));
  ASSERT_GT(std::count(old_feat.begin(), old_feat.end(), '\n'), 1024) << "needs two batches";
  write_image("raw/a.png", textured_image(2048, 1024, 6));

  BackgroundRun stopped({model("valid"), ws_}, root_ + "/stopped.txt", c.step);
  ASSERT_TRUE(stopped.wait_until_stopped()) << read_bytes(root_ + "/stopped.txt");
  if (c.new_keypoints_alone) {
    EXPECT_NE(read_bytes(matches("u.feat")), old_feat);
    EXPECT_FALSE(exists(matches("u.desc")));
  } else {
    EXPECT_EQ(read_bytes(matches("u.feat")), old_feat);
    EXPECT_EQ(read_bytes(matches("u.desc")), old_desc);
    EXPECT_FALSE(temporary_files_in(ws_ + "/caches/matches").empty());
  }
  stopped.signal(c.signal_number);
  stopped.signal(SIGCONT);
  const int status = stopped.wait_for_end();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), c.signal_number);
  if (c.signal_number != SIGKILL) {
    EXPECT_EQ(temporary_files_in(ws_ + "/caches/matches"), std::vector<std::string>{});
  }

  const RunResult next = run({model("valid"), ws_});
  EXPECT_EQ(next.exit_code, 0) << next.err;
  EXPECT_EQ(temporary_files_in(ws_ + "/caches/matches"), std::vector<std::string>{});
  EXPECT_TRUE(complete_pair(read_bytes(matches("u.feat")), read_bytes(matches("u.desc"))));
}

INSTANTIATE_TEST_SUITE_P(Steps, StoppedRun,
                         ::testing::Values(StopCase{"after_keypoint_file", SIGKILL, false},
                                           StopCase{"between_batches", SIGTERM, false},
                                           StopCase{"between_batches", SIGINT, false},
                                           StopCase{"between_batches", SIGHUP, false},
                                           StopCase{"between_renames", SIGKILL, true},
                                           StopCase{"between_renames", SIGTERM, true}),
                         [](const auto& info) {
                           return info.param.step + "_" + std::to_string(info.param.signal_number);
                         });

class RunIgnoringSignal : public ProgramRun, public ::testing::WithParamInterface<int> {};

// A signal ignored when the run starts (nohup, a background job of a script)
// stays ignored: the run goes on to its success line.
TEST_P(RunIgnoringSignal, OutlivesTheSignal) {
  make_workspace(R"({"images": [{"raw1_image": "raw/a.png", "raw2_image": "", "uuid": "u"}]})");
  write_image("raw/a.png", textured_image(2048, 1024, 5));
  BackgroundRun run_in_background({model("valid"), ws_}, root_ + "/log.txt", "between_batches", LF_PROGRAM,
                                  GetParam());
  ASSERT_TRUE(run_in_background.wait_until_stopped()) << read_bytes(root_ + "/log.txt");
  run_in_background.signal(GetParam());
  const int status = run_in_background.continue_to_end();
  ASSERT_TRUE(WIFEXITED(status)) << read_bytes(root_ + "/log.txt");
  EXPECT_EQ(WEXITSTATUS(status), 0) << read_bytes(root_ + "/log.txt");
  EXPECT_TRUE(complete_pair(read_bytes(matches("u.feat")), read_bytes(matches("u.desc"))));
}

INSTANTIATE_TEST_SUITE_P(Signals, RunIgnoringSignal, ::testing::Values(SIGHUP, SIGINT),
                         [](const auto& info) { return std::to_string(info.param); });

// A run that starts while another has just created and opened a temporary
// file, before it took the file's lock, removes that file as stale; the
// creator notices, writes under a new name, and both runs leave complete pairs.
TEST_F(ProgramRun, TemporaryFileRemovedBeforeItsLockIsTakenIsReplaced) {
  make_workspace(R"({"images": [{"raw1_image": "raw/a.png", "raw2_image": "", "uuid": "u"}]})");
  write_image("raw/a.png", textured_image(512, 256, 3));
  BackgroundRun creator({model("valid"), ws_}, root_ + "/creator.txt", "before_lock");
  ASSERT_TRUE(creator.wait_until_stopped()) << read_bytes(root_ + "/creator.txt");
  ASSERT_EQ(temporary_files_in(ws_ + "/caches/matches").size(), 1u);
  const RunResult cleaner = run({model("valid"), ws_});
  EXPECT_EQ(cleaner.exit_code, 0) << cleaner.err;
  const int status = creator.continue_to_end();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << read_bytes(root_ + "/creator.txt");
  EXPECT_TRUE(complete_pair(read_bytes(matches("u.feat")), read_bytes(matches("u.desc"))));
  EXPECT_EQ(temporary_files_in(ws_ + "/caches/matches"), std::vector<std::string>{});
}

// Two runs over one workspace at once (whole runs, or a whole run and a
// shard), round after round: both succeed, and every capture is left with a
// complete pair and no temporary file.
TEST_F(ProgramRun, ConcurrentRunsLeaveCompletePairsAndNoTemporaryFiles) {
  std::string list = R"({"images": [)";
  for (int i = 0; i < 6; ++i)
    list += std::string(i > 0 ? "," : "") + R"({"raw1_image": "raw/a.png", "raw2_image": "", "uuid": "c)" +
            std::to_string(i) + R"("})";
  make_workspace(list + "]}");
  write_image("raw/a.png", textured_image(512, 256, 9));
  for (int round = 0; round < 4; ++round) {
    BackgroundRun first({model("valid"), ws_}, root_ + "/first.txt");
    // Odd rounds race a whole run against a shard run.
    std::vector<std::string> second_args{model("batch_mean"), ws_};
    if (round % 2 == 1) second_args.insert(second_args.end(), {"--shard", "1/2"});
    BackgroundRun second(second_args, root_ + "/second.txt");
    const int first_status = first.wait_for_end(), second_status = second.wait_for_end();
    ASSERT_TRUE(WIFEXITED(first_status) && WEXITSTATUS(first_status) == 0) << read_bytes(root_ + "/first.txt");
    ASSERT_TRUE(WIFEXITED(second_status) && WEXITSTATUS(second_status) == 0) << read_bytes(root_ + "/second.txt");
    for (int i = 0; i < 6; ++i) {
      const std::string uuid = "c" + std::to_string(i);
      EXPECT_TRUE(complete_pair(read_bytes(matches(uuid + ".feat")), read_bytes(matches(uuid + ".desc"))))
          << uuid << " in round " << round;
    }
    EXPECT_EQ(temporary_files_in(ws_ + "/caches/matches"), std::vector<std::string>{});
  }
}

struct LoadCase {
  const char* name;
  const char* library;
  std::string output;  // regular expression
  int signal_number;   // that ends the run, or 0 for exit code 1
};

void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

class BrokenPipelineLibrary : public ProgramRun, public ::testing::WithParamInterface<LoadCase> {};

// The program beside a broken libfeature_run.so: what the library wrote to
// standard error while it was loaded is shown, and a missing entry point is
// named.
TEST_P(BrokenPipelineLibrary, IsReportedWithItsReason) {
  const std::string program = root_ + "/compute_features";
  std::filesystem::copy_file(LF_PROGRAM, program);
  std::filesystem::copy_file(GetParam().library, root_ + "/libfeature_run.so");
  BackgroundRun loading({model("valid"), ws_}, root_ + "/loading.txt", "", program);
  const int status = loading.wait_for_end();
  EXPECT_THAT(read_bytes(root_ + "/loading.txt"), ::testing::MatchesRegex(GetParam().output));
  if (GetParam().signal_number != 0) {
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), GetParam().signal_number);
  } else {
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, BrokenPipelineLibrary,
    ::testing::Values(LoadCase{"AbortsWhileLoading", LF_ABORTING_PIPELINE, "the reason the library gave\n", SIGABRT},
                      LoadCase{"LacksTheEntryPoint", LF_PIPELINE_WITHOUT_ENTRY,
                               "Error: [^\n]*/libfeature_run\\.so: undefined symbol: run_features\n", 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

}  // namespace lf
