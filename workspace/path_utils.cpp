#include "workspace/path_utils.h"

#include <cctype>

#include "platform/platform.h"

namespace lf {

namespace {

constexpr int first_drive_code = 64;  // 'A' is drive 1

std::string drive_letter_root(int drive) {
  return std::string(1, static_cast<char>(first_drive_code + drive)) + ":";
}

// Puts the current directory of the drive in front of a drive-relative text
// ("D:sub" -> "D:\work\sub"), or the drive's root when it is unknown.
void complete_drive_relative(std::string& text) {
  const int drive = std::toupper(static_cast<unsigned char>(text[0])) - first_drive_code;
  std::string directory;
  if (current_platform().drive_current_directory(drive, directory) && directory.size() >= 2) {
    if (!is_path_separator(directory.back())) text.insert(2, "\\");
    text.insert(2, directory.substr(2));
  } else {
    text.insert(2, "\\");
  }
}

std::string with_trailing_separator(const std::string& folder) {
  if (folder.empty() || is_path_separator(folder.back())) return folder;
  return folder + "\\";
}

// A root keeps its separator: "D:" alone names the drive's current folder,
// not its root, and an empty path names nothing.
bool is_root(const std::string& path) {
  return path.size() == 1 || (path.size() == 3 && path[1] == ':');
}

int file_type_of(const std::string& path) {
  std::string examined = path;
  if (!examined.empty() && is_path_separator(examined.back()) && !is_root(examined)) {
    examined.pop_back();
  }
  return current_platform().file_type(examined);
}

}  // namespace

bool is_path_separator(char c) { return c == '\\' || c == '/'; }

void FolderPath::parse(const std::string& path_text) {
  std::string text = path_text;
  relative = true;
  root.clear();
  parts.clear();
  std::size_t position = 0;

  if (text.size() >= 2) {
    if (std::isalpha(static_cast<unsigned char>(text[0])) && text[1] == ':') {
      root = text.substr(0, 2);
      relative = false;
      position = 2;
      if (!(text.size() > 2 && is_path_separator(text[2]))) complete_drive_relative(text);
    } else if (is_path_separator(text[0]) && is_path_separator(text[1])) {
      std::size_t end = text.find_first_of("\\/", 2);
      if (end == std::string::npos) end = text.size();
      root = text.substr(0, end);
      relative = false;
      position = end;
    }
  }

  if (position < text.size() && is_path_separator(text[position])) {
    relative = false;
    ++position;
    const int drive = current_platform().current_drive();
    if (root.empty() && drive > 0) root = drive_letter_root(drive);
  }

  std::size_t piece_start = position;
  for (std::size_t i = position; i <= text.size(); ++i) {
    if (i == text.size() || is_path_separator(text[i])) {
      parts.push_back(text.substr(piece_start, i - piece_start));
      piece_start = i + 1;
    }
  }
  normalize();
}

void FolderPath::normalize() {
  std::size_t index = 0;
  while (index < parts.size()) {
    const std::string& part = parts[index];
    if (part.empty() || part == ".") {
      parts.erase(parts.begin() + index);
    } else if (part != "..") {
      ++index;
    } else if (index > 0 && parts[index - 1] == "..") {
      ++index;
    } else if (index > 0) {
      parts.erase(parts.begin() + (index - 1), parts.begin() + (index + 1));
      --index;
    } else if (relative) {
      ++index;
    } else {
      parts.erase(parts.begin());
    }
  }
}

std::string FolderPath::to_string() const {
  std::string text = root;
  if (!relative) text += '\\';
  if (parts.empty() && relative) text += '.';
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += '\\';
    text += parts[i];
  }
  if (text.empty() || !is_path_separator(text.back())) text += '\\';
  return text;
}

std::string make_folder_path(const std::string& base, const std::string& name) {
  FolderPath folder;
  folder.parse(base);
  folder.parts.push_back(name);
  return folder.to_string();
}

std::string join_path(const std::string& folder, const std::string& name) {
  return with_trailing_separator(folder) + name;
}

std::string make_file_path(const std::string& folder, const std::string& stem,
                           const std::string& extension) {
  std::string file_name = stem;
  if (!extension.empty()) {
    if (extension.front() != '.') file_name += '.';
    file_name += extension;
  }
  return join_path(folder, file_name);
}

bool path_is_folder(const std::string& path) { return file_type_of(path) == file_type_folder; }

bool path_is_file(const std::string& path) {
  const int type = file_type_of(path);
  return type == file_type_regular || type == file_type_pipe;
}

}  // namespace lf
