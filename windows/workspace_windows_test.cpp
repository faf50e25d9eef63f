// Path and workspace logic against the real Windows C runtime: drive letters,
// per-drive current directories, _stat64i32 and _mkdir. Expected paths are
// built from the test's own folder, whose full path comes from the Win32 API.
//
// The tests must start in a folder on a drive (scripts/windows_tests.sh starts
// them in a folder on wine's Z:, which maps to the Linux root).

#include <windows.h>

#include <cctype>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "workspace/path_utils.h"
#include "platform/platform.h"
#include "platform/test_platform.h"
#include "platform/test_support.h"
#include "workspace/workspace.h"

namespace lf {

namespace {

std::string current_directory() {
  char buffer[MAX_PATH + 1];
  const DWORD length = GetCurrentDirectoryA(sizeof buffer, buffer);
  return length > 0 && length < sizeof buffer ? std::string(buffer, length) : std::string();
}

bool is_folder_on_disk(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool drive_exists(char letter) { return (GetLogicalDrives() >> (letter - 'A')) & 1u; }

// A drive letter the system lacks ("D" where possible), or 0.
char missing_drive_letter() {
  for (char letter = 'D'; letter <= 'Y'; ++letter) {
    if (!drive_exists(letter)) return letter;
  }
  return 0;
}

std::string parsed(const std::string& text) {
  FolderPath folder;
  folder.parse(text);
  return folder.to_string();
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// An injected platform holding what the runtime answers now, to show that the
// injected-platform tests model the runtime faithfully.
FakePlatform runtime_answers() {
  FakePlatform answers;
  answers.drive = system_platform().current_drive();
  for (int drive = 1; drive <= 26; ++drive) {
    std::string directory;
    if (system_platform().drive_current_directory(drive, directory)) answers.drive_directories[drive] = directory;
  }
  return answers;
}

// Runs in a fresh folder "<start>\lf_win_<n>" holding "sub\" and "file.txt",
// made the current directory; everything is restored afterwards.
class RealDriveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    start_ = current_directory();
    ASSERT_GE(start_.size(), 3u);
    ASSERT_EQ(start_[1], ':') << "the tests must start in a folder on a drive, not in " << start_;
    parent_ = start_.size() == 3 ? start_.substr(0, 2) : start_;
    folder_.emplace(parent_ + "\\", "lf_win_");
    work_ = folder_->path();
    ASSERT_TRUE(CreateDirectoryA((work_ + "\\sub").c_str(), nullptr));
    std::ofstream(work_ + "\\file.txt") << "x";
    ASSERT_TRUE(SetCurrentDirectoryA(work_.c_str()));
  }

  // The folder goes after this: not while it is the current directory.
  void TearDown() override {
    for (const std::string& name : environment_set_) SetEnvironmentVariableA(name.c_str(), nullptr);
    SetCurrentDirectoryA(start_.c_str());
  }

  // Fills in <d> (drive "Z:"), <dl> (the same in lower case), <t> (the work
  // folder without its drive), <pt> (its parent without the drive) and <u>
  // (a missing drive).
  std::string expand(const std::string& text) const {
    std::string lower_drive = work_.substr(0, 2);
    lower_drive[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower_drive[0])));
    std::string result = replace_all(text, "<dl>", lower_drive);
    result = replace_all(result, "<d>", work_.substr(0, 2));
    result = replace_all(result, "<pt>", parent_.substr(2));
    result = replace_all(result, "<t>", work_.substr(2));
    return replace_all(result, "<u>", std::string(1, missing_drive_letter()) + ":");
  }

  // Records the current directory of the drive of `directory` the way the
  // Windows command shell does, in the hidden variable "=X:".
  void remember_drive_directory(const std::string& directory) {
    const std::string name = "=" + directory.substr(0, 2);
    ASSERT_TRUE(SetEnvironmentVariableA(name.c_str(), directory.c_str()));
    environment_set_.push_back(name);
  }

