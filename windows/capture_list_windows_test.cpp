// The capture-list reader on Windows, where the list is opened in text mode:
// the runtime turns CR LF into LF and ends the text at the first Ctrl-Z.

#include <cctype>
#include <fstream>
#include <string>
#include <vector>

#include <cereal/archives/json.hpp>
#include <gtest/gtest.h>

#include "capture_list/capture_list.h"
#include "platform/test_support.h"

namespace lf {

namespace {

struct Expected {
  std::string raw1_image;
  std::string raw2_image;
  std::string uuid;
};

struct TextCase {
  const char* name;
  std::string bytes;
  std::vector<Expected> records;
};

void PrintTo(const TextCase& c, std::ostream* out) { *out << c.name; }

// A fresh file in the temporary folder, named by a drive-letter path.
class CaptureListOnDrive : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(path_[1], ':') << "a drive-letter path"; }
  const TemporaryFolder folder_{"lf_list_"};
  const std::string path_ = folder_.path() + "\\images.json";
};

class CaptureListTextMode : public CaptureListOnDrive, public ::testing::WithParamInterface<TextCase> {};

TEST_P(CaptureListTextMode, ReadsTheTranslatedText) {
  std::ofstream(path_, std::ios::binary) << GetParam().bytes;
  const std::vector<CaptureRecord> records = load_capture_list(path_);
  const std::vector<Expected>& expected = GetParam().records;
  ASSERT_EQ(records.size(), expected.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].raw1_image, expected[i].raw1_image);
    EXPECT_EQ(records[i].raw2_image, expected[i].raw2_image);
    EXPECT_EQ(records[i].has_raw2_image, !expected[i].raw2_image.empty());
    EXPECT_EQ(records[i].uuid, expected[i].uuid);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, CaptureListTextMode,
    ::testing::Values(
        TextCase{"CrLfLineEnds",
                 "{\r\n  \"images\": [\r\n    {\"raw1_image\": \"raw\\\\a.jpg\",\r\n"
                 "     \"raw2_image\": \"raw\\\\b.jpg\",\r\n     \"uuid\": \"u1\"},\r\n"
                 "    {\"uuid\": \"u2\", \"raw2_image\": \"\", \"raw1_image\": \"c.jpg\"}\r\n  ]\r\n}\r\n",
                 {{"raw\\a.jpg", "raw\\b.jpg", "u1"}, {"c.jpg", "", "u2"}}},
        TextCase{"LoneCarriageReturns", "{\"images\":\r[{\"raw1_image\": \"a\",\r\"raw2_image\": \"\","
                                        "\r\"uuid\": \"u\"}]}\r",
                 {{"a", "", "u"}}},
        TextCase{"EscapedLineEndsStayInTheValue",
                 "{\"images\": [{\"raw1_image\": \"a\", \"raw2_image\": \"\", \"uuid\": \"x\\r\\ny\"}]}\r\n",
                 {{"a", "", "x\r\ny"}}},
        TextCase{"CtrlZEndsTheText",
                 "{\"images\": [{\"raw1_image\": \"a\", \"raw2_image\": \"\", \"uuid\": \"u\"}]}\r\n\x1A"
                 "{not json",
                 {{"a", "", "u"}}},
        TextCase{"EmptyListBeforeCtrlZ", std::string("{\"images\": []}\x1A\x1A\0\xFF", 18), {}}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

TEST_F(CaptureListOnDrive, CtrlZInsideTheListCutsIt) {
  std::ofstream(path_, std::ios::binary)
      << "{\"images\": [\x1A{\"raw1_image\": \"a\", \"raw2_image\": \"\", \"uuid\": \"u\"}]}";
  try {
    load_capture_list(path_);
    FAIL() << "no exception";
  } catch (const cereal::RapidJSONException& error) {
    EXPECT_EQ(std::string(error.what()), "rapidjson internal assertion failure: IsObject()");
  }
}

TEST_F(CaptureListOnDrive, AnySeparatorSpellingOpensTheFile) {
  std::ofstream(path_, std::ios::binary)
      << "{\"images\": [{\"raw1_image\": \"a\", \"raw2_image\": \"\", \"uuid\": \"u\"}]}";
  std::string with_slashes = path_;
  for (char& c : with_slashes) {
    if (c == '\\') c = '/';
  }
  std::string lower_case_drive = path_;
  lower_case_drive[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower_case_drive[0])));
  for (const std::string& path : {path_, with_slashes, lower_case_drive}) {
    const std::vector<CaptureRecord> records = load_capture_list(path);
    ASSERT_EQ(records.size(), 1u) << path;
    EXPECT_EQ(records[0].uuid, "u") << path;
  }
}

TEST_F(CaptureListOnDrive, MissingFileOnADriveFailsLikeAnEmptyDocument) {
  for (const std::string& path : {path_ + "_missing", path_ + "\\images.json"}) {
    try {
      load_capture_list(path);
      ADD_FAILURE() << "no exception for " << path;
    } catch (const cereal::RapidJSONException& error) {
      EXPECT_EQ(std::string(error.what()), "rapidjson internal assertion failure: IsObject()") << path;
    }
  }
}

}  // namespace

}  // namespace lf
