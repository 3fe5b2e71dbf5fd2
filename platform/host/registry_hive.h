// The registry's backing file: a Windows hive file read and written with hivex. hivex
// cannot make a hive, and writes in place without syncing; this layer makes the first one
// and replaces the file only with a complete, synced new one.
#pragma once

#include <hivex.h>

#include <cstdint>
#include <string>
#include <vector>

namespace host::registry {

// An empty SYSTEM hive, 8192 bytes: the base block and one bin holding the root key, its
// security descriptor and a free cell.
std::vector<uint8_t> MinimalHiveImage();

// Creates `path` holding an empty hive. Fails, touching nothing, if `path` already exists.
bool CreateHiveFile(const std::string& path, std::string* error);

// Opens an existing hive file for writing; null with the reason if it is not a readable hive
// (the file is never written here). The whole file is read into memory.
hive_h* OpenHiveFile(const std::string& path, std::string* error);

// Writes what `hive` holds to `path` as a new file: written next to it, synced, renamed over
// it, and the directory synced, so the file is always either the old hive or the new one.
bool CommitHiveFile(hive_h* hive, const std::string& path, std::string* error);

}  // namespace host::registry
