#pragma once
// Path operations on plain byte strings in the style of drive-letter systems.
//
// Backslash and slash both separate wherever a path is read; every separator
// written is a backslash. Only path_is_folder, path_is_file and the drive
// queries of FolderPath::parse touch the file system, through current_platform().

#include <string>
#include <vector>

namespace lf {

bool is_path_separator(char c);

// A folder path taken apart: root (a drive "D:", a network prefix "//server",
// or empty), whether it is relative, and its folder names.
struct FolderPath {
  bool relative = true;
  std::string root;
  std::vector<std::string> parts;

  // Fills all three fields from `text`. A drive-relative path ("D:sub") is
  // completed from that drive's current directory (or its root when unknown);
  // a rooted path without a drive gets the current drive, where there is one.
  // Ends by calling normalize().
  void parse(const std::string& text);

  // Drops empty and "." parts and folds ".." into the part before it; a ".."
  // above the root of a rooted path is dropped, at the front of a relative one kept.
  void normalize();

  // The folder path with backslashes, always ending in one ("." for an empty
  // relative path).
  std::string to_string() const;
};

// parse(base), `name` appended as one more part (not split), to_string().
std::string make_folder_path(const std::string& base, const std::string& name);

// The folder and the name with one backslash between them unless the folder is
// empty or already ends in a separator; the name is not touched.
std::string join_path(const std::string& folder, const std::string& name);

// join_path(folder, stem + "." + extension); no second dot when the extension
// begins with one, and no dot at all for an empty extension.
std::string make_file_path(const std::string& folder, const std::string& stem,
                           const std::string& extension);

// What the path names, after dropping one trailing separator. Failures answer false.
bool path_is_folder(const std::string& path);
bool path_is_file(const std::string& path);

}  // namespace lf
