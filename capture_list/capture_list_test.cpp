#include "capture_list/capture_list.h"

#include <filesystem>
#include <fstream>
#include <string>

#include <cereal/archives/json.hpp>
#include <gtest/gtest.h>

#include "platform/test_support.h"

namespace lf {

namespace {

class CaptureListFile : public ::testing::Test {
 protected:
  std::vector<CaptureRecord> load(const std::string& text) {
    std::ofstream(path_, std::ios::binary) << text;
    return load_capture_list(path_);
  }
  const TemporaryFolder folder_{"lf_list_"};
  const std::string path_ = (std::filesystem::path(folder_.path()) / "images.json").string();
};

TEST_F(CaptureListFile, ReadsRecordsInOrderWithKeysInAnyOrder) {
  const auto records = load(R"({"other": [1, 2], "images": [
      {"raw1_image": "a.jpg", "raw2_image": "", "uuid": "u1", "extra": {"x": null}},
      {"uuid": "u2", "raw2_image": "c\\d.png", "raw1_image": "b.png"}]})");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].raw1_image, "a.jpg");
  EXPECT_EQ(records[0].raw2_image, "");
  EXPECT_FALSE(records[0].has_raw2_image);
  EXPECT_EQ(records[0].uuid, "u1");
  EXPECT_EQ(records[1].raw1_image, "b.png");
  EXPECT_EQ(records[1].raw2_image, "c\\d.png");
  EXPECT_TRUE(records[1].has_raw2_image);
  EXPECT_EQ(records[1].uuid, "u2");
}

TEST_F(CaptureListFile, EmptyImagesArrayGivesAnEmptyList) {
  EXPECT_TRUE(load("{\"images\": []}\r\n\t ").empty());
}

TEST_F(CaptureListFile, RepeatedKeyPrefersTheMemberAfterThePreviousRead) {
  auto records = load(R"({"images": [{"raw1_image": "a", "raw2_image": "first", "raw2_image": "second", "uuid": "u"}]})");
  EXPECT_EQ(records.at(0).raw2_image, "first");
  records = load(R"({"images": [{"raw2_image": "first", "raw1_image": "a", "raw2_image": "second", "uuid": "u"}]})");
  EXPECT_EQ(records.at(0).raw2_image, "second");
}

TEST_F(CaptureListFile, EscapedNulCutsTheUuid) {
  const auto records = load(R"({"images": [{"raw1_image": "a", "raw2_image": "", "uuid": "ab\u0000cd"}]})");
  EXPECT_EQ(records.at(0).uuid, "ab");
}

struct FaultCase {
  const char* name;
  std::string text;
  bool rapidjson;  // raised as cereal::RapidJSONException
  std::string message;
};

// Short test names in CTest.
void PrintTo(const FaultCase& fault, std::ostream* os) { *os << fault.name; }

class CaptureListFaults : public CaptureListFile, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(CaptureListFaults, RaiseTheReaderException) {
  const FaultCase& fault = GetParam();
  try {
    load(fault.text);
    FAIL() << "no exception";
  } catch (const cereal::RapidJSONException& error) {
    EXPECT_TRUE(fault.rapidjson);
    EXPECT_EQ(std::string(error.what()), fault.message);
  } catch (const cereal::Exception& error) {
    EXPECT_FALSE(fault.rapidjson);
    EXPECT_EQ(std::string(error.what()), fault.message);
  }
}

const std::string not_found = "JSON Parsing failed - provided NVP (";
const std::string is_object = "rapidjson internal assertion failure: IsObject()";
const std::string is_string = "rapidjson internal assertion failure: IsString()";

INSTANTIATE_TEST_SUITE_P(
    Table, CaptureListFaults,
    ::testing::Values(
        FaultCase{"NoImagesMember", R"({"photos": []})", false, not_found + "images) not found"},
        FaultCase{"RootIsArray", R"([{"raw1_image": "a", "raw2_image": "", "uuid": "u"}])", false,
                  not_found + "images) not found"},
        FaultCase{"MissingRaw2", R"({"images": [{"raw1_image": "a", "uuid": "u"}]})", false,
                  not_found + "raw2_image) not found"},
        FaultCase{"MissingUuid", R"({"images": [{"raw1_image": "a", "raw2_image": ""}]})", false,
                  not_found + "uuid) not found"},
        FaultCase{"RecordIsArray", R"({"images": [["a", "", "u"]]})", false, not_found + "raw1_image) not found"},
        FaultCase{"RecordIsEmptyObject", R"({"images": [{}]})", false, not_found + "raw1_image) not found"},
        FaultCase{"EmptyFile", "", true, is_object},
        FaultCase{"InvalidJson", R"({"images": [}]})", true, is_object},
        FaultCase{"TrailingComma", R"({"images": [],})", true, is_object},
        FaultCase{"Comment", "// list\n{\"images\": []}", true, is_object},
        FaultCase{"ByteOrderMark", "\xEF\xBB\xBF{\"images\": []}", true, is_object},
        FaultCase{"SecondRootValue", R"({"images": []} {})", true, is_object},
        FaultCase{"RootIsNumber", "42", true, is_object},
        FaultCase{"ImagesIsString", R"({"images": "a.jpg"})", true, is_object},
        FaultCase{"ElementIsNumber", R"({"images": [7]})", true, is_object},
        FaultCase{"ImagesIsObject", R"({"images": {"raw1_image": "a"}})", true,
                  "rapidjson internal assertion failure: IsArray()"},
        FaultCase{"Raw2IsNull", R"({"images": [{"raw1_image": "a", "raw2_image": null, "uuid": "u"}]})", true,
                  is_string},
        FaultCase{"UuidIsNumber", R"({"images": [{"raw1_image": "a", "raw2_image": "", "uuid": 3}]})", true,
                  is_string},
        FaultCase{"Raw1IsArray", R"({"images": [{"raw1_image": ["a"], "raw2_image": "", "uuid": "u"}]})", true,
                  is_string}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST(CaptureListMissingFile, FailsLikeAnEmptyDocument) {
  try {
    load_capture_list("/nonexistent/lf/images.json");
    FAIL() << "no exception";
  } catch (const CaptureListOpenError& error) {
    EXPECT_EQ(std::string(error.what()), is_object);
    EXPECT_EQ(error.reason(), "cannot open the capture list /nonexistent/lf/images.json: No such file or directory");
  }
}

// The parser recurses per level: a deep enough list would overflow the stack.
TEST_F(CaptureListFile, NestingDeeperThanTheLimitIsRefusedBeforeParsing) {
  const int deep = 200000;
  for (const auto& [open, close] : {std::pair<char, char>{'[', ']'}, std::pair<char, char>{'{', '}'}}) {
    std::string text = R"({"images": [], "a": )";
    for (int i = 0; i < deep; ++i) text += open == '[' ? std::string("[") : std::string(R"({"a":)");
    text += "0";
    text += std::string(deep, close);
    text += "}";
    try {
      load(text);
      FAIL() << "no exception";
    } catch (const cereal::Exception& error) {
      EXPECT_EQ(std::string(error.what()), "the capture list nests arrays and objects deeper than 256 levels");
    }
  }
  // Brackets inside strings do not count, and the limit itself is accepted.
  std::string at_limit = R"({"images": [], "s": "[[[[\"{{{{", "a": )";
  at_limit += std::string(max_capture_list_depth - 1, '[') + std::string(max_capture_list_depth - 1, ']') + "}";
  EXPECT_TRUE(load(at_limit).empty());
}

}  // namespace

}  // namespace lf
