#include "tools/file_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tool {
namespace {

std::string Problem(const std::string& path, const std::string& reason) {
    return path + ": " + reason;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string ReadableFileProblem(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return Problem(path, std::strerror(errno));
    if (S_ISDIR(info.st_mode))
        return Problem(path, "is a directory, not a file");
    // Devices and pipes would be read without end or block; a frame comes from a file.
    if (!S_ISREG(info.st_mode))
        return Problem(path, "is not a regular file");
    if (access(path.c_str(), R_OK) != 0)
        return Problem(path, std::strerror(errno));
    return {};
}

std::string WritableFileProblem(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode))
            return Problem(path, "is a directory, not a file");
        if (access(path.c_str(), W_OK) != 0)
            return Problem(path, std::strerror(errno));
        return {};
    }
    const std::string folder = FolderOf(path);
    if (stat(folder.c_str(), &info) != 0)
        return Problem(path, "no folder " + folder);
    if (!S_ISDIR(info.st_mode))
        return Problem(path, folder + " is not a folder");
    if (access(folder.c_str(), W_OK) != 0)
        return Problem(path, "cannot create files in " + folder);
    return {};
}

}  // namespace tool
