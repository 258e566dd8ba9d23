#pragma once
#include <string>

namespace kelvarix {

// Between folder and file names: a backslash on Windows, "/" elsewhere.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The folder of the running program, ending with kPathSeparator. KELVARIX_HOME,
// when set and not empty, names another folder (operators keep the
// configuration and logs apart from the binary that way; tests use it too).
std::string ProgramFolder();

// The same rule on given inputs, for tests.
std::string ProgramFolderFrom(const std::string& executable_path, const char* home_override);

}  // namespace kelvarix
