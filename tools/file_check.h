// Checks of the files a command is given, made before any work so a wrong path is reported
// by name and reason instead of surfacing as a failed read or write halfway through.
#pragma once

#include <string>

namespace tool {

// Empty when `path` is a regular file that can be opened for reading; otherwise why not, as
// "PATH: is a directory" or "PATH: No such file or directory".
std::string ReadableFileProblem(const std::string& path);

// Empty when a file can be created or replaced at `path`; otherwise why not: the path is a
// directory, or its folder is missing, not a folder, or not writable.
std::string WritableFileProblem(const std::string& path);

}  // namespace tool