  std::string start_;
  std::string parent_;  // start folder without a trailing separator ("Z:" for a root)
  std::optional<TemporaryFolder> folder_;
  std::string work_;
  std::vector<std::string> environment_set_;
};

struct ParseCase {
  const char* name;
  std::string input;
  std::string expected;
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

class RealFolderPathTable : public RealDriveTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(RealFolderPathTable, RuntimeAndInjectedAnswersRenderAlike) {
  if (GetParam().input.find("<u>") != std::string::npos && missing_drive_letter() == 0) {
    GTEST_SKIP() << "every drive letter is in use";
  }
  const std::string input = expand(GetParam().input);
  const std::string expected = expand(GetParam().expected);
  EXPECT_EQ(parsed(input), expected) << "runtime, input " << input;

  const FakePlatform answers = runtime_answers();
  ScopedPlatform injected(answers);
  EXPECT_EQ(parsed(input), expected) << "injected runtime answers, input " << input;
}

INSTANTIATE_TEST_SUITE_P(
    Drives, RealFolderPathTable,
    ::testing::Values(ParseCase{"DriveAloneIsItsCurrentFolder", "<d>", "<d><t>\\"},
                      ParseCase{"DriveRelative", "<d>sub", "<d><t>\\sub\\"},
                      ParseCase{"LowerCaseDriveKeepsItsCase", "<dl>sub", "<dl><t>\\sub\\"},
                      ParseCase{"DriveRelativeClimbsOut", "<d>sub\\..\\..", "<d><pt>\\"},
                      ParseCase{"DriveRelativeWithSlashes", "<d>sub/x/", "<d><t>\\sub\\x\\"},
                      ParseCase{"FullPathIsKept", "<d><t>\\sub", "<d><t>\\sub\\"},
                      ParseCase{"RootedTakesTheCurrentDrive", "\\data", "<d>\\data\\"},
                      ParseCase{"RootedWithSlashes", "/data/x/../y", "<d>\\data\\y\\"},
                      ParseCase{"RootedClimbStopsAtTheRoot", "\\..\\data", "<d>\\data\\"},
                      ParseCase{"RelativeIsNotCompleted", "sub", "sub\\"},
                      ParseCase{"MissingDriveAloneIsItsRoot", "<u>", "<u>\\"},
                      ParseCase{"MissingDriveRelative", "<u>sub", "<u>\\sub\\"}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

// A drive that is not the current one keeps its own current folder.
TEST_F(RealDriveTest, OtherDriveKeepsItsCurrentFolder) {
  char other = 0;
  for (char letter = 'C'; letter <= 'Z' && other == 0; ++letter) {
    const std::string root = std::string(1, letter) + ":\\";
    if (letter != work_[0] && drive_exists(letter) && is_folder_on_disk(root)) other = letter;
  }
  if (other == 0) GTEST_SKIP() << "no second drive";
  remember_drive_directory(work_);
  ASSERT_TRUE(SetCurrentDirectoryA((std::string(1, other) + ":\\").c_str()));

  const std::string drive = work_.substr(0, 2);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {drive + "sub", work_ + "\\sub\\"},
      {drive, work_ + "\\"},
      {"\\data", std::string(1, other) + ":\\data\\"}};
  const FakePlatform answers = runtime_answers();
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(parsed(input), expected) << "runtime, input " << input;
    ScopedPlatform injected(answers);
    EXPECT_EQ(parsed(input), expected) << "injected runtime answers, input " << input;
  }
}

// The runtime's answers have the form the injected-platform tests give theirs.
TEST_F(RealDriveTest, RuntimeAnswersHaveTheInjectedForm) {
  const Platform& runtime = system_platform();
  EXPECT_EQ(runtime.current_drive(), std::toupper(static_cast<unsigned char>(work_[0])) - 'A' + 1);

  std::string directory;
  ASSERT_TRUE(runtime.drive_current_directory(runtime.current_drive(), directory));
  EXPECT_EQ(directory, work_) << "current folder without a trailing separator";
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    if (!drive_exists(letter) || !runtime.drive_current_directory(letter - 'A' + 1, directory)) continue;
    EXPECT_EQ(directory.substr(0, 3), std::string(1, letter) + ":\\");
  }
  const char missing = missing_drive_letter();
  if (missing != 0) {
    EXPECT_FALSE(runtime.drive_current_directory(missing - 'A' + 1, directory));
  }

