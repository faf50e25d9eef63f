#include "workspace/workspace.h"

#include <ostream>

#include "workspace/path_utils.h"
#include "workspace/platform.h"

namespace lf {

Workspace make_workspace(const std::string& data_path) {
  Workspace workspace;
  workspace.data_path = data_path;
  workspace.caches_folder = make_folder_path(data_path, "caches");
  workspace.images_folder = make_folder_path(workspace.caches_folder, "images");
  workspace.matches_folder = make_folder_path(workspace.caches_folder, "matches");
  workspace.capture_list_path = make_file_path(workspace.caches_folder, "images", "json");
  return workspace;
}

bool check_workspace(const Workspace& workspace, std::ostream& err) {
  if (!path_is_folder(workspace.data_path)) {
    err << "Error: folder " << workspace.data_path << " doesn't exist" << std::endl;
    return false;
  }
  if (!path_is_folder(workspace.images_folder)) {
    err << "Error: folder " << workspace.images_folder << " doesn't exist" << std::endl;
    return false;
  }
  // Another run (a shard) may create it between the check and the attempt.
  if (!path_is_folder(workspace.matches_folder) &&
      current_platform().make_folder(workspace.matches_folder) != 0 &&
      !path_is_folder(workspace.matches_folder)) {
    err << "Error: folder " << workspace.matches_folder << " doesn't exist and can not be created"
        << std::endl;
    return false;
  }
  if (!path_is_file(workspace.capture_list_path)) {
    err << "Error: file " << workspace.capture_list_path << " doesn't exist" << std::endl;
    return false;
  }
  return true;
}

}  // namespace lf
