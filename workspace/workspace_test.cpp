#include "workspace/workspace.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "workspace/platform.h"
#include "workspace/test_platform.h"
#include "workspace/test_support.h"
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
  std::string check() {
    err_.str("");
    passed_ = check_workspace(make_workspace("D:\\ws"), err_);
    return err_.str();
  }
  FakePlatform platform_;
  ScopedPlatform scoped_{platform_};
  std::ostringstream err_;
  bool passed_ = false;
};

TEST_F(CheckWorkspaceTest, CompleteWorkspacePassesSilently) {
  EXPECT_EQ(check(), "");
  EXPECT_TRUE(passed_);
  EXPECT_TRUE(platform_.created.empty());
}

TEST_F(CheckWorkspaceTest, DataFolderMessageRepeatsTheArgument) {
  platform_.entries["D:\\ws"] = file_type_regular;
  err_.str("");
  EXPECT_FALSE(check_workspace(make_workspace("D:/ws/"), err_));
  EXPECT_EQ(err_.str(), "Error: folder D:/ws/ doesn't exist\n");
}

TEST_F(CheckWorkspaceTest, MissingImagesFolderNamesIt) {
  platform_.entries.erase("D:\\ws\\caches\\images");
  EXPECT_EQ(check(), "Error: folder D:\\ws\\caches\\images\\ doesn't exist\n");
  EXPECT_FALSE(passed_);
}

TEST_F(CheckWorkspaceTest, MissingMatchesFolderIsCreatedWithItsRenderedPath) {
  platform_.entries.erase("D:\\ws\\caches\\matches");
  EXPECT_EQ(check(), "");
  EXPECT_TRUE(passed_);
  EXPECT_EQ(platform_.created, std::set<std::string>{"D:\\ws\\caches\\matches\\"});
}

TEST_F(CheckWorkspaceTest, MatchesFolderThatCannotBeCreated) {
  platform_.entries["D:\\ws\\caches\\matches"] = file_type_regular;
  platform_.folder_creation_fails = true;
  EXPECT_EQ(check(), "Error: folder D:\\ws\\caches\\matches\\ doesn't exist and can not be created\n");
}

TEST_F(CheckWorkspaceTest, MatchesFolderMadeByAnotherRunMeanwhileIsAccepted) {
  platform_.entries.erase("D:\\ws\\caches\\matches");
  platform_.folder_made_by_another_process = true;
  EXPECT_EQ(check(), "");
}

TEST_F(CheckWorkspaceTest, CaptureListMustBeAFile) {
  for (const int type : {-1, file_type_folder}) {
    if (type < 0) {
      platform_.entries.erase("D:\\ws\\caches\\images.json");
    } else {
      platform_.entries["D:\\ws\\caches\\images.json"] = type;
    }
    EXPECT_EQ(check(), "Error: file D:\\ws\\caches\\images.json doesn't exist\n");
  }
}

TEST_F(CheckWorkspaceTest, PipeCountsAsAFile) {
  platform_.entries["D:\\ws\\caches\\images.json"] = file_type_pipe;
  EXPECT_EQ(check(), "");
}

// The same checks on the real disk: the matches folder is really created and
// stays when the capture list check fails.
TEST(CheckWorkspaceOnDisk, CreatesMatchesFolderAndKeepsIt) {
  const TemporaryFolder folder("lf_ws_");
  const std::string root = folder.path();
  ASSERT_EQ(::mkdir((root + "/caches").c_str(), 0777), 0);
  ASSERT_EQ(::mkdir((root + "/caches/images").c_str(), 0777), 0);

  std::ostringstream err;
  EXPECT_FALSE(check_workspace(make_workspace(root), err));
  EXPECT_NE(err.str().find("Error: file "), std::string::npos);
  struct stat status;
  ASSERT_EQ(::stat((root + "/caches/matches").c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));

  std::ofstream(root + "/caches/images.json") << "{}";
  err.str("");
  EXPECT_TRUE(check_workspace(make_workspace(root + "/"), err));
  EXPECT_EQ(err.str(), "");
}

}  // namespace

}  // namespace lf
