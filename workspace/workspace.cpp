#include "workspace/workspace.h"

#include "workspace/path_utils.h"
#include "platform/platform.h"

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

WorkspaceFault check_workspace(const Workspace& workspace) {
  using Kind = WorkspaceFault::Kind;
  if (!path_is_folder(workspace.data_path)) return {Kind::data_folder_missing, workspace.data_path};
  if (!path_is_folder(workspace.images_folder)) return {Kind::images_folder_missing, workspace.images_folder};
  // Another run (a shard) may create it between the check and the attempt.
  if (!path_is_folder(workspace.matches_folder) && current_platform().make_folder(workspace.matches_folder) != 0 &&
      !path_is_folder(workspace.matches_folder))
    return {Kind::matches_folder_not_created, workspace.matches_folder};
  if (!path_is_file(workspace.capture_list_path)) return {Kind::capture_list_missing, workspace.capture_list_path};
  return {};
}

}  // namespace lf
