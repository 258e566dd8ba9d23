#pragma once
// The file operations the gateway needs. Each one opens, acts and closes:
// nothing is held open, so other programs can read the files at any time.
#include <string>
#include <string_view>
#include <vector>

namespace kelvarix {

// Appends text to the file, creating it when missing. False when it failed;
// then *error, when given, gets the system's description of the failure.
bool AppendToFile(const std::string& path, std::string_view text, std::string* error = nullptr);
// Creates one folder. False when it failed (also when it exists already).
bool MakeFolder(const std::string& path);
// Names of the ordinary files in a folder (no folders, links or hidden files).
std::vector<std::string> ListOrdinaryFiles(const std::string& folder);
// Makes the file writable by its owner, so a read-only file can be deleted.
bool ClearAttributes(const std::string& path);
// Deletes the file. False when it failed (also when it is missing).
bool RemoveFile(const std::string& path);
bool FileExists(const std::string& path);
// True when the system lets this process write the file or into the folder,
// as far as it tells without writing (on Windows only a file's read-only
// attribute says no).
bool MayWrite(const std::string& path);

}  // namespace kelvarix
