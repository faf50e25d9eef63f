#include "workspace/workspace.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/test_platform.h"
#include "platform/test_support.h"
#ifdef _WIN32
#include "windows/posix_test_compat.h"
#endif

namespace lf {

namespace {

TEST(MakeWorkspace, DerivesAllPathsFromTheDataPath) {
  FakePlatform platform;
  ScopedPlatform scoped(platform);
  for (const std::string data_path : {"D:\\scans\\site4", "D:\\scans\\site4\\", "D:/scans/site4",
                                      "D:\\scans\\x\\..\\site4"}) {
    const Workspace workspace = make_workspace(data_path);
    EXPECT_EQ(workspace.data_path, data_path);
    EXPECT_EQ(workspace.caches_folder, "D:\\scans\\site4\\caches\\");
    EXPECT_EQ(workspace.images_folder, "D:\\scans\\site4\\caches\\images\\");
    EXPECT_EQ(workspace.matches_folder, "D:\\scans\\site4\\caches\\matches\\");
    EXPECT_EQ(workspace.capture_list_path, "D:\\scans\\site4\\caches\\images.json");
  }
}

TEST(MakeWorkspace, RelativeDataPathStaysRelative) {
  FakePlatform platform;
  ScopedPlatform scoped(platform);
  for (const std::string data_path : {"site4", ".\\site4"}) {
    const Workspace workspace = make_workspace(data_path);
    EXPECT_EQ(workspace.caches_folder, "site4\\caches\\");
    EXPECT_EQ(workspace.capture_list_path, "site4\\caches\\images.json");
  }
}

// The four checks against injected answers: which one fails and what it says.
class CheckWorkspaceTest : public ::testing::Test {
 protected:
  CheckWorkspaceTest() {
    platform_.entries = {{"D:\\ws", file_type_folder},
                         {"D:\\ws\\caches\\images", file_type_folder},
                         {"D:\\ws\\caches\\matches", file_type_folder},
                         {"D:\\ws\\caches\\images.json", file_type_regular}};
  }
  // The fault as (kind, path); (none, "") when the workspace passes.
  static std::pair<WorkspaceFault::Kind, std::string> check(const std::string& data_path = "D:\\ws") {
    const WorkspaceFault fault = check_workspace(make_workspace(data_path));
    return {fault.kind, fault.path};
  }
  using Kind = WorkspaceFault::Kind;
  using Found = std::pair<Kind, std::string>;
  const Found passes{Kind::none, ""};
  FakePlatform platform_;
  ScopedPlatform scoped_{platform_};
};

TEST_F(CheckWorkspaceTest, CompleteWorkspacePasses) {
  EXPECT_EQ(check(), passes);
  EXPECT_TRUE(platform_.created.empty());
}

TEST_F(CheckWorkspaceTest, DataFolderFaultRepeatsTheArgument) {
  platform_.entries["D:\\ws"] = file_type_regular;
  EXPECT_EQ(check("D:/ws/"), Found(Kind::data_folder_missing, "D:/ws/"));
}

TEST_F(CheckWorkspaceTest, MissingImagesFolderNamesIt) {
  platform_.entries.erase("D:\\ws\\caches\\images");
  EXPECT_EQ(check(), Found(Kind::images_folder_missing, "D:\\ws\\caches\\images\\"));
}

TEST_F(CheckWorkspaceTest, MissingMatchesFolderIsCreatedWithItsRenderedPath) {
  platform_.entries.erase("D:\\ws\\caches\\matches");
  EXPECT_EQ(check(), passes);
  EXPECT_EQ(platform_.created, std::set<std::string>{"D:\\ws\\caches\\matches\\"});
}

TEST_F(CheckWorkspaceTest, MatchesFolderThatCannotBeCreated) {
  platform_.entries["D:\\ws\\caches\\matches"] = file_type_regular;
  platform_.folder_creation_fails = true;
  EXPECT_EQ(check(), Found(Kind::matches_folder_not_created, "D:\\ws\\caches\\matches\\"));
}

TEST_F(CheckWorkspaceTest, MatchesFolderMadeByAnotherRunMeanwhileIsAccepted) {
  platform_.entries.erase("D:\\ws\\caches\\matches");
  platform_.folder_made_by_another_process = true;
  EXPECT_EQ(check(), passes);
}

TEST_F(CheckWorkspaceTest, CaptureListMustBeAFile) {
  for (const int type : {-1, file_type_folder}) {
    if (type < 0) {
      platform_.entries.erase("D:\\ws\\caches\\images.json");
    } else {
      platform_.entries["D:\\ws\\caches\\images.json"] = type;
    }
    EXPECT_EQ(check(), Found(Kind::capture_list_missing, "D:\\ws\\caches\\images.json"));
  }
}

TEST_F(CheckWorkspaceTest, PipeCountsAsAFile) {
  platform_.entries["D:\\ws\\caches\\images.json"] = file_type_pipe;
  EXPECT_EQ(check(), passes);
}

// The same checks on the real disk: the matches folder is really created and
// stays when the capture list check fails.
TEST(CheckWorkspaceOnDisk, CreatesMatchesFolderAndKeepsIt) {
  const TemporaryFolder folder("lf_ws_");
  const std::string root = folder.path();
  ASSERT_EQ(::mkdir((root + "/caches").c_str(), 0777), 0);
  ASSERT_EQ(::mkdir((root + "/caches/images").c_str(), 0777), 0);

  EXPECT_EQ(check_workspace(make_workspace(root)).kind, WorkspaceFault::Kind::capture_list_missing);
  struct stat status;
  ASSERT_EQ(::stat((root + "/caches/matches").c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));

  std::ofstream(root + "/caches/images.json") << "{}";
  EXPECT_FALSE(check_workspace(make_workspace(root + "/")));
}

}  // namespace

}  // namespace lf
