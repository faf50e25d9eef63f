#pragma once
// What the program needs at its start, before the pipeline library is loaded.

#include <string>
#include <vector>

namespace lf {

// The command-line arguments in UTF-8 (on Windows from the wide command line).
std::vector<std::string> utf8_arguments(int argc, char** argv);

// Sets the environment variable unless it is set already.
void set_environment_default(const char* name, const char* value);

// The path of `file_name` in the folder of the running executable.
std::string path_beside_program(const std::string& file_name);

// File name of the shared library that CMake builds as target `name`.
std::string shared_library_file_name(const std::string& name);

// Loads the library at `path` (kept until the process ends) and returns its
// `symbol`. With `quiet`, what is written to standard error while it loads is
// held back and shown only when loading fails or the library ends the process.
// Null with `reason` on failure.
void* load_library_symbol(const std::string& path, const char* symbol, bool quiet, std::string& reason);

}  // namespace lf
