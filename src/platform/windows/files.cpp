#include "platform/files.h"

#include <windows.h>

#include <algorithm>
#include <system_error>

namespace kelvarix {

namespace {
bool Failed(std::string* error, DWORD number) {
    if (error != nullptr) *error = std::system_category().message(static_cast<int>(number));
    return false;
}
}  // namespace

bool AppendToFile(const std::string& path, std::string_view text, std::string* error) {
    // FILE_APPEND_DATA alone: every write lands at the end, even when another
    // program appends to the same file; others may read and delete meanwhile.
    const HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Failed(error, ::GetLastError());
    DWORD write_error = ERROR_SUCCESS;
    while (!text.empty()) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 30));
        if (!::WriteFile(file, text.data(), chunk, &written, nullptr) || written == 0) {
            write_error = ::GetLastError();
            if (write_error == ERROR_SUCCESS) write_error = ERROR_WRITE_FAULT;  // nothing taken
            break;
        }
        text.remove_prefix(written);
    }
    if (!::CloseHandle(file) && write_error == ERROR_SUCCESS) write_error = ::GetLastError();
    return write_error == ERROR_SUCCESS || Failed(error, write_error);
}

bool MakeFolder(const std::string& path) {
    return ::CreateDirectoryA(path.c_str(), nullptr) != 0;
}

std::vector<std::string> ListOrdinaryFiles(const std::string& folder) {
    std::vector<std::string> names;
    std::string pattern = folder;
    if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAA found{};
    const HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    constexpr DWORD kNotOrdinary = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN |
                                   FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_REPARSE_POINT |
                                   FILE_ATTRIBUTE_DEVICE;
    do {
        if ((found.dwFileAttributes & kNotOrdinary) == 0) names.emplace_back(found.cFileName);
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
    return names;
}

bool ClearAttributes(const std::string& path) {
    return ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL) != 0;
}

bool RemoveFile(const std::string& path) {
    return ::DeleteFileA(path.c_str()) != 0;
}

bool FileExists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MayWrite(const std::string& path) {
    // A folder's read-only attribute does not keep files from being made in it.
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

}  // namespace kelvarix
