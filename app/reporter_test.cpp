// The reporter's lines for the typed results the libraries return.

#include "app/reporter.h"

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "features/image_preparation.h"
#include "results/result_files.h"
#include "results/staged_result_pair.h"
#include "workspace/workspace.h"

namespace lf {
namespace {

struct LineCase {
  const char* label;
  void (*report)(Reporter&);
  std::string out;
  std::string err;
};
void PrintTo(const LineCase& c, std::ostream* os) { *os << c.label; }

class Lines : public ::testing::TestWithParam<LineCase> {};

TEST_P(Lines, AreTheProgramsOwn) {
  std::ostringstream out, err;
  Reporter reporter(out, err);
  GetParam().report(reporter);
  EXPECT_EQ(out.str(), GetParam().out);
  EXPECT_EQ(err.str(), GetParam().err);
}

ImageFault image_fault(ImageFault::Kind kind) {
  ImageFault fault;
  fault.kind = kind;
  fault.path = "D:\\ws\\raw\\a.jpg";
  fault.uuid = "u1";
  return fault;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Lines,
    ::testing::Values(
        LineCase{"DataFolder",
                 [](Reporter& r) { r.workspace_fault({WorkspaceFault::Kind::data_folder_missing, "D:/ws/"}); }, "",
                 "Error: folder D:/ws/ doesn't exist\n"},
        LineCase{"ImagesFolder",
                 [](Reporter& r) { r.workspace_fault({WorkspaceFault::Kind::images_folder_missing, "w\\caches\\images\\"}); },
                 "", "Error: folder w\\caches\\images\\ doesn't exist\n"},
        LineCase{"MatchesFolder",
                 [](Reporter& r) {
                   r.workspace_fault({WorkspaceFault::Kind::matches_folder_not_created, "w\\caches\\matches\\"});
                 },
                 "", "Error: folder w\\caches\\matches\\ doesn't exist and can not be created\n"},
        LineCase{"CaptureList",
                 [](Reporter& r) { r.workspace_fault({WorkspaceFault::Kind::capture_list_missing, "w\\caches\\images.json"}); },
                 "", "Error: file w\\caches\\images.json doesn't exist\n"},
        LineCase{"Unreadable", [](Reporter& r) { r.image_fault(image_fault(ImageFault::Kind::unreadable)); }, "",
                 "Error: cannot read image D:\\ws\\raw\\a.jpg of capture u1\n"},
        LineCase{"Damaged",
                 [](Reporter& r) {
                   ImageFault fault = image_fault(ImageFault::Kind::damaged);
                   fault.detail = "Corrupt JPEG data: premature end of data segment";
                   r.image_fault(fault);
                 },
                 "",
                 "Error: cannot read image D:\\ws\\raw\\a.jpg of capture u1: its JPEG data is damaged (Corrupt JPEG "
                 "data: premature end of data segment)\n"},
        LineCase{"TooTall",
                 [](Reporter& r) {
                   ImageFault fault = image_fault(ImageFault::Kind::too_tall);
                   fault.size = {2048, 8193};
                   r.image_fault(fault);
                 },
                 "",
                 "Error: image D:\\ws\\raw\\a.jpg of capture u1 is 2048x8193, taller than the limit of 8192 rows\n"},
        LineCase{"SizesDiffer",
                 [](Reporter& r) {
                   ImageFault fault = image_fault(ImageFault::Kind::sizes_differ);
                   fault.other_path = "D:\\ws\\raw\\b.jpg";
                   fault.size = {2048, 1024};
                   fault.other_size = {2048, 1536};
                   r.image_fault(fault);
                 },
                 "",
                 "Error: images D:\\ws\\raw\\a.jpg and D:\\ws\\raw\\b.jpg of capture u1 differ in size after "
                 "resizing (2048x1024 and 2048x1536)\n"},
        LineCase{"NoKeypoints", [](Reporter& r) { r.no_keypoints(); },
                 "Error : No keypoints detected.\nError : No keypoints imported.\n", ""},
        LineCase{"ResultFile",
                 [](Reporter& r) { r.write_failed({WriteFault::Kind::result_file, "m\\u.feat", ENOSPC}); }, "",
                 std::string("Error: cannot write result file m\\u.feat: ") + std::strerror(ENOSPC) + "\n"},
        LineCase{"OldRecord",
                 [](Reporter& r) { r.write_failed({WriteFault::Kind::model_record, "m\\.model_records\\u", EPERM}); },
                 "", std::string("Error: cannot remove model record m\\.model_records\\u: ") + std::strerror(EPERM) + "\n"},
        // Said once however many records fail.
        LineCase{"UnkeptRecords",
                 [](Reporter& r) {
                   r.model_record_not_kept({WriteFault::Kind::model_record, "m\\.model_records\\u", ENOTDIR});
                   r.model_record_not_kept({WriteFault::Kind::model_record, "m\\.model_records\\v", ENOTDIR});
                 },
                 "",
                 std::string("Warning: cannot write model record m\\.model_records\\u: ") + std::strerror(ENOTDIR) +
                     "; --skip-done recomputes the pairs that have no record\n"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace lf
