#pragma once
// The workspace of a run, derived from the data path:
//
//   <data path>\                 base of the image names in the capture list
//   <data path>\caches\images.json   the capture list (must exist)
//   <data path>\caches\images\   must exist; never read or written
//   <data path>\caches\matches\  result files; created when missing
//
// The data path is kept exactly as typed; the derived folders are rendered by
// make_folder_path (backslashes, one at the end).

#include <string>

namespace lf {

struct Workspace {
  std::string data_path;
  std::string caches_folder;
  std::string images_folder;
  std::string matches_folder;
  std::string capture_list_path;
};

// Forms the paths; checks nothing.
Workspace make_workspace(const std::string& data_path);

// The first part of a workspace found unusable, and its path as rendered above.
struct WorkspaceFault {
  enum class Kind {
    none,
    data_folder_missing,
    images_folder_missing,
    matches_folder_not_created,
    capture_list_missing,
  };
  Kind kind = Kind::none;
  std::string path;
  explicit operator bool() const { return kind != Kind::none; }
};

// Checks the data folder, the images folder, the matches folder (creating it
// when missing) and the capture list file, in that order, and returns the
// first failure.
WorkspaceFault check_workspace(const Workspace& workspace);

}  // namespace lf
