#include "workspace/path_utils.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/test_platform.h"
#include "platform/test_support.h"
#ifdef _WIN32
#include "windows/posix_test_compat.h"
#endif

namespace lf {

namespace {

constexpr int drive_d = 4;
constexpr int drive_e = 5;

// Current drive E; drive D's current directory is D:\work.
class PathWithDrivesTest : public ::testing::Test {
 protected:
  PathWithDrivesTest() {
    platform_.drive = drive_e;
    platform_.drive_directories[drive_d] = "D:\\work";
  }
  FakePlatform platform_;
  ScopedPlatform scoped_{platform_};
};

std::string parsed(const std::string& text) {
  FolderPath folder;
  folder.parse(text);
  return folder.to_string();
}

struct Case {
  std::string input;
  std::string expected;
};

// Short test names in CTest: the input rather than the bytes of the case.
void PrintTo(const Case& c, std::ostream* os) { *os << '"' << c.input << '"'; }

class FolderPathTable : public PathWithDrivesTest, public ::testing::WithParamInterface<Case> {};

TEST_P(FolderPathTable, ParseAndRender) { EXPECT_EQ(parsed(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Rendering, FolderPathTable,
    ::testing::Values(Case{"a/../../b", "..\\b\\"}, Case{"D:/../x", "D:\\x\\"}, Case{"a//b", "a\\b\\"},
                      Case{"a/./b", "a\\b\\"}, Case{"/data", "E:\\data\\"}, Case{"D:", "D:\\work\\"},
                      Case{"D:sub", "D:\\work\\sub\\"}, Case{"d:/x", "d:\\x\\"},
                      Case{"//server/share/dir", "//server\\share\\dir\\"}, Case{"//server", "//server\\"},
                      Case{".", ".\\"}, Case{"", ".\\"}, Case{"a/b/../../..", "..\\"},
                      Case{"../../a/..", "..\\..\\"}, Case{"\\\\srv\\x\\..\\..", "\\\\srv\\"},
                      Case{"D:\\a\\b\\..\\.\\c\\\\", "D:\\a\\c\\"}));

struct FolderCase {
  std::string base;
  std::string expected;
};

void PrintTo(const FolderCase& c, std::ostream* os) { *os << '"' << c.base << '"'; }

class MakeFolderPathTable : public PathWithDrivesTest, public ::testing::WithParamInterface<FolderCase> {};

TEST_P(MakeFolderPathTable, AppendsCaches) {
  EXPECT_EQ(make_folder_path(GetParam().base, "caches"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Bases, MakeFolderPathTable,
                         ::testing::Values(FolderCase{"D:\\data", "D:\\data\\caches\\"},
                                           FolderCase{"D:/data/", "D:\\data\\caches\\"},
                                           FolderCase{"data", "data\\caches\\"}, FolderCase{".", "caches\\"},
                                           FolderCase{"../x", "..\\x\\caches\\"},
                                           FolderCase{"D:\\scans\\x\\..\\site4", "D:\\scans\\site4\\caches\\"}));

TEST_F(PathWithDrivesTest, MakeFolderPathDoesNotSplitTheName) {
  EXPECT_EQ(make_folder_path("D:\\data", "a/../b"), "D:\\data\\a/../b\\");
}

TEST(PathWithoutAnswers, FailedDriveQueryStartsAtTheDriveRoot) {
  FakePlatform platform;
  platform.drive = drive_e;
  ScopedPlatform scoped(platform);
  EXPECT_EQ(parsed("D:sub"), "D:\\sub\\");
}

TEST(PathWithoutAnswers, DriveDirectoryEndingInSeparatorGetsNoSecondOne) {
  FakePlatform platform;
  platform.drive_directories[drive_d] = "D:\\";
  ScopedPlatform scoped(platform);
  EXPECT_EQ(parsed("D:sub"), "D:\\sub\\");
}

TEST(PathWithoutAnswers, RootedPathWithoutDrivesKeepsAnEmptyRoot) {
  FakePlatform no_drives;
  ScopedPlatform scoped(no_drives);
  EXPECT_EQ(make_folder_path("/data/ws", "caches"), "\\data\\ws\\caches\\");
  FolderPath folder;
  folder.parse("/data/../..");
  EXPECT_FALSE(folder.relative);
  EXPECT_TRUE(folder.root.empty());
  EXPECT_TRUE(folder.parts.empty());
}

// A root keeps its one separator when asked about: "D:" alone would name the
// drive's current folder, and an empty path nothing.
TEST(PathQueries, RootsAreAskedWithTheirSeparator) {
  FakePlatform platform;
  platform.entries = {{"D:\\", file_type_folder}, {"/", file_type_folder}, {"D:\\data", file_type_folder}};
  ScopedPlatform scoped(platform);
  EXPECT_TRUE(path_is_folder("D:\\"));
  EXPECT_TRUE(path_is_folder("/"));
  EXPECT_TRUE(path_is_folder("D:\\data\\"));
  EXPECT_FALSE(path_is_folder("D:"));
}

struct JoinCase {
  std::string folder;
  std::string name;
  std::string expected;
};

void PrintTo(const JoinCase& c, std::ostream* os) { *os << '"' << c.folder << "\" + \"" << c.name << '"'; }

class JoinPathTable : public ::testing::TestWithParam<JoinCase> {};

TEST_P(JoinPathTable, Joins) {
  EXPECT_EQ(join_path(GetParam().folder, GetParam().name), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Names, JoinPathTable,
                         ::testing::Values(JoinCase{"D:\\data", "img/a.png", "D:\\data\\img/a.png"},
                                           JoinCase{"D:\\data\\", "a.png", "D:\\data\\a.png"},
                                           JoinCase{"D:/data/", "a.png", "D:/data/a.png"},
                                           JoinCase{"", "a.png", "a.png"},
                                           JoinCase{"D:\\data", "\\a.png", "D:\\data\\\\a.png"}));

struct FileCase {
  std::string folder;
  std::string stem;
  std::string extension;
  std::string expected;
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << '"' << c.expected << '"'; }

class MakeFilePathTable : public ::testing::TestWithParam<FileCase> {};

TEST_P(MakeFilePathTable, Builds) {
  const FileCase& c = GetParam();
  EXPECT_EQ(make_file_path(c.folder, c.stem, c.extension), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Files, MakeFilePathTable,
                         ::testing::Values(FileCase{"D:\\out", "id7", "desc", "D:\\out\\id7.desc"},
                                           FileCase{"D:\\out\\", "id7", ".desc", "D:\\out\\id7.desc"},
                                           FileCase{"D:\\out", "id7", "", "D:\\out\\id7"},
                                           FileCase{"", "images", "json", "images.json"}));

// The real file system, with backslash paths translated by the platform layer.
class PathOnDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(folder_ + "/file.txt") << "x";
    ASSERT_EQ(::mkdir((folder_ + "/sub").c_str(), 0777), 0);
  }
  const TemporaryFolder temporary_{"lf_paths_"};
  const std::string folder_ = temporary_.path();
};

TEST_F(PathOnDiskTest, TellsFoldersFromFiles) {
  EXPECT_TRUE(path_is_folder(folder_));
  EXPECT_TRUE(path_is_folder(folder_ + "/"));
  EXPECT_TRUE(path_is_folder(folder_ + "\\sub\\"));
  EXPECT_FALSE(path_is_file(folder_ + "\\sub"));
  EXPECT_TRUE(path_is_file(folder_ + "\\file.txt"));
  EXPECT_FALSE(path_is_folder(folder_ + "\\file.txt"));
  EXPECT_FALSE(path_is_file(folder_ + "\\missing"));
  EXPECT_FALSE(path_is_folder(folder_ + "\\missing"));
  EXPECT_FALSE(path_is_folder(""));
}

TEST_F(PathOnDiskTest, OneTrailingSeparatorIsDroppedBeforeAsking) {
  EXPECT_TRUE(path_is_file(folder_ + "\\file.txt\\"));
  EXPECT_FALSE(path_is_file(folder_ + "\\file.txt\\\\"));
  EXPECT_FALSE(path_is_file(folder_ + "\\sub\\\\"));
}

TEST_F(PathOnDiskTest, RenderedFolderPathsReachTheDisk) {
  const std::string sub = make_folder_path(folder_, "sub");
  std::string expected = folder_ + "\\sub\\";
  std::replace(expected.begin(), expected.end(), '/', '\\');
  EXPECT_EQ(sub, expected);
  EXPECT_TRUE(path_is_folder(sub));
#ifdef _WIN32
  EXPECT_EQ(native_path(sub), sub);  // the runtime takes backslashes as they are
#else
  EXPECT_EQ(native_path(sub), folder_ + "/sub/");
#endif
}

}  // namespace

}  // namespace lf