  EXPECT_EQ(runtime.file_type(work_), file_type_folder);
  EXPECT_EQ(runtime.file_type(work_ + "\\sub"), file_type_folder);
  EXPECT_EQ(runtime.file_type(work_ + "\\file.txt"), file_type_regular);
  EXPECT_EQ(runtime.file_type(work_ + "\\missing"), -1);
}

TEST_F(RealDriveTest, MakeFolderCreatesOneLevelOnly) {
  const Platform& runtime = system_platform();
  EXPECT_EQ(runtime.make_folder(work_ + "\\made\\"), 0);
  EXPECT_TRUE(is_folder_on_disk(work_ + "\\made"));
  EXPECT_NE(runtime.make_folder(work_ + "\\made\\"), 0) << "exists already";
  EXPECT_NE(runtime.make_folder(work_ + "\\a\\b"), 0);
  EXPECT_FALSE(is_folder_on_disk(work_ + "\\a"));
  if (missing_drive_letter() != 0) {
    EXPECT_NE(runtime.make_folder(expand("<u>\\x")), 0);
  }
}

struct TypeCase {
  const char* name;
  std::string path;
  bool folder;
  bool file;
};

void PrintTo(const TypeCase& c, std::ostream* out) { *out << c.name; }

class RealFileTypeTable : public RealDriveTest, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(RealFileTypeTable, AsksTheRuntime) {
  const std::string path = expand(GetParam().path);
  EXPECT_EQ(path_is_folder(path), GetParam().folder) << path;
  EXPECT_EQ(path_is_file(path), GetParam().file) << path;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RealFileTypeTable,
    ::testing::Values(TypeCase{"Folder", "<d><t>", true, false},
                      TypeCase{"FolderWithBackslash", "<d><t>\\", true, false},
                      TypeCase{"FolderWithSlash", "<d><t>/", true, false},
                      TypeCase{"SubFolderWithBackslash", "<d><t>\\sub\\", true, false},
                      // One separator is dropped; the runtime refuses the second.
                      TypeCase{"SubFolderWithTwoBackslashes", "<d><t>\\sub\\\\", false, false},
                      TypeCase{"File", "<d><t>\\file.txt", false, true},
                      TypeCase{"FileWithBackslash", "<d><t>\\file.txt\\", false, true},
                      TypeCase{"FileWithTwoBackslashes", "<d><t>\\file.txt\\\\", false, false},
                      TypeCase{"FileWithMixedSeparators", "<d><t>/sub/../file.txt", false, true},
                      TypeCase{"Missing", "<d><t>\\missing", false, false},
                      TypeCase{"MissingWithBackslash", "<d><t>\\missing\\", false, false},
                      TypeCase{"RelativeFolder", "sub", true, false},
                      TypeCase{"RelativeFile", "file.txt", false, true},
                      TypeCase{"DriveRelativeFolder", "<d>sub\\", true, false},
                      TypeCase{"DriveRelativeFile", "<d>file.txt", false, true},
                      TypeCase{"RootedWithoutDrive", "<t>\\sub", true, false},
                      // A root keeps its separator: "Z:" alone would be the current folder.
                      TypeCase{"DriveRootWithOneBackslash", "<d>\\", true, false},
                      TypeCase{"DriveRootWithTwoBackslashes", "<d>\\\\", true, false},
                      TypeCase{"MissingDrive", "<u>\\", false, false}),
    [](const ::testing::TestParamInfo<TypeCase>& info) { return std::string(info.param.name); });

