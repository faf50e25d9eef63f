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

#include <iosfwd>
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

// Checks the data folder, the images folder, the matches folder (creating it
// when missing) and the capture list file, in that order. On the first failure
// writes one "Error: " line to `err` and returns false.
bool check_workspace(const Workspace& workspace, std::ostream& err);

}  // namespace lf
