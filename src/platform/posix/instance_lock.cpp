#include "platform/instance_lock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>

namespace kelvarix {

InstanceLock::~InstanceLock() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

namespace {
// The lock's abstract socket name. Abstract names are limited in length; a
// hash of the folder keeps it short.
std::string LockName(const std::string& program_folder) {
    char resolved[PATH_MAX];
    const std::string folder =
        ::realpath(program_folder.c_str(), resolved) != nullptr ? resolved : program_folder;
    return "kelvarix-instance-" + std::to_string(std::hash<std::string>{}(folder));
}
}  // namespace

bool InstanceLock::HeldFor(const std::string& program_folder) {
    // The system lists bound abstract sockets as "@name" at the end of a line.
    std::ifstream sockets("/proc/net/unix");
    const std::string listed = " @" + LockName(program_folder);
    for (std::string line; std::getline(sockets, line);) {
        if (line.ends_with(listed)) return true;
    }
    return false;
}

bool InstanceLock::Acquire(const std::string& program_folder) {
    const std::string name = LockName(program_folder);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;  // cannot tell: let this one run rather than none
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        ::close(fd);
        return false;
    }
    handle_ = fd;
    return true;
}

}  // namespace kelvarix