struct DataPathCase {
  const char* name;
  std::string data_path;
  std::string caches;  // expected caches folder
};

void PrintTo(const DataPathCase& c, std::ostream* out) { *out << c.name; }

class RealWorkspaceTable : public RealDriveTest, public ::testing::WithParamInterface<DataPathCase> {
 protected:
  void SetUp() override {
    RealDriveTest::SetUp();
    if (HasFatalFailure()) return;
    for (const char* folder : {"\\data", "\\data\\caches", "\\data\\caches\\images"}) {
      ASSERT_TRUE(CreateDirectoryA((work_ + folder).c_str(), nullptr)) << folder;
    }
  }
};

TEST_P(RealWorkspaceTable, CreatesTheMatchesFolderThenPasses) {
  const std::string data_path = expand(GetParam().data_path);
  const std::string caches = expand(GetParam().caches);
  const Workspace workspace = make_workspace(data_path);
  EXPECT_EQ(workspace.data_path, data_path);
  EXPECT_EQ(workspace.matches_folder, caches + "matches\\");
  EXPECT_EQ(workspace.capture_list_path, caches + "images.json");

  const WorkspaceFault fault = check_workspace(workspace);
  EXPECT_EQ(fault.kind, WorkspaceFault::Kind::capture_list_missing);
  EXPECT_EQ(fault.path, caches + "images.json");
  EXPECT_TRUE(is_folder_on_disk(work_ + "\\data\\caches\\matches"));

  std::ofstream(work_ + "\\data\\caches\\images.json") << "{}";
  EXPECT_FALSE(check_workspace(workspace));
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, RealWorkspaceTable,
    ::testing::Values(DataPathCase{"Full", "<d><t>\\data", "<d><t>\\data\\caches\\"},
                      DataPathCase{"FullWithSlashes", "<d><t>/data/", "<d><t>\\data\\caches\\"},
                      DataPathCase{"DriveRelative", "<d>data", "<d><t>\\data\\caches\\"},
                      DataPathCase{"LowerCaseDrive", "<dl><t>\\data\\", "<dl><t>\\data\\caches\\"},
                      DataPathCase{"RootedWithoutDrive", "<t>\\data", "<d><t>\\data\\caches\\"},
                      DataPathCase{"Relative", "data", "data\\caches\\"},
                      DataPathCase{"RelativeWithDots", ".\\sub\\..\\data", "data\\caches\\"}),
    [](const ::testing::TestParamInfo<DataPathCase>& info) { return std::string(info.param.name); });

TEST_F(RealDriveTest, WorkspaceFailuresOnTheRealDisk) {
  const std::string drive = work_.substr(0, 2);
  using Kind = WorkspaceFault::Kind;
  using Found = std::pair<Kind, std::string>;
  const auto check = [](const std::string& data_path) {
    const WorkspaceFault fault = check_workspace(make_workspace(data_path));
    return Found(fault.kind, fault.path);
  };
  EXPECT_EQ(check(drive + "nothing"), Found(Kind::data_folder_missing, drive + "nothing"));
  EXPECT_EQ(check("file.txt"), Found(Kind::data_folder_missing, "file.txt"));
  EXPECT_EQ(check(drive + "sub"), Found(Kind::images_folder_missing, work_ + "\\sub\\caches\\images\\"));

  // A file where the matches folder belongs cannot be replaced by a folder.
  ASSERT_TRUE(CreateDirectoryA((work_ + "\\sub\\caches").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((work_ + "\\sub\\caches\\images").c_str(), nullptr));
  std::ofstream(work_ + "\\sub\\caches\\matches") << "x";
  EXPECT_EQ(check(drive + "sub"), Found(Kind::matches_folder_not_created, work_ + "\\sub\\caches\\matches\\"));
}

}  // namespace

}  // namespace lf
