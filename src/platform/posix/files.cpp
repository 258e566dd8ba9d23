#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kelvarix {

namespace {
bool Failed(std::string* error, int number) {
    if (error != nullptr) *error = std::generic_category().message(number);
    return false;
}
}  // namespace

bool AppendToFile(const std::string& path, std::string_view text, std::string* error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return Failed(error, errno);
    int write_error = 0;
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            write_error = errno;
            break;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::close(fd) != 0 && write_error == 0) write_error = errno;
    return write_error == 0 || Failed(error, write_error);
}

bool MakeFolder(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0; }

std::vector<std::string> ListOrdinaryFiles(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return names;
    // The folder may come with or without its separator.
    const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + '/';
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.') continue;  // hidden
        struct stat st {};
        if (::lstat((prefix + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    return names;
}

bool ClearAttributes(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool MayWrite(const std::string& path) { return ::access(path.c_str(), W_OK) == 0; }

}  // namespace kelvarix
